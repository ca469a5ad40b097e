// Writers killed at random points, `tonwell register` killed mid-way, and
// stores whose disk fills up: the store opens afterwards, passes SQLite's
// integrity check and holds every change that was reported done.
#include "registry_test_support.h"
#include "run_tool.h"
#include "store_integrity.h"

#include <tonwell_posix_registry.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <poll.h>
#include <random>
#include <set>
#include <spawn.h>
#include <sstream>
#include <thread>

extern char** environ;

using namespace tonwell::test;

namespace {

std::u16string U16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// A child process whose standard output the test reads line by line.
class Child {
public:
    explicit Child(const std::vector<std::string>& args)
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        m_out = fds[0];
    }
    ~Child()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            Wait();
        }
        if (m_out >= 0)
            close(m_out);
    }

    bool Started() const { return m_pid > 0; }

    // The next whole line, or false at the end of the output or after `ms`.
    bool Line(std::string& line, int ms = 30000)
    {
        for (;;) {
            size_t eol = m_buffer.find('\n');
            if (eol != std::string::npos) {
                line = m_buffer.substr(0, eol);
                m_buffer.erase(0, eol + 1);
                return true;
            }
            pollfd p{m_out, POLLIN, 0};
            if (poll(&p, 1, ms) <= 0)
                return false;
            char buf[4096];
            ssize_t n = read(m_out, buf, sizeof buf);
            if (n <= 0)
                return false; // a line cut by the kill is not reported
            m_buffer.append(buf, static_cast<size_t>(n));
        }
    }

    void Kill() { kill(m_pid, SIGKILL); }

    // The wait status.
    int Wait()
    {
        int status = 0;
        while (m_pid > 0 && waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
        m_pid = -1;
        return status;
    }

private:
    pid_t m_pid = -1;
    int m_out = -1;
    std::string m_buffer;
};

