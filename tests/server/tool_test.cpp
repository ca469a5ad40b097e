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

struct CommandResult {
    int exitCode = -1;
    std::string output;
};

CommandResult RunCommand(const std::string& command)
{
    CommandResult run;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return run;
    char buffer[4096];
    size_t cb;
    while ((cb = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        run.output.append(buffer, cb);
    int status = pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::string Tonwell() { return "'" + BuildDir() + "/bin/tonwell'"; }

std::string GuidText(REFGUID rguid)
{
    WCHAR text[40] = {};
    StringFromGUID2(rguid, text, 40);
    return std::string(text, text + 38);
}

class ServerInfoTest : public tonwell::test::MachineRootFixture {};

TEST_F(ServerInfoTest, JsonNamesTheModuleAndItsIdentifiers)
{
    CommandResult run = RunCommand(Tonwell() + " info --json");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    const std::string modulePath = std::filesystem::canonical(ModulePath()).string();
    EXPECT_NE(run.output.find("\"module\":\"" + modulePath + "\""), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("\"version\":\"" TONWELL_PROJECT_VERSION "\""), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("\"description\":\"TonwellObj Module\",\"self_register\":true"), std::string::npos);
    EXPECT_NE(run.output.find("\"clsid\":\"" + GuidText(CLSID_TonwellExposure) + "\""), std::string::npos);
    EXPECT_NE(run.output.find("\"iid\":\"" + GuidText(IID_ITonwellExposure) + "\""), std::string::npos);
    EXPECT_NE(run.output.find("\"libid\":\"" + GuidText(LIBID_TONWELLOBJLib) + "\""), std::string::npos);
    EXPECT_NE(run.output.find("\"progid\":\"TonwellObj.TonwellExposure.1\""), std::string::npos);
    EXPECT_NE(run.output.find("\"version_independent_progid\":\"TonwellObj.TonwellExposure\""), std::string::npos);
    EXPECT_NE(run.output.find("\"registered\":false"), std::string::npos);
    EXPECT_NE(run.output.find("\"class_object\":\"ok\""), std::string::npos);
    EXPECT_EQ(run.output.front(), '{');
    EXPECT_EQ(run.output.substr(run.output.size() - 2), "}\n");
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

    CommandResult run = RunCommand(Tonwell() + " info --json --module '" + ModulePath() + "'");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("\"registered\":true,\"registered_server\":\"/opt/tonwell/lib/TonwellObj.so\""),
              std::string::npos)
        << run.output;

    run = RunCommand(Tonwell() + " info");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("registered:    yes, /opt/tonwell/lib/TonwellObj.so\n"), std::string::npos);
    EXPECT_NE(run.output.find("class object:  ok\n"), std::string::npos);
    EXPECT_NE(run.output.find("class:         CTonwellExposure " + GuidText(CLSID_TonwellExposure) + "\n"),
              std::string::npos)
        << run.output;
}

TEST_F(ServerInfoTest, RefusesWhatIsNotTheServerModule)
{
    CommandResult run = RunCommand(Tonwell() + " info --module '" + ModulePath("NoSuchModule.so") + "'");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.output.find("tonwell info: cannot load"), std::string::npos) << run.output;

    run = RunCommand(Tonwell() + " info --json --module '" + ModulePath("libtonwellplatform.so") + "'");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.output.find("is not a TonwellObj server module"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find('{'), std::string::npos) << "no partial JSON on failure";

    run = RunCommand(Tonwell() + " info --module");
    EXPECT_EQ(run.exitCode, 2);
    run = RunCommand(Tonwell() + " info --bogus");
    EXPECT_EQ(run.exitCode, 2);
}

// The installed header, module and pkg-config file are enough to build and run
// a host: the plain-C client is compiled against the installed tree.
TEST_F(ServerInfoTest, InstalledTreeBuildsAndRunsAHost)
{
    const std::filesystem::path prefix = Root() / "prefix";
    CommandResult run = RunCommand("cmake --install '" + BuildDir() + "' --prefix '" + prefix.string() + "'");
    ASSERT_EQ(run.exitCode, 0) << run.output;

    std::filesystem::path pcDir;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(prefix))
        if (entry.path().filename() == "tonwellobj.pc")
            pcDir = entry.path().parent_path();
    ASSERT_FALSE(pcDir.empty()) << "tonwellobj.pc not installed";
    const std::string pkgConfig = "PKG_CONFIG_PATH='" + pcDir.string() + "' pkg-config";
    run = RunCommand(pkgConfig + " --variable=module tonwellobj");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    std::string module = run.output.substr(0, run.output.find('\n'));
    EXPECT_TRUE(std::filesystem::exists(module)) << module;

    const std::string source = TONWELL_CCLIENT_SOURCE;
    const std::string program = (Root() / "cclient").string();
    run = RunCommand("cc -std=c11 -Wall -Werror " TONWELL_HOST_CFLAGS " -o '" + program + "' '" + source + "' $(" +
                     pkgConfig + " --cflags --libs tonwellobj) -ldl");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    run = RunCommand("'" + program + "' '" + module + "'");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("0 check(s) failed"), std::string::npos) << run.output;
}

} // namespace
