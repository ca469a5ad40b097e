// `tonwell trace`, run as a user runs it.
#include "machine_root.h"
#include "trace_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

using namespace tonwell::test;

namespace {

struct ToolRun {
    int status;
    std::string out;
    std::string err;
};

std::string Tonwell()
{
    const char* build = std::getenv("TONWELL_BUILD_DIR");
    return std::string(build ? build : ".") + "/bin/tonwell";
}

std::string Slurp(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class TraceToolTest : public MachineRootFixture {
protected:
    ToolRun Trace(const std::string& args)
    {
        std::string out = (Root() / "out.txt").string();
        std::string err = (Root() / "err.txt").string();
        std::string command = Tonwell() + " trace " + args + " >" + out + " 2>" + err;
        int status = std::system(command.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(out), Slurp(err)};
    }

    DWORD Flags(const std::string& module)
    {
        DWORD type = 0;
        std::vector<BYTE> data;
        EXPECT_TRUE(GetTraceValue(module, "TraceFlags", &type, &data));
        EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
        DWORD value = 0;
        if (data.size() == 4)
            std::memcpy(&value, data.data(), 4);
        return value;
    }

    std::filesystem::path Folder() const { return Root() / "system" / "Debug" / "WIA"; }
    std::filesystem::path Log() const { return Folder() / "wiatrace.log"; }

    void WriteLog(const std::filesystem::path& path, int from, int to)
    {
        std::filesystem::create_directories(Folder());
        std::ofstream out(path, std::ios::app);
        for (int i = from; i <= to; ++i)
            out << "line " << i << "\n";
    }
};

TEST_F(TraceToolTest, EnableAndDisableKindsOfLine)
{
    ToolRun run = Trace("enable scopes objects");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Flags("TonwellObj.so"), 0x419u) << "built from the built-in 0x401";
    EXPECT_NE(run.out.find("errors, scopes, objects"), std::string::npos) << run.out;

    ASSERT_EQ(Trace("disable errors").status, 0);
    EXPECT_EQ(Flags("TonwellObj.so"), 0x418u);
    ASSERT_EQ(Trace("enable all").status, 0);
    EXPECT_EQ(Flags("TonwellObj.so"), 0x41Du);

    // Another module starts from the key's default.
    SetTraceDword("", "DefaultTraceFlags", 0x1007);
    ASSERT_EQ(Trace("disable stats --module Host.dll").status, 0);
    EXPECT_EQ(Flags("Host.dll"), 0x1003u);
}

TEST_F(TraceToolTest, BadArgumentsAreRefusedWithoutChangingAnything)
{
    for (const char* args : {"enable", "enable colours", "enable errors --module", "enable errors --module a/b.dll",
                             "show -n many", "show -n -3", "frobnicate", "clear now", "status extra"}) {
        ToolRun run = Trace(args);
        EXPECT_EQ(run.status, 2) << args;
        EXPECT_NE(run.err.find("tonwell trace:"), std::string::npos) << args;
        EXPECT_NE(run.err.find("usage:"), std::string::npos) << args;
    }
    DWORD type = 0;
    std::vector<BYTE> data;
    EXPECT_FALSE(GetTraceValue("TonwellObj.so", "TraceFlags", &type, &data));
}

TEST_F(TraceToolTest, StatusDescribesTheSettingsInWords)
{
    ToolRun fresh = Trace("status");
    ASSERT_EQ(fresh.status, 0) << fresh.err;
    EXPECT_NE(fresh.out.find("none stored yet"), std::string::npos) << fresh.out;
    EXPECT_NE(fresh.out.find("TraceFlags:       0x00000401 (built-in)"), std::string::npos) << fresh.out;

    SetTraceDword("TonwellObj.so", "TraceFlags", 0x1409);
    static const char16_t list[] = u"host.exe\0other.exe\0";
    SetTraceText("", u"SuppressProcessOutput", REG_MULTI_SZ, list, sizeof list);
    ToolRun run = Trace("status");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("lines written:    errors, scopes"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("scopes   on"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("stats    off"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("0x00001409 (module)"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("output:           off"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("suppressed:       host.exe, other.exe"), std::string::npos) << run.out;
}

TEST_F(TraceToolTest, HelpSaysHowToSwitchTracingOnAndBoundTheLog)
{
    ToolRun run = Trace("--help");
    ASSERT_EQ(run.status, 0);
    for (const char* text : {"tonwell trace enable all", "tonwell trace limit SIZE", "tonwell trace limit 4M",
                             "tonwell trace follow", "rolls over to wiatrace.log.1"})
        EXPECT_NE(run.out.find(text), std::string::npos) << text << "\n" << run.out;
}

TEST_F(TraceToolTest, LimitSetsTheLogsSizeBoundForEveryModule)
{
    struct Case {
        const char* size;
        DWORD bytes;
    };
    for (const Case& c : {Case{"4M", 4u << 20}, Case{"512k", 512u << 10}, Case{"70000", 70000u},
                          Case{"4095MiB", 4095u << 20}, Case{"0", 0u}}) {
        ToolRun run = Trace(std::string("limit ") + c.size);
        ASSERT_EQ(run.status, 0) << c.size << ": " << run.err;
        DWORD type = 0;
        std::vector<BYTE> data;
        ASSERT_TRUE(GetTraceValue("", "MaxFileSize", &type, &data));
        ASSERT_EQ(data.size(), 4u);
        DWORD stored = 0;
        std::memcpy(&stored, data.data(), 4);
        EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
        EXPECT_EQ(stored, c.bytes) << c.size;
    }
    EXPECT_NE(Trace("status").out.find("log size limit:   none (all modules)"), std::string::npos);
    ASSERT_EQ(Trace("limit 2K").status, 0);
    EXPECT_NE(Trace("status").out.find("log size limit:   2048 bytes (all modules)"), std::string::npos);

    // Nonsense and sizes a DWORD cannot hold change nothing.
    for (const char* args : {"limit", "limit 4G", "limit 4096M", "limit -1", "limit 12Q", "limit M", "limit 1 2"}) {
        ToolRun run = Trace(args);
        EXPECT_EQ(run.status, 2) << args;
        EXPECT_NE(run.err.find("usage:"), std::string::npos) << args;
    }
    EXPECT_NE(Trace("status").out.find("2048 bytes"), std::string::npos);
}

TEST_F(TraceToolTest, ClearNeverCutsAFileLinkedAtTheLogsName)
{
    const std::filesystem::path victim = Root() / "victim";
    std::filesystem::create_directories(Folder());
    for (bool hardLink : {false, true}) {
        PlantLinkToVictim(victim, Log(), hardLink);
        ToolRun run = Trace("clear");
        EXPECT_EQ(run.status, 1) << hardLink;
        EXPECT_NE(run.err.find(hardLink ? "hard link" : "symbolic link"), std::string::npos) << run.err;
        EXPECT_EQ(Slurp(victim), "precious\n") << hardLink;
    }
}

TEST_F(TraceToolTest, ShowPrintsThePreviousFileThenTheLog)
{
    EXPECT_EQ(Trace("show").status, 1) << "no log yet";
    WriteLog(Folder() / "wiatrace.log.1", 1, 3);
    WriteLog(Log(), 4, 6);
    ToolRun all = Trace("show");
    ASSERT_EQ(all.status, 0);
    EXPECT_EQ(all.out, "line 1\nline 2\nline 3\nline 4\nline 5\nline 6\n");
    EXPECT_EQ(Trace("show -n 4").out, "line 3\nline 4\nline 5\nline 6\n");
    EXPECT_EQ(Trace("show -n 0").out, "");
}

TEST_F(TraceToolTest, ClearEmptiesTheLogUnderTheMutex)
{
    WriteLog(Folder() / "wiatrace.log.1", 1, 3);
    WriteLog(Log(), 4, 6);
    ToolRun run = Trace("clear");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(std::filesystem::file_size(Log()), 0u);
    EXPECT_FALSE(std::filesystem::exists(Folder() / "wiatrace.log.1"));

    // A writer holding the mutex keeps clear waiting; clear goes on once it lets go.
    WriteLog(Log(), 7, 7);
    std::atomic<bool> owned{false};
    std::thread writer([&] {
        HANDLE mutex = CreateMutexW(nullptr, TRUE, u"Global\\WIATRACE_MUTEX");
        owned = mutex != nullptr;
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        ReleaseMutex(mutex);
        CloseHandle(mutex);
    });
    while (!owned)
        std::this_thread::yield();
    auto start = std::chrono::steady_clock::now();
    run = Trace("clear");
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    writer.join();
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_GE(seconds, 1.0);
    EXPECT_EQ(std::filesystem::file_size(Log()), 0u);
}

TEST_F(TraceToolTest, FollowPrintsNewLinesAcrossARollOverUntilInterrupted)
{
    WriteLog(Log(), 1, 12);
    std::string out = (Root() / "follow.txt").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::string tonwell = Tonwell();
    char* argv[] = {tonwell.data(), const_cast<char*>("trace"), const_cast<char*>("follow"), const_cast<char*>("-n"),
                    const_cast<char*>("2"), nullptr};
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, tonwell.c_str(), &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    auto waitFor = [&](const std::string& text) {
        for (int i = 0; i < 100 && Slurp(out).find(text) == std::string::npos; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    };
    waitFor("line 12\n");
    WriteLog(Log(), 13, 14);
    waitFor("line 14\n");
    // A roll-over as the library does it: the full log to wiatrace.log.1, then the log emptied.
    HANDLE mutex = CreateMutexW(nullptr, FALSE, u"Global\\WIATRACE_MUTEX");
    ASSERT_EQ(WaitForSingleObject(mutex, 10000), WAIT_OBJECT_0);
    WriteLog(Log(), 15, 15);
    std::filesystem::copy_file(Log(), Folder() / "wiatrace.log.1.tmp");
    std::filesystem::rename(Folder() / "wiatrace.log.1.tmp", Folder() / "wiatrace.log.1");
    std::filesystem::resize_file(Log(), 0);
    WriteLog(Log(), 16, 16);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    waitFor("line 16\n");
    kill(pid, SIGINT);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(Slurp(out), "line 11\nline 12\nline 13\nline 14\nline 15\nline 16\n");
}

} // namespace