bool Exists(HKEY parent, const std::string& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(parent, U16(path).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// On a memory file system where there is one: what a killed process leaves
// does not depend on the disk having been flushed (the kernel keeps what was
// written), and without a flush per commit a hundred writers take seconds.
class RegistryCrash : public MachineRootFixture {
protected:
    std::filesystem::path RootParent() const override
    {
        return access("/dev/shm", W_OK) == 0 ? "/dev/shm" : MachineRootFixture::RootParent();
    }

    // Lets go of this process's connections, so that the next call opens the
    // store as a new process would after the crash.
    void Reopen()
    {
        std::filesystem::path elsewhere = Root() / "elsewhere";
        std::filesystem::create_directories(elsewhere);
        setenv("TONWELL_ROOT", elsewhere.c_str(), 1);
        EXPECT_TRUE(Exists(HKEY_LOCAL_MACHINE, "SOFTWARE"));
        setenv("TONWELL_ROOT", Root().c_str(), 1);
    }
};

// What write i of CrashWrite (registry_crash_helper.cpp) leaves, given the
// writes the writer reported.
void CheckWrites(HKEY round, const std::set<int>& reported, int& failures)
{
    int last = reported.empty() ? -1 : *reported.rbegin();
    for (int i = 0; i <= last + 1; ++i) {
        std::string n = std::to_string(i);
        bool done = reported.count(i) != 0;
        if (done) {
            HKEY key = nullptr;
            LONG s = RegOpenKeyExW(round, U16("K" + n).c_str(), 0, KEY_READ, &key);
            EXPECT_EQ(s, ERROR_SUCCESS) << "K" << n;
            if (s == ERROR_SUCCESS) {
                DWORD type = 0;
                std::vector<BYTE> data;
                EXPECT_EQ(Read(key, u"blob", type, data), ERROR_SUCCESS) << n;
                EXPECT_EQ(data, std::vector<BYTE>(500, static_cast<BYTE>(i))) << n;
                RegCloseKey(key);
            }
            LONG vs = 0;
            DWORD v = ReadDword(round, U16("v" + n).c_str(), &vs);
            if (i % 4 == 2 && reported.count(i + 1)) {
                EXPECT_EQ(vs, ERROR_FILE_NOT_FOUND) << "v" << n << " was deleted by write " << i + 1;
            } else if (i % 4 == 2 && i == last) {
                // Write i + 1 was under way: its deletion may have been done.
                EXPECT_TRUE(vs == ERROR_FILE_NOT_FOUND || (vs == ERROR_SUCCESS && v == static_cast<DWORD>(i))) << vs;
            } else {
                EXPECT_EQ(vs, ERROR_SUCCESS) << "v" << n;
                EXPECT_EQ(v, static_cast<DWORD>(i));
            }
        }
        if (i % 5 == 4) {
            // The transaction of write i: whole or not at all, and whole once reported.
            HKEY t = nullptr;
            bool key = RegOpenKeyExW(round, U16("T" + n).c_str(), 0, KEY_READ, &t) == ERROR_SUCCESS;
            LONG ts = 0;
            DWORD tv = ReadDword(round, U16("t" + n).c_str(), &ts);
            EXPECT_EQ(key, ts == ERROR_SUCCESS) << "transaction of write " << n << " is half there";
            if (done) {
                EXPECT_TRUE(key) << "T" << n;
            }
            if (key) {
                EXPECT_EQ(tv, static_cast<DWORD>(i));
                EXPECT_EQ(ReadDword(t, u"a"), static_cast<DWORD>(i));
                EXPECT_EQ(ReadDword(t, u"b"), static_cast<DWORD>(i + 1));
                RegCloseKey(t);
            }
        }
    }
    failures += ::testing::Test::HasFailure() ? 1 : 0;
}

TEST_F(RegistryCrash, WriterKilledAHundredTimesLosesNothingItReported)
{
    constexpr int kRounds = 100;
    const std::string helper = BuildDir() + "/bin/registry_crash_helper";
    std::mt19937 random(static_cast<unsigned>(std::random_device{}()));
    int kills = 0, writes = 0, failures = 0;
    for (int round = 0; round < kRounds && !HasFatalFailure() && failures == 0; ++round) {
        Child child({helper, "write", std::to_string(round)});
        ASSERT_TRUE(child.Started());
        std::set<int> reported;
        std::string line;
        // Killed at a random point once it writes: within a write, a
        // transaction, a commit, or between them.
        ASSERT_TRUE(child.Line(line)) << "the writer reported nothing";
        reported.insert(std::stoi(line));
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 25000));
        child.Kill();
        while (child.Line(line))
            reported.insert(std::stoi(line));
        int status = child.Wait();
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the writer stopped on its own: " << status;
        ++kills;
        writes += static_cast<int>(reported.size());

        ASSERT_EQ(IntegrityCheck(Root() / "registry.db"), "ok") << "round " << round;
        Reopen();
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, U16("SOFTWARE\\Crash\\R" + std::to_string(round)).c_str(), 0,
                                KEY_READ, &key),
                  ERROR_SUCCESS);
        CheckWrites(key, reported, failures);
        RegCloseKey(key);
    }
    EXPECT_EQ(kills, kRounds);
    std::cout << "[ FIGURES  ] " << kills << " writers killed, " << writes << " reported writes checked\n";
    // The store goes on working after all of it.
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Crash\\After", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(SetDword(key, u"v", 1), ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST_F(RegistryCrash, FullDiskFailsTheWriteClearlyAndKeepsTheStore)
{
    // Set up, then limited to a little more than the store and its journal take now.
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Before", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key, u"v", 7), ERROR_SUCCESS);
    RegCloseKey(key);
    uintmax_t largest = 0;
    for (const char* suffix : {"", "-wal", "-shm"}) {
        std::error_code ec;
        uintmax_t size = std::filesystem::file_size(Root().string() + "/registry.db" + suffix, ec);
        if (!ec)
            largest = std::max(largest, size);
    }
    const std::string limit = std::to_string(largest + 200000);
    Child child({BuildDir() + "/bin/registry_crash_helper", "full", limit});
    ASSERT_TRUE(child.Started());
    std::set<int> reported;
    std::string line, failed;
    while (child.Line(line)) {
        if (line.rfind("failed ", 0) == 0)
            failed = line;
        else
            reported.insert(std::stoi(line));
    }
    int status = child.Wait();
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ASSERT_FALSE(failed.empty());
    EXPECT_GT(reported.size(), 2u);
    // ERROR_DISK_FULL, and the store and the cause named.
    std::string store = (Root() / "registry.db").string();
    EXPECT_EQ(failed, "failed " + std::to_string(ERROR_DISK_FULL) + " " + store + ": the disk is full (File too large)");

    EXPECT_EQ(IntegrityCheck(Root() / "registry.db"), "ok");
    Reopen();
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Full", 0, KEY_READ, &key), ERROR_SUCCESS);
    for (int i : reported) {
        DWORD type = 0;
        std::vector<BYTE> data;
        ASSERT_EQ(Read(key, U16("v" + std::to_string(i)).c_str(), type, data), ERROR_SUCCESS) << i;
        EXPECT_EQ(data, std::vector<BYTE>(16384, static_cast<BYTE>(i & 0xFF))) << i;
    }
    // The failed write left nothing.
    DWORD values = 0;
    ASSERT_EQ(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(values, static_cast<DWORD>(reported.size()));
    RegCloseKey(key);
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Before", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(ReadDword(key, u"v"), 7u);
    RegCloseKey(key);
    // With room again, writing goes on.
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Full", 0, KEY_WRITE, &key), ERROR_SUCCESS);
    EXPECT_EQ(SetDword(key, u"after", 1), ERROR_SUCCESS);
    RegCloseKey(key);
}


// --- tonwell register / unregister ---------------------------------------------------------------

class RegisterCrash : public RegistryCrash {
protected:
    static std::string Tonwell() { return BuildDir() + "/bin/tonwell"; }

    // Runs a tonwell command to its end; its exit status (-1 when it did not exit).
    static int Run(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv{Tonwell()};
        argv.insert(argv.end(), args.begin(), args.end());
        Child child(argv);
        std::string line;
        while (child.Line(line)) {
        }
        int status = child.Wait();
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // HKLM as "[key]" and "[key] value" lines, sorted; with `emptyKeys` false
    // only keys that hold values (at any depth below) are listed.
    std::vector<std::string> Snapshot(bool emptyKeys)
    {
        std::string file = (Root() / "export.reg").string();
        EXPECT_EQ(Run({"reg", "export", "HKLM", file, "/y"}), 0);
        std::ifstream in(file, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // UTF-16LE with a byte-order mark; the names here are ASCII.
        std::string text;
        for (size_t i = 2; i + 1 < bytes.size(); i += 2)
            text += bytes[i + 1] == 0 ? bytes[i] : '?';
        std::vector<std::string> lines, keys;
        std::string section;
        std::istringstream stream(text);
        for (std::string line; std::getline(stream, line);) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (line.empty() || line.rfind("Windows Registry Editor", 0) == 0)
                continue;
            if (line[0] == '[') {
                section = line;
                keys.push_back(line);
            } else {
                lines.push_back(section + " " + line);
            }
        }
        for (const std::string& key : keys) {
            std::string inside = key.substr(0, key.size() - 1);
            bool holds = std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
                return l.rfind(inside + "]", 0) == 0 || l.rfind(inside + "\\", 0) == 0;
            });
            if (emptyKeys || holds)
                lines.push_back(key);
        }
        std::sort(lines.begin(), lines.end());
        return lines;
    }
};

