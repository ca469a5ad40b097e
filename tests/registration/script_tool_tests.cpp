// `tonwell script run`: a script file run against the machine root's registry.
#include "machine_root.h"
#include "run_tool.h"

#include <windows.h>

#include <fstream>
#include <string>
#include <vector>

using namespace tonwell::test;

namespace {

using Result = ToolRun;

class ScriptTool : public MachineRootFixture {
protected:
    Result Script(const std::vector<std::string>& args) { return RunTonwell("script", args); }

    std::string Write(const std::string& bytes)
    {
        const std::string path = (Root() / "script.rgs").string();
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    std::u16string Sz(const char16_t* path)
    {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
            return u"<no key>";
        WCHAR data[256] = {};
        DWORD cb = sizeof data, type = 0;
        const LONG status = RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(data), &cb);
        RegCloseKey(key);
        return status == ERROR_SUCCESS ? std::u16string(data) : u"<no value>";
    }
};

std::string LastLine(const std::string& out)
{
    std::string trimmed = out;
    while (!trimmed.empty() && trimmed.back() == '\n')
        trimmed.pop_back();
    return trimmed.substr(trimmed.rfind('\n') == std::string::npos ? 0 : trimmed.rfind('\n') + 1);
}

TEST_F(ScriptTool, RunsInBothModesWithReplacementsInOrder)
{
    // The first of two replacements with the same name wins; bytes after a zero are not read.
    const std::string file = Write(std::string("HKCR\r\n{\r\n\tk = s '%V%'\r\n}\r\n") + '\0' + "junk");
    Result r = Script({"run", file, "--var", "V=first", "--var", "v=second"});
    EXPECT_EQ(r.exit, 0);
    EXPECT_EQ(LastLine(r.out), "0x00000000");
    EXPECT_EQ(Sz(u"k"), u"first");

    r = Script({"run", file, "--unregister", "--var", "V=x"});
    EXPECT_EQ(r.exit, 0);
    EXPECT_EQ(Sz(u"k"), u"<no key>");
}

TEST_F(ScriptTool, FailuresAndUsage)
{
    Result r = Script({"run", Write("HKCR { k = s '%UNKNOWN%' }")});
    EXPECT_EQ(r.exit, 1);
    EXPECT_EQ(LastLine(r.out), "0x80020009");

    r = Script({"run", Write("HKCR { k { val b = b 0A1 } }")});
    EXPECT_EQ(r.exit, 1);
    EXPECT_EQ(LastLine(r.out), "0x80004005");
    EXPECT_EQ(Sz(u"k"), u"<no key>");

    EXPECT_EQ(Script({"run", (Root() / "missing.rgs").string()}).exit, 1);
    EXPECT_EQ(Script({}).exit, 2);
    EXPECT_EQ(Script({"run"}).exit, 2);
    EXPECT_EQ(Script({"run", "a", "b"}).exit, 2);
    EXPECT_EQ(Script({"run", "a", "--var", "novalue"}).exit, 2);
    EXPECT_EQ(Script({"run", "a", "--bogus"}).exit, 2);
    EXPECT_EQ(Script({"--help"}).exit, 0);
}

} // namespace
