// The trace library as users meet it: the lines in the log, their layout, the size bound and the
// roll-over, per-thread state, and several processes writing into one log at once.
#include "TraceClientInternals.h"
#include "machine_root.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <dlfcn.h>
#include <elf.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tonwell_posix.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

using namespace tonwell::test;

namespace {

// <date> <time.ms> <pid> <tid> <module padded to 16> <kind> <indent><function>: <text>
struct Line {
    std::string time, pid, tid, module, kind, rest;
};

bool Parse(const std::string& line, Line& out)
{
    static const char pattern[] = "dddd-dd-dd dd:dd:dd.ddd";
    if (line.size() < 62)
        return false;
    for (size_t i = 0; i < 23; ++i) {
        bool digit = line[i] >= '0' && line[i] <= '9';
        if (pattern[i] == 'd' ? !digit : line[i] != pattern[i])
            return false;
    }
    auto number = [&](size_t at) {
        std::string field = line.substr(at, 7);
        size_t first = field.find_first_not_of(' ');
        if (first == std::string::npos)
            return false;
        for (size_t i = first; i < 7; ++i)
            if (field[i] < '0' || field[i] > '9')
                return false;
        return true;
    };
    if (line[23] != ' ' || !number(24) || line[31] != ' ' || !number(32) || line[39] != ' ')
        return false;
    size_t separator = line.find(' ', 56);
    if (separator == std::string::npos || line.size() < separator + 5 || line[separator + 4] != ' ')
        return false;
    std::string kind = line.substr(separator + 1, 3);
    static const char* kinds[] = {"ERR", "MSK", "TRC", "SCP", "OBJ", "ALW", "HDR", "???"};
    bool known = false;
    for (const char* k : kinds)
        known = known || kind == k;
    if (!known)
        return false;
    out = {line.substr(0, 23), line.substr(24, 7), line.substr(32, 7), line.substr(40, separator - 40), kind,
           line.substr(separator + 5)};
    return true;
}

std::vector<std::string> ReadLines(const std::filesystem::path& path)
{
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream stream(content);
    std::string line;
    while (std::getline(stream, line))
        lines.push_back(line);
    if (!content.empty()) {
        EXPECT_EQ(content.back(), '\n') << path << " ends in a partial line";
    }
    return lines;
}

class TraceLibraryTest : public MachineRootFixture {
protected:
    void SetUp() override
    {
        MachineRootFixture::SetUp();
        m_library = LoadLibraryW(u"wiatrace.dll");
        ASSERT_NE(m_library, nullptr) << "wiatrace.dll should resolve to build/lib/wiatrace.so";
        m_output = Entry<PFN_WIATRACE_OutputString>("WIATRACE_OutputString");
        ASSERT_NE(m_output, nullptr);
        std::filesystem::create_directories(Folder());
        m_file = CreateFileW(LogPathW().c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(m_file, INVALID_HANDLE_VALUE);
        m_mutex = CreateMutexW(nullptr, FALSE, u"Global\\WIATRACE_MUTEX");
        ASSERT_NE(m_mutex, nullptr);
        GetLocalTime(&m_start);
    }

    void TearDown() override
    {
        if (m_file && m_file != INVALID_HANDLE_VALUE)
            CloseHandle(m_file);
        if (m_mutex)
            CloseHandle(m_mutex);
        if (m_library)
            FreeLibrary(m_library);
        MachineRootFixture::TearDown();
    }

    template <class P>
    P Entry(const char* name)
    {
        return reinterpret_cast<P>(reinterpret_cast<void (*)()>(GetProcAddress(m_library, name)));
    }

    // The calling thread's settings as the library reports them.
    void ExpectThreadSettings(DWORD expectedMask, DWORD expectedLevel, DWORD expectedActive)
    {
        DWORD mask = 0, level = 0, active = 0;
        Entry<PFN_WIATRACE_GetTraceSettings>("WIATRACE_GetTraceSettings")(&mask, &level, &active);
        EXPECT_EQ(mask, expectedMask);
        EXPECT_EQ(level, expectedLevel);
        EXPECT_EQ(active, expectedActive);
    }

    std::filesystem::path Folder() const { return Root() / "system" / "Debug" / "WIA"; }
    std::filesystem::path Log() const { return Folder() / "wiatrace.log"; }
    std::filesystem::path Previous() const { return Folder() / "wiatrace.log.1"; }
    std::u16string LogPathW() const
    {
        std::string path = Log().string();
        return std::u16string(path.begin(), path.end());
    }

    void Output(const char* text, DWORD flag = 0x1, const char* function = nullptr, DWORD indent = 0,
                BOOL first = FALSE, DWORD maxFileSize = 0x100000, HANDLE file = nullptr)
    {
        TraceRecord record{};
        record.Text = const_cast<char*>(text);
        record.ProcessId = 4242;
        record.ThreadId = 77;
        record.FunctionName = function;
        record.Flag = flag;
        record.IndentLevel = indent;
        m_output(first, file ? file : m_file, m_mutex, nullptr, "TonwellObj.dll", &m_start, 0x401, maxFileSize,
                 &record);
    }

    HMODULE m_library = nullptr;
    PFN_WIATRACE_OutputString m_output = nullptr;
    HANDLE m_file = nullptr;
    HANDLE m_mutex = nullptr;
    SYSTEMTIME m_start{};
};

TEST_F(TraceLibraryTest, ExportsTheEightEntries)
{
    for (const char* name : {"WIATRACE_Init", "WIATRACE_Term", "WIATRACE_OutputString", "WIATRACE_IncrementIndentLevel",
                             "WIATRACE_DecrementIndentLevel", "WIATRACE_GetIndentLevel", "WIATRACE_SetTraceSettings",
                             "WIATRACE_GetTraceSettings"})
        EXPECT_NE(GetProcAddress(m_library, name), nullptr) << name;
    // Its own helpers stay inside.
    EXPECT_EQ(GetProcAddress(m_library, "_ZN12_GLOBAL__N_112WriteBoundedEiRNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEEj"),
              nullptr);
}

TEST_F(TraceLibraryTest, LineLayout)
{
    Output("Error returned from AutoBalance() hr=0x80070057", 0x1, "CTonwell::Fix", 0, TRUE);
    Output("ENTERING: CTonwell::FixCTonwell::Fix()", 0x8, nullptr, 2);
    Output("two\nlines", 0x10);
    Output(nullptr, 0x4, "DllMain");
    auto lines = ReadLines(Log());
    ASSERT_EQ(lines.size(), 5u);
    Line m;
    ASSERT_TRUE(Parse(lines[0], m)) << lines[0];
    EXPECT_EQ(m.pid, "   4242");
    EXPECT_EQ(m.tid, "     77");
    EXPECT_EQ(m.module, "TonwellObj.dll  ");
    EXPECT_EQ(m.kind, "HDR");
    char start[96];
    std::snprintf(start, sizeof start, "%04u-%02u-%02u %02u:%02u:%02u.%03u", m_start.wYear, m_start.wMonth,
                  m_start.wDay, m_start.wHour, m_start.wMinute, m_start.wSecond, m_start.wMilliseconds);
    char exe[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    EXPECT_EQ(m.rest, std::string("*** trace started: module TonwellObj.dll, process ") + exe +
                              ", client started " + start);

    const char* expected[][2] = {
        {"ERR", "CTonwell::Fix: Error returned from AutoBalance() hr=0x80070057"},
        {"SCP", "    ENTERING: CTonwell::FixCTonwell::Fix()"},
        {"OBJ", "two lines"},
        {"TRC", "DllMain: "},
    };
    for (size_t i = 0; i < 4; ++i) {
        ASSERT_TRUE(Parse(lines[i + 1], m)) << lines[i + 1];
        EXPECT_EQ(m.kind, expected[i][0]);
        EXPECT_EQ(m.rest, expected[i][1]);
        EXPECT_EQ(m.time.substr(0, 4), std::to_string(m_start.wYear));
    }
}

TEST_F(TraceLibraryTest, InvalidHandlesWriteNothing)
{
    Output("lost", 0x1, nullptr, 0, FALSE, 0x100000, INVALID_HANDLE_VALUE);
    TraceRecord record{};
    record.Text = const_cast<char*>("lost too");
    m_output(FALSE, nullptr, m_mutex, nullptr, "m", &m_start, 0x401, 0x100000, &record);
    m_output(FALSE, m_mutex, m_mutex, nullptr, "m", &m_start, 0x401, 0x100000, &record);
    m_output(FALSE, m_file, m_mutex, nullptr, "m", &m_start, 0x401, 0x100000, nullptr);
    EXPECT_EQ(std::filesystem::file_size(Log()), 0u);
}

TEST_F(TraceLibraryTest, FullLogRollsOverToThePreviousFile)
{
    const DWORD limit = 1000;
    for (int i = 0; i < 40; ++i)
        Output(("line " + std::to_string(i) + std::string(40, '.')).c_str(), 0x1, nullptr, 0, FALSE, limit);
    EXPECT_LE(std::filesystem::file_size(Log()), limit);
    ASSERT_TRUE(std::filesystem::exists(Previous()));
    EXPECT_LE(std::filesystem::file_size(Previous()), limit);
    auto previous = ReadLines(Previous());
    auto current = ReadLines(Log());
    ASSERT_FALSE(previous.empty());
    ASSERT_FALSE(current.empty());
    // Together the two files end with the latest lines, in order, each one whole.
    std::vector<std::string> all(previous);
    all.insert(all.end(), current.begin(), current.end());
    for (const auto& line : all) {
        Line parsed;
        EXPECT_TRUE(Parse(line, parsed)) << line;
    }
    EXPECT_NE(all.back().find("line 39."), std::string::npos);
    for (size_t i = 1; i < all.size(); ++i) {
        int a = std::stoi(all[i - 1].substr(all[i - 1].find("line ") + 5));
        int b = std::stoi(all[i].substr(all[i].find("line ") + 5));
        EXPECT_EQ(b, a + 1);
    }
    // The writer's handle still writes to the same file after the roll-over.
    Output("after", 0x1, nullptr, 0, FALSE, limit);
    EXPECT_NE(ReadLines(Log()).back().find("after"), std::string::npos);
}

TEST_F(TraceLibraryTest, LineLongerThanTheLimitIsCutToFit)
{
    Output("before");
    std::string huge(5000, 'x');
    Output(huge.c_str(), 0x1, nullptr, 0, FALSE, 300);
    EXPECT_EQ(std::filesystem::file_size(Log()), 300u);
    auto lines = ReadLines(Log());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].back(), 'x');
    EXPECT_NE(ReadLines(Previous()).at(0).find("before"), std::string::npos);
}

TEST_F(TraceLibraryTest, IndentAndSettingsBelongToTheThread)
{
    auto increment = Entry<PFN_WIATRACE_IncrementIndentLevel>("WIATRACE_IncrementIndentLevel");
    auto decrement = Entry<PFN_WIATRACE_DecrementIndentLevel>("WIATRACE_DecrementIndentLevel");
    auto indent = Entry<PFN_WIATRACE_GetIndentLevel>("WIATRACE_GetIndentLevel");
    auto set = Entry<PFN_WIATRACE_SetTraceSettings>("WIATRACE_SetTraceSettings");
    auto get = Entry<PFN_WIATRACE_GetTraceSettings>("WIATRACE_GetTraceSettings");
    increment();
    increment();
    set(0x3, 2, 1);
    DWORD otherIndent = 99, otherMask = 99, otherLevel = 99, otherActive = 99;
    std::thread([&] {
        otherIndent = indent();
        get(&otherMask, &otherLevel, &otherActive);
    }).join();
    EXPECT_EQ(otherIndent, 0u);
    EXPECT_EQ(otherMask, 0u);
    EXPECT_EQ(otherActive, 0u);
    EXPECT_EQ(indent(), 2u);
    ExpectThreadSettings(0x3, 2, 1);
    decrement();
    decrement();
    decrement();
    EXPECT_EQ(indent(), 0u) << "the level never goes below zero";
}

// A loaded library's thread_local lives in dynamic TLS, which the sanitizer build's leak checker
// misreads at exit; the library keeps its per-thread state without any.
TEST_F(TraceLibraryTest, HasNoThreadLocalStorageAndItsThreadStateSurvivesAReload)
{
    const char* build = std::getenv("TONWELL_BUILD_DIR");
    std::ifstream file(std::string(build ? build : ".") + "/lib/wiatrace.so", std::ios::binary);
    Elf64_Ehdr header{};
    ASSERT_TRUE(file.read(reinterpret_cast<char*>(&header), sizeof header));
    ASSERT_EQ(std::memcmp(header.e_ident, ELFMAG, SELFMAG), 0);
    int segments = 0;
    for (int i = 0; i < header.e_phnum; ++i) {
        Elf64_Phdr segment{};
        file.seekg(static_cast<std::streamoff>(header.e_phoff + i * header.e_phentsize));
        ASSERT_TRUE(file.read(reinterpret_cast<char*>(&segment), sizeof segment));
        EXPECT_NE(segment.p_type, static_cast<Elf64_Word>(PT_TLS));
        ++segments;
    }
    EXPECT_GT(segments, 0);

    // Unloaded and loaded again, the library starts every thread at zero and keeps counting.
    FreeLibrary(m_library);
    m_library = LoadLibraryW(u"wiatrace.dll");
    ASSERT_NE(m_library, nullptr);
    m_output = Entry<PFN_WIATRACE_OutputString>("WIATRACE_OutputString");
    auto increment = Entry<PFN_WIATRACE_IncrementIndentLevel>("WIATRACE_IncrementIndentLevel");
    auto indent = Entry<PFN_WIATRACE_GetIndentLevel>("WIATRACE_GetIndentLevel");
    auto set = Entry<PFN_WIATRACE_SetTraceSettings>("WIATRACE_SetTraceSettings");
    EXPECT_EQ(indent(), 0u);
    ExpectThreadSettings(0, 0, 0);
    increment();
    set(0xFFFFFFFFu, 0x80000001u, 1);
    EXPECT_EQ(indent(), 1u);
    ExpectThreadSettings(0xFFFFFFFFu, 0x80000001u, 1);
    EXPECT_EQ(indent(), 1u) << "settings and indent do not disturb each other";
}

// --- files another user may have planted -----------------------------------------------------------

std::string Slurp(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST_F(TraceLibraryTest, RollOverNeverFollowsALinkPlantedAtTheLogsName)
{
    const std::filesystem::path victim = Root() / "victim";
    std::ofstream(victim) << "precious\n";
    Output("first line of the real log");
    // Someone removes the log (the handle keeps the file) and puts a link to another file there.
    std::filesystem::remove(Log());
    std::filesystem::create_symlink(victim, Log());
    // And a link where the previous file goes.
    std::filesystem::create_symlink(victim, Previous());
    for (int i = 0; i < 20; ++i)
        Output(("line " + std::to_string(i) + std::string(60, '.')).c_str(), 0x1, nullptr, 0, FALSE, 400);
    EXPECT_EQ(Slurp(victim), "precious\n");
    EXPECT_TRUE(std::filesystem::is_symlink(Previous())) << "nothing was copied over the planted link";
    // The real log, still open (its handle is write-only: read it through the process's view of it),
    // kept its bound and its newest line.
    std::string content = Slurp("/proc/self/fd/" + std::to_string(TonwellHandleToFd(m_file)));
    EXPECT_LE(content.size(), 400u);
    EXPECT_NE(content.find("line 19."), std::string::npos);
}

TEST_F(TraceLibraryTest, RollOverReplacesALinkAtThePreviousName)
{
    const std::filesystem::path victim = Root() / "victim";
    std::ofstream(victim) << "precious\n";
    std::filesystem::create_symlink(victim, Previous());
    // A link at a name the copy in progress could take is never written through either.
    std::filesystem::path temporary = Previous();
    temporary += ".tmp" + std::to_string(getpid());
    std::filesystem::create_symlink(victim, temporary);
    for (int i = 0; i < 20; ++i)
        Output(("line " + std::to_string(i) + std::string(60, '.')).c_str(), 0x1, nullptr, 0, FALSE, 400);
    EXPECT_EQ(Slurp(victim), "precious\n");
    std::filesystem::remove(temporary);
    ASSERT_FALSE(std::filesystem::is_symlink(Previous()));
    EXPECT_NE(Slurp(Previous()).find("line "), std::string::npos);
    // The copy is shared as the log is, and executable by no one; no temporary file is left.
    struct stat log {}, previous {};
    ASSERT_EQ(stat(Log().c_str(), &log), 0);
    ASSERT_EQ(stat(Previous().c_str(), &previous), 0);
    EXPECT_EQ(previous.st_mode & 0777, log.st_mode & 0666);
    size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(Folder()))
        ++entries;
    EXPECT_EQ(entries, 2u);
}

TEST_F(TraceLibraryTest, HandleToAFileWithASecondNameGetsNoLine)
{
    // A handle opened on a name that is a hard link to another file: neither written, cut nor copied.
    const std::filesystem::path victim = Root() / "victim";
    std::ofstream(victim) << std::string(500, 'v');
    const std::filesystem::path planted = Folder() / "planted.log";
    std::filesystem::create_hard_link(victim, planted);
    std::string path = planted.string();
    HANDLE file = CreateFileW(std::u16string(path.begin(), path.end()).c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    Output("would cut the victim", 0x1, nullptr, 0, TRUE, 100, file);
    CloseHandle(file);
    EXPECT_EQ(Slurp(victim), std::string(500, 'v'));
    EXPECT_FALSE(std::filesystem::exists(Folder() / "planted.log.1"));
}

// --- through the client, in several processes ----------------------------------------------------

class ConcurrentTracingTest : public MachineRootFixture {
protected:
    static pid_t Spawn(const std::string& count, const std::string& tag)
    {
        const char* build = std::getenv("TONWELL_BUILD_DIR");
        std::string helper = std::string(build ? build : ".") + "/bin/trace_test_helper";
        char* argv[] = {helper.data(), const_cast<char*>("write"), const_cast<char*>(count.c_str()),
                        const_cast<char*>(tag.c_str()), nullptr};
        pid_t pid = -1;
        EXPECT_EQ(posix_spawn(&pid, helper.c_str(), nullptr, nullptr, argv, environ), 0);
        return pid;
    }

    // The trace settings every module reads: its kinds of line and the bound of the log.
    static void SetTraceSettings(DWORD flags, DWORD maxFileSize)
    {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\StillImage\\Trace", 0,
                                  nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegSetValueExA(key, "DefaultTraceFlags", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&flags), 4);
        RegSetValueExA(key, "MaxFileSize", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&maxFileSize), 4);
        RegCloseKey(key);
    }

