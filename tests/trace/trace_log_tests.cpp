// Opening and closing the shared log: folder, mutex and file, keeping or emptying the log, and
// the close that waits for a writer in another process.
#include "TraceClientInternals.h"
#include "machine_root.h"
#include "trace_test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

using namespace tonwell::test;
using namespace tonwell::trace;

namespace {

// A child that owns the log mutex until it is told to go.
class MutexHolder {
public:
    explicit MutexHolder(int seconds)
    {
        const char* build = std::getenv("TONWELL_BUILD_DIR");
        std::string helper = std::string(build ? build : ".") + "/bin/trace_test_helper";
        int fds[2];
        if (pipe(fds) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        std::string count = std::to_string(seconds);
        char* argv[] = {helper.data(), const_cast<char*>("hold-mutex"), count.data(), nullptr};
        if (posix_spawn(&m_pid, helper.c_str(), &actions, nullptr, argv, environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        char ready[6] = {};
        m_ready = m_pid > 0 && read(fds[0], ready, 5) == 5 && std::string(ready) == "ready";
        close(fds[0]);
    }
    ~MutexHolder()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
    }
    bool Ready() const { return m_ready; }

private:
    pid_t m_pid = -1;
    bool m_ready = false;
};

class TraceLogTest : public MachineRootFixture {
protected:
    void TearDown() override
    {
        CloseTraceLog();
        MachineRootFixture::TearDown();
    }

    std::filesystem::path Folder() const { return Root() / "system" / "Debug" / "WIA"; }
    std::filesystem::path Log() const { return Folder() / "wiatrace.log"; }

    void WriteOldLog()
    {
        std::filesystem::create_directories(Folder());
        std::ofstream(Log()) << "an earlier line\n";
    }

    std::uintmax_t LogSize() const { return std::filesystem::file_size(Log()); }
};

TEST_F(TraceLogTest, FreshMachineGetsFolderMutexAndLog)
{
    g_TraceSettings.TraceFlags = 0x401;
    EXPECT_EQ(OpenTraceLog(), S_OK);
    EXPECT_TRUE(std::filesystem::is_directory(Folder()));
    EXPECT_TRUE(std::filesystem::exists(Log()));
    ASSERT_NE(TraceLogFile(), nullptr);
    EXPECT_NE(TraceLogFile(), INVALID_HANDLE_VALUE);
    ASSERT_NE(TraceLogMutex(), nullptr);
    // The client let go of the mutex it created: another thread can take it at once.
    HANDLE hOther = CreateMutexW(nullptr, FALSE, u"Global\\WIATRACE_MUTEX");
    ASSERT_NE(hOther, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    DWORD wait = WAIT_FAILED;
    std::thread([&] {
        wait = WaitForSingleObject(hOther, 0);
        if (wait == WAIT_OBJECT_0)
            ReleaseMutex(hOther);
    }).join();
    EXPECT_EQ(wait, WAIT_OBJECT_0);
    CloseHandle(hOther);

    CloseTraceLog();
    EXPECT_EQ(TraceLogFile(), nullptr);
    EXPECT_EQ(TraceLogMutex(), nullptr);
    // The name is gone with its last handle.
    EXPECT_EQ(OpenMutexW(SYNCHRONIZE, FALSE, u"Global\\WIATRACE_MUTEX"), nullptr);
}

TEST_F(TraceLogTest, KeepBitKeepsAnEarlierLog)
{
    WriteOldLog();
    g_TraceSettings.TraceFlags = 0x401;
    ASSERT_EQ(OpenTraceLog(), S_OK);
    EXPECT_EQ(LogSize(), 16u);
}

TEST_F(TraceLogTest, WithoutTheKeepBitTheFirstClientEmptiesTheLog)
{
    WriteOldLog();
    g_TraceSettings.TraceFlags = 0x1;
    ASSERT_EQ(OpenTraceLog(), S_OK);
    EXPECT_EQ(LogSize(), 0u);
}

TEST_F(TraceLogTest, AnotherClientHoldingTheMutexMeansKeep)
{
    WriteOldLog();
    MutexHolder holder(30);
    ASSERT_TRUE(holder.Ready());
    g_TraceSettings.TraceFlags = 0x1;
    ASSERT_EQ(OpenTraceLog(), S_OK);
    EXPECT_EQ(LogSize(), 16u);
    EXPECT_NE(TraceLogFile(), INVALID_HANDLE_VALUE);
}

TEST_F(TraceLogTest, CloseWaitsForAWriterThenClosesAnyway)
{
    g_TraceSettings.TraceFlags = 0x401;
    ASSERT_EQ(OpenTraceLog(), S_OK);
    MutexHolder holder(60);
    ASSERT_TRUE(holder.Ready());
    auto start = std::chrono::steady_clock::now();
    CloseTraceLog();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(seconds, 9.5);
    EXPECT_LT(seconds, 20.0);
    EXPECT_EQ(TraceLogFile(), nullptr);
    EXPECT_EQ(TraceLogMutex(), nullptr);
}

TEST_F(TraceLogTest, SuppressedProcessCreatesNothing)
{
    g_TraceSettings.SuppressProcessOutput = TRUE;
    EXPECT_EQ(OpenTraceLog(), S_OK);
    EXPECT_FALSE(std::filesystem::exists(Root() / "system" / "Debug"));
    EXPECT_EQ(TraceLogFile(), nullptr);
    EXPECT_EQ(TraceLogMutex(), nullptr);
    EXPECT_EQ(OpenMutexW(SYNCHRONIZE, FALSE, u"Global\\WIATRACE_MUTEX"), nullptr);
    CloseTraceLog();
    g_TraceSettings.SuppressProcessOutput = FALSE;
}

TEST_F(TraceLogTest, SharedFolderIsStickyAndTheLogIsNoProgram)
{
    g_TraceSettings.TraceFlags = TRACE_FLAG_KEEP_LOG | TRACE_FLAG_ERROR;
    ASSERT_EQ(OpenTraceLog(), S_OK);
    struct stat folder {}, log {};
    ASSERT_EQ(stat(Folder().c_str(), &folder), 0);
    ASSERT_EQ(stat(Log().c_str(), &log), 0);
    // Every user may add to the folder, but none may remove or replace another's entries.
    EXPECT_EQ(folder.st_mode & 07777, 01777u);
    EXPECT_EQ(log.st_mode & 07777, 0666u);
}

// Another user may have put something at the log's name before a privileged process traces. The
// log is then not opened (tracing goes on without it), and the file the link aims at is untouched.
TEST_F(TraceLogTest, PlantedLinkOrSecondNameIsNeverOpened)
{
    const std::filesystem::path victim = Root() / "victim";
    std::filesystem::create_directories(Folder());
    for (bool bHardLink : {false, true}) {
        // Without the keep bit the first client would empty the log: the victim with it.
        for (DWORD dwFlags : {TRACE_FLAG_ERROR, TRACE_FLAG_KEEP_LOG | TRACE_FLAG_ERROR}) {
            PlantLinkToVictim(victim, Log(), bHardLink);
            g_TraceSettings.TraceFlags = dwFlags;
            EXPECT_EQ(OpenTraceLog(), E_FAIL) << bHardLink << " " << dwFlags;
            EXPECT_EQ(TraceLogFile(), INVALID_HANDLE_VALUE);
            EXPECT_NE(TraceLogMutex(), nullptr);
            CloseTraceLog();
            std::ifstream in(victim);
            std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            EXPECT_EQ(content, "precious\n") << bHardLink << " " << dwFlags;
        }
    }
    // A FIFO at the name neither blocks the client nor becomes its log.
    std::filesystem::remove(Log());
    ASSERT_EQ(mkfifo(Log().c_str(), 0666), 0);
    EXPECT_EQ(OpenTraceLog(), E_FAIL);
    EXPECT_EQ(TraceLogFile(), INVALID_HANDLE_VALUE);
}

TEST_F(TraceLogTest, LogThatCannotBeOpenedLeavesAnInvalidHandle)
{
    // A folder where the log file should be: the open fails, the mutex stays.
    std::filesystem::create_directories(Log());
    g_TraceSettings.TraceFlags = 0x401;
    EXPECT_EQ(OpenTraceLog(), E_FAIL);
    EXPECT_EQ(TraceLogFile(), INVALID_HANDLE_VALUE);
    EXPECT_NE(TraceLogMutex(), nullptr);
    CloseTraceLog();
    EXPECT_EQ(TraceLogFile(), nullptr);
}

} // namespace
