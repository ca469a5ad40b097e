// The module starts tracing before DllMain's attach and stops it after DllMain's
// detach. A probe build of the module reports each step to its host process.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "machine_root.h"
#include "module_support.h"

namespace {

class ServerLifetimeTest : public tonwell::test::MachineRootFixture {};

// The host's standard output, a line each.
std::vector<std::string> RunHost(tonwell::test::ToolRun& run)
{
    run = tonwell::test::RunTool(tonwell::test::BuildDir() + "/bin/tonwell_lifetime_host",
                                 {tonwell::test::ModulePath("TonwellObjProbe.so")});
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = run.out.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(run.out.substr(start, end - start));
    if (start < run.out.size())
        lines.push_back(run.out.substr(start));
    return lines;
}

TEST_F(ServerLifetimeTest, TracingBracketsDllMainOnLoadAndUnload)
{
    tonwell::test::ToolRun run;
    std::vector<std::string> lines = RunHost(run);
    EXPECT_EQ(run.exit, 0) << run.err;

    std::vector<std::string> moduleSteps;
    for (const std::string& line : lines)
        if (line.rfind("host: ", 0) != 0)
            moduleSteps.push_back(line);
    const std::vector<std::string> expected = {
        "tracing started",          // the static tracing client, first
        "attach",                   // then DllMain(DLL_PROCESS_ATTACH)
        "module ready",             //   which initialised the module record
        "detach (tracing running)", // DllMain(DLL_PROCESS_DETACH) before any static destruction
        "module terminated",        //   which terminated the module record (and tracing)
        "tracing stopped",          // the static client finds tracing already stopped
    };
    EXPECT_EQ(moduleSteps, expected);

    // The host used the module between its start-up and its shut-down (which may
    // come at dlclose or, for a pinned module, at process exit).
    auto position = [&](const std::string& text) {
        for (size_t i = 0; i < lines.size(); ++i)
            if (lines[i] == text)
                return static_cast<int>(i);
        return -1;
    };
    EXPECT_EQ(position("host: loading"), 0);
    EXPECT_GT(position("host: class object"), position("module ready"));
    EXPECT_LT(position("host: class object"), position("detach (tracing running)"));
}

} // namespace