    void RunWriters(int writers, int lines, DWORD maxFileSize)
    {
        ASSERT_NO_FATAL_FAILURE(SetTraceSettings(0x405, maxFileSize));
        std::vector<pid_t> pids;
        for (int w = 0; w < writers; ++w)
            pids.push_back(Spawn(std::to_string(lines), "writer" + std::to_string(w)));
        for (pid_t pid : pids) {
            int status = 0;
            ASSERT_EQ(waitpid(pid, &status, 0), pid);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }
    }

    std::filesystem::path Log() const { return Root() / "system" / "Debug" / "WIA" / "wiatrace.log"; }

    // Checks every line and returns, per writer, the line numbers in the order they appear.
    static void Collect(const std::vector<std::string>& lines, std::map<std::string, std::vector<int>>& seen,
                        int& headers)
    {
        static const std::string suffix = ": the quick brown fox jumps over the lazy dog";
        for (const auto& line : lines) {
            Line m;
            ASSERT_TRUE(Parse(line, m)) << line;
            if (m.kind == "HDR") {
                ++headers;
                EXPECT_NE(m.rest.find("trace_test_helper"), std::string::npos) << line;
                continue;
            }
            // "Writer: writerN line I of C: the quick brown fox jumps over the lazy dog"
            ASSERT_EQ(m.kind, "TRC") << line;
            ASSERT_EQ(m.rest.rfind("Writer: writer", 0), 0u) << line;
            ASSERT_GT(m.rest.size(), suffix.size()) << line;
            ASSERT_EQ(m.rest.substr(m.rest.size() - suffix.size()), suffix) << line;
            std::istringstream fields(m.rest.substr(8, m.rest.size() - suffix.size() - 8));
            std::string writer, word, of;
            int number = -1, count = -1;
            fields >> writer >> word >> number >> of >> count;
            ASSERT_TRUE(word == "line" && of == "of" && number >= 0 && count > 0 && fields.eof()) << line;
            seen[writer].push_back(number);
        }
    }
};