TEST_F(RegisterCrash, KilledRegisterIsMadeGoodByTheNextRegisterOrUnregister)
{
    // The clean states, from runs that were not interrupted. Their times say how
    // long a run takes on this machine, so that the kills fall within one however
    // fast or loaded the machine is.
    const auto timed = [&](const char* command) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Run({command, "--quiet"}), 0) << command;
        return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
    };
    const auto registerTook = timed("register");
    const std::vector<std::string> registered = Snapshot(true);
    const auto unregisterTook = timed("unregister");
    const std::vector<std::string> unregistered = Snapshot(false);
    ASSERT_FALSE(HasFailure());
    ASSERT_NE(registered.size(), 0u);
    const auto span = std::max<long long>(1000, std::min(registerTook, unregisterTook).count());

    std::mt19937 random(static_cast<unsigned>(std::random_device{}()));
    constexpr int kKills = 12;
    constexpr int kMaxRounds = 60;
    int kills = 0, round = 0;
    for (; kills < kKills && round < kMaxRounds && !HasFailure(); ++round) {
        // Killed anywhere in its work: loading the module, or among the few dozen
        // keys it writes. One that finishes first is no failure, only no kill.
        Child child({Tonwell(), round % 3 == 2 ? "unregister" : "register", "--quiet"});
        ASSERT_TRUE(child.Started());
        std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<long long>(0, span - 1)(random)));
        child.Kill();
        int status = child.Wait();
        kills += WIFSIGNALED(status);
        ASSERT_EQ(IntegrityCheck(Root() / "registry.db"), "ok") << "round " << round;
        if (round % 2 == 0) {
            ASSERT_EQ(Run({"register", "--quiet"}), 0) << "round " << round;
            EXPECT_EQ(Snapshot(true), registered) << "round " << round;
        } else {
            ASSERT_EQ(Run({"unregister", "--quiet"}), 0) << "round " << round;
            EXPECT_EQ(Snapshot(false), unregistered) << "round " << round;
        }
    }
    EXPECT_EQ(kills, kKills) << "most runs ended before the kill in " << round << " rounds";
    std::cout << "[ FIGURES  ] " << kills << " of " << round << " register/unregister runs killed under way (runs take "
              << span / 1000 << " ms)\n";
}

TEST_F(RegisterCrash, EightProcessesRegisterAndUnregisterAtOnce)
{
    ASSERT_EQ(Run({"register", "--quiet"}), 0);
    const std::vector<std::string> registered = Snapshot(true);
    ASSERT_EQ(Run({"unregister", "--quiet"}), 0);
    const std::vector<std::string> unregistered = Snapshot(false);

    constexpr int kProcesses = 8, kRounds = 3;
    for (int round = 0; round < kRounds; ++round) {
        std::vector<std::unique_ptr<Child>> children;
        for (int p = 0; p < kProcesses; ++p)
            children.push_back(std::make_unique<Child>(
                std::vector<std::string>{Tonwell(), p % 2 ? "unregister" : "register", "--quiet"}));
        // Each waits for the others' writes instead of failing.
        for (auto& child : children) {
            std::string line;
            while (child->Line(line)) {
            }
            int status = child->Wait();
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        }
        ASSERT_EQ(IntegrityCheck(Root() / "registry.db"), "ok");
    }
    ASSERT_EQ(Run({"register", "--quiet"}), 0);
    EXPECT_EQ(Snapshot(true), registered);
    ASSERT_EQ(Run({"unregister", "--quiet"}), 0);
    EXPECT_EQ(Snapshot(false), unregistered);
}

} // namespace
