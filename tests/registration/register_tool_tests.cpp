// `tonwell register`, `unregister` and `plugins` through the real binary.
#include "machine_root.h"

#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <vector>

using namespace tonwell::test;

namespace {

struct Result {
    int exit = -1;
    std::string out; // standard output only
};

class RegisterTool : public MachineRootFixture {
protected:
    Result Tonwell(const std::string& args)
    {
        const char* build = std::getenv("TONWELL_BUILD_DIR");
        const std::string command =
            "'" + std::string(build ? build : ".") + "/bin/tonwell' " + args + " </dev/null 2>/dev/null";
        Result r;
        FILE* p = popen(command.c_str(), "r");
        if (!p)
            return r;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0)
            r.out.append(buf, n);
        const int status = pclose(p);
        r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return r;
    }
};

TEST_F(RegisterTool, RegisterListUnregister)
{
    EXPECT_EQ(Tonwell("plugins --json").out, "[]\n");

    Result r = Tonwell("register");
    EXPECT_EQ(r.exit, 0);
    EXPECT_NE(r.out.find("registered "), std::string::npos);
    r = Tonwell("plugins --json");
    EXPECT_EQ(r.exit, 0);
    EXPECT_NE(r.out.find("\"friendly_name\":\"Automatically Fix Exposure\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"clsid\":\"{83AF37A6-1013-4638-9568-8A25EE237C79}\""), std::string::npos);
    EXPECT_NE(r.out.find("\"progid\":\"TonwellObj.TonwellExposure.1\""), std::string::npos);
    EXPECT_NE(r.out.find("\"loadable\":true"), std::string::npos);
    // The registered class is what info reports.
    EXPECT_NE(Tonwell("info --json").out.find("\"typelib_registered\":true"), std::string::npos);

    r = Tonwell("unregister --quiet");
    EXPECT_EQ(r.exit, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(Tonwell("plugins --json").out, "[]\n");
    EXPECT_EQ(Tonwell("unregister --quiet").exit, 0);
}

TEST_F(RegisterTool, FailuresAndUsage)
{
    EXPECT_EQ(Tonwell("register /nonexistent/TonwellObj.so").exit, 1);
    EXPECT_EQ(Tonwell("register a b").exit, 2);
    EXPECT_EQ(Tonwell("unregister --bogus").exit, 2);
    EXPECT_EQ(Tonwell("plugins extra").exit, 2);
}

} // namespace