TEST_F(ConcurrentTracingTest, EveryLineArrivesWhole)
{
    const int writers = 6, lines = 300;
    RunWriters(writers, lines, 0x1000000);
    std::map<std::string, std::vector<int>> seen;
    int headers = 0;
    Collect(ReadLines(Log()), seen, headers);
    EXPECT_EQ(headers, writers);
    ASSERT_EQ(seen.size(), static_cast<size_t>(writers));
    for (const auto& [writer, numbers] : seen) {
        ASSERT_EQ(numbers.size(), static_cast<size_t>(lines)) << writer;
        for (int i = 0; i < lines; ++i)
            EXPECT_EQ(numbers[i], i) << writer;
    }
}

TEST_F(ConcurrentTracingTest, SmallLimitKeepsTheBoundAndRollsOver)
{
    const DWORD limit = 16384;
    const int writers = 8;
    RunWriters(writers, 300, limit);
    std::filesystem::path previous = Log();
    previous += ".1";
    ASSERT_TRUE(std::filesystem::exists(previous));
    EXPECT_LE(std::filesystem::file_size(Log()), limit);
    EXPECT_LE(std::filesystem::file_size(previous), limit);
    std::map<std::string, std::vector<int>> seen;
    int headers = 0;
    auto rolled = ReadLines(previous);
    EXPECT_GT(rolled.size(), 50u);
    Collect(rolled, seen, headers);
    Collect(ReadLines(Log()), seen, headers);
    // Only the roll-over loses lines, and only the oldest: what is left of each
    // writer is every line it wrote since the previous file was begun, that
    // is, its lines in order without a gap, ending with its last one.
    for (const auto& [writer, numbers] : seen) {
        for (size_t i = 1; i < numbers.size(); ++i)
            EXPECT_EQ(numbers[i - 1] + 1, numbers[i]) << writer;
        EXPECT_EQ(numbers.back(), 299) << writer;
    }
    EXPECT_GE(seen.size(), 1u);
}

