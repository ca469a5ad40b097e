// `tonwell register`, `unregister` and `plugins` through the real binary.
#include "machine_root.h"
#include "run_tool.h"

#include <string>
#include <vector>

using namespace tonwell::test;

namespace {

using Result = ToolRun;

class RegisterTool : public MachineRootFixture {
protected:
    Result Tonwell(std::vector<std::string> args) { return RunTool(TonwellBinary(), args); }
};

TEST_F(RegisterTool, RegisterListUnregister)
{
    EXPECT_EQ(Tonwell({"plugins", "--json"}).out, "[]\n");

    Result r = Tonwell({"register"});
    EXPECT_EQ(r.exit, 0);
    EXPECT_NE(r.out.find("registered "), std::string::npos);
    r = Tonwell({"plugins", "--json"});
    EXPECT_EQ(r.exit, 0);
    EXPECT_NE(r.out.find("\"friendly_name\":\"Automatically Fix Exposure\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"clsid\":\"{83AF37A6-1013-4638-9568-8A25EE237C79}\""), std::string::npos);
    EXPECT_NE(r.out.find("\"progid\":\"TonwellObj.TonwellExposure.1\""), std::string::npos);
    EXPECT_NE(r.out.find("\"loadable\":true"), std::string::npos);
    // The registered class is what info reports.
    EXPECT_NE(Tonwell({"info", "--json"}).out.find("\"typelib_registered\":true"), std::string::npos);

    r = Tonwell({"unregister", "--quiet"});
    EXPECT_EQ(r.exit, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(Tonwell({"plugins", "--json"}).out, "[]\n");
    EXPECT_EQ(Tonwell({"unregister", "--quiet"}).exit, 0);
}

TEST_F(RegisterTool, FailuresAndUsage)
{
    EXPECT_EQ(Tonwell({"register", "/nonexistent/TonwellObj.so"}).exit, 1);
    EXPECT_EQ(Tonwell({"register", "a", "b"}).exit, 2);
    EXPECT_EQ(Tonwell({"unregister", "--bogus"}).exit, 2);
    EXPECT_EQ(Tonwell({"plugins", "extra"}).exit, 2);
}

} // namespace
