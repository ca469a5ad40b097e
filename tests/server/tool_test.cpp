// `tonwell info` and the installed development files, run as a user would.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "machine_root.h"
#include "module_support.h"

namespace {

using tonwell::test::BuildDir;
using tonwell::test::ModulePath;

using tonwell::test::RunShell;
using tonwell::test::ToolRun;

std::string Tonwell() { return "'" + BuildDir() + "/bin/tonwell'"; }

std::string GuidText(REFGUID rguid)
{
    WCHAR text[40] = {};
    StringFromGUID2(rguid, text, 40);
    return std::string(text, text + 38);
}

class ServerInfoTest : public tonwell::test::MachineRootFixture {
protected:
    std::filesystem::path RootParent() const override { return tonwell::test::ExecutableRootParent(); }
};

TEST_F(ServerInfoTest, JsonNamesTheModuleAndItsIdentifiers)
{
    ToolRun run = RunShell(Tonwell() + " info --json");
    ASSERT_EQ(run.exit, 0) << run.out;
    const std::string modulePath = std::filesystem::canonical(ModulePath()).string();
    EXPECT_NE(run.out.find("\"module\":\"" + modulePath + "\""), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"version\":\"" TONWELL_PROJECT_VERSION "\""), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"description\":\"TonwellObj Module\",\"self_register\":true"), std::string::npos);
    EXPECT_NE(run.out.find("\"clsid\":\"" + GuidText(CLSID_TonwellExposure) + "\""), std::string::npos);
    EXPECT_NE(run.out.find("\"iid\":\"" + GuidText(IID_ITonwellExposure) + "\""), std::string::npos);
    EXPECT_NE(run.out.find("\"libid\":\"" + GuidText(LIBID_TONWELLOBJLib) + "\""), std::string::npos);
    EXPECT_NE(run.out.find("\"progid\":\"TonwellObj.TonwellExposure.1\""), std::string::npos);
    EXPECT_NE(run.out.find("\"version_independent_progid\":\"TonwellObj.TonwellExposure\""), std::string::npos);
    EXPECT_NE(run.out.find("\"registered\":false"), std::string::npos);
    EXPECT_NE(run.out.find("\"class_object\":\"ok\""), std::string::npos);
    EXPECT_EQ(run.out.front(), '{');
    EXPECT_EQ(run.out.substr(run.out.size() - 2), "}\n");
}

TEST_F(ServerInfoTest, ReportsTheRegisteredServer)
{
    HKEY hKey = nullptr;
    std::u16string key = u"CLSID\\" + tonwell::test::Widen(GuidText(CLSID_TonwellExposure)) + u"\\InprocServer32";
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &hKey, nullptr),
              ERROR_SUCCESS);
    const std::u16string path = u"/opt/tonwell/lib/TonwellObj.so";
    ASSERT_EQ(RegSetValueExW(hKey, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                             static_cast<DWORD>((path.size() + 1) * sizeof(WCHAR))),
              ERROR_SUCCESS);
    RegCloseKey(hKey);

    ToolRun run = RunShell(Tonwell() + " info --json --module '" + ModulePath() + "'");
    ASSERT_EQ(run.exit, 0) << run.out;
    EXPECT_NE(run.out.find("\"registered\":true,\"registered_server\":\"/opt/tonwell/lib/TonwellObj.so\""),
              std::string::npos)
        << run.out;

    run = RunShell(Tonwell() + " info");
    ASSERT_EQ(run.exit, 0) << run.out;
    EXPECT_NE(run.out.find("registered:    yes, /opt/tonwell/lib/TonwellObj.so\n"), std::string::npos);
    EXPECT_NE(run.out.find("class object:  ok\n"), std::string::npos);
    EXPECT_NE(run.out.find("class:         CTonwellExposure " + GuidText(CLSID_TonwellExposure) + "\n"),
              std::string::npos)
        << run.out;
}

TEST_F(ServerInfoTest, RefusesWhatIsNotTheServerModule)
{
    ToolRun run = RunShell(Tonwell() + " info --module '" + ModulePath("NoSuchModule.so") + "'");
    EXPECT_EQ(run.exit, 1);
    EXPECT_NE(run.out.find("tonwell info: cannot load"), std::string::npos) << run.out;

    run = RunShell(Tonwell() + " info --json --module '" + ModulePath("libtonwellplatform.so") + "'");
    EXPECT_EQ(run.exit, 1);
    EXPECT_NE(run.out.find("is not a TonwellObj server module"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find('{'), std::string::npos) << "no partial JSON on failure";

    run = RunShell(Tonwell() + " info --module");
    EXPECT_EQ(run.exit, 2);
    run = RunShell(Tonwell() + " info --bogus");
    EXPECT_EQ(run.exit, 2);
}

// The installed header, module and pkg-config file are enough to build and run
// a host: the plain-C client is compiled against the installed tree.
TEST_F(ServerInfoTest, InstalledTreeBuildsAndRunsAHost)
{
    const std::filesystem::path prefix = Root() / "prefix";
    ToolRun run = RunShell("cmake --install '" + BuildDir() + "' --prefix '" + prefix.string() + "'");
    ASSERT_EQ(run.exit, 0) << run.out;

    std::filesystem::path pcDir;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(prefix))
        if (entry.path().filename() == "tonwellobj.pc")
            pcDir = entry.path().parent_path();
    ASSERT_FALSE(pcDir.empty()) << "tonwellobj.pc not installed";
    const std::string pkgConfig = "PKG_CONFIG_PATH='" + pcDir.string() + "' pkg-config";
    run = RunShell(pkgConfig + " --variable=module tonwellobj");
    ASSERT_EQ(run.exit, 0) << run.out;
    std::string module = run.out.substr(0, run.out.find('\n'));
    EXPECT_TRUE(std::filesystem::exists(module)) << module;

    const std::string source = TONWELL_CCLIENT_SOURCE;
    const std::string program = (Root() / "cclient").string();
    run = RunShell("cc -std=c11 -Wall -Werror " TONWELL_HOST_CFLAGS " -o '" + program + "' '" + source + "' $(" +
                     pkgConfig + " --cflags --libs tonwellobj) -ldl");
    ASSERT_EQ(run.exit, 0) << run.out;
    run = RunShell("'" + program + "' '" + module + "'");
    EXPECT_EQ(run.exit, 0) << run.out;
    EXPECT_NE(run.out.find("0 check(s) failed"), std::string::npos) << run.out;
}

} // namespace