// A full disk while tracing: the lines that fit arrive whole and the log never
// ends in part of one. The writer's files are limited in size (RLIMIT_FSIZE,
// SIGXFSZ ignored), which fails writes as a full disk does.
TEST_F(ConcurrentTracingTest, FullDiskLeavesNoPartOfALine)
{
    ASSERT_NO_FATAL_FAILURE(SetTraceSettings(0x405, 0x1000000));
    const char* build = std::getenv("TONWELL_BUILD_DIR");
    std::string helper = std::string(build ? build : ".") + "/bin/trace_test_helper";
    // A first run makes what the registry needs at a first start; the limit
    // then lies above the size of every registry file, so that only the log meets it.
    pid_t warm = Spawn("1", "warm");
    int warmStatus = 0;
    ASSERT_EQ(waitpid(warm, &warmStatus, 0), warm);
    std::filesystem::remove(Log());
    uintmax_t largest = 0;
    for (const auto& entry : std::filesystem::directory_iterator(Root()))
        if (entry.is_regular_file())
            largest = std::max(largest, entry.file_size());
    // Lines of about 130 bytes: the limit falls inside one.
    const rlim_t limit = static_cast<rlim_t>(largest + 20011);
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit rl{limit, limit};
        setrlimit(RLIMIT_FSIZE, &rl);
        execl(helper.c_str(), helper.c_str(), "write", "4000", "writer0", static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::string text = Slurp(Log());
    ASSERT_GT(text.size(), static_cast<size_t>(limit) - 1000);
    EXPECT_LE(text.size(), static_cast<size_t>(limit));
    EXPECT_EQ(text.back(), '\n');
    std::map<std::string, std::vector<int>> seen;
    int headers = 0;
    Collect(ReadLines(Log()), seen, headers);
    ASSERT_EQ(seen.size(), 1u);
    const std::vector<int>& numbers = seen.begin()->second;
    for (size_t i = 0; i < numbers.size(); ++i)
        EXPECT_EQ(numbers[i], static_cast<int>(i));
    EXPECT_LT(numbers.size(), 4000u);
}

} // namespace
