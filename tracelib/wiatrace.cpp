// The trace library: turns the tracing client's records into lines of the shared log.
//
// Every line is written whole, by one positioned write at the end of the file, while the log
// mutex is held, so lines of concurrent processes never interleave. The file is kept within
// MaxFileSize by rolling it over to "wiatrace.log.1" (see README.md). Indent level and trace
// settings belong to the calling thread.
#include <windows.h>

#include <tonwell_posix.h>

#include "wiatrace.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <cstdint>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#define WIATRACE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// Per-thread state: the indent level and the settings a scope sets. It is kept in two
// thread-specific values of pointer width, each holding two 32-bit fields, rather than in a
// thread_local variable: a loaded library's thread_local lives in dynamic TLS, whose blocks the
// leak checker of the sanitizer build (GCC 12) misreads when one happens to start 16 bytes into a
// page (it takes it for an old glibc layout, reads a start and size from before the block and
// faults at exit). Values need no heap block, so nothing is freed at thread exit or leaks at unload.
static_assert(sizeof(void*) >= 2 * sizeof(DWORD), "two 32-bit fields per thread-specific value");

struct ThreadTraceState {
    DWORD dwIndentLevel = 0;
    DWORD dwMask = 0;
    DWORD dwLevel = 0;
    DWORD dwActive = 0;
};

// Created when the library is loaded, deleted when it is unloaded. Without keys (the process ran
// out of them) every thread reads zeros and writes are lost.
class ThreadStateKeys {
public:
    ThreadStateKeys()
    {
        m_bValid = pthread_key_create(&m_IndentAndMask, nullptr) == 0;
        if (m_bValid && pthread_key_create(&m_LevelAndActive, nullptr) != 0) {
            pthread_key_delete(m_IndentAndMask);
            m_bValid = false;
        }
    }
    ~ThreadStateKeys()
    {
        if (m_bValid) {
            pthread_key_delete(m_IndentAndMask);
            pthread_key_delete(m_LevelAndActive);
        }
    }
    ThreadStateKeys(const ThreadStateKeys&) = delete;
    ThreadStateKeys& operator=(const ThreadStateKeys&) = delete;

    ThreadTraceState Load() const
    {
        ThreadTraceState state;
        if (m_bValid) {
            Split(pthread_getspecific(m_IndentAndMask), state.dwIndentLevel, state.dwMask);
            Split(pthread_getspecific(m_LevelAndActive), state.dwLevel, state.dwActive);
        }
        return state;
    }

    void Store(const ThreadTraceState& state) const
    {
        if (m_bValid) {
            pthread_setspecific(m_IndentAndMask, Join(state.dwIndentLevel, state.dwMask));
            pthread_setspecific(m_LevelAndActive, Join(state.dwLevel, state.dwActive));
        }
    }

private:
    static void* Join(DWORD dwHigh, DWORD dwLow)
    {
        return reinterpret_cast<void*>(static_cast<uintptr_t>(dwHigh) << 32 | dwLow);
    }
    static void Split(const void* pv, DWORD& dwHigh, DWORD& dwLow)
    {
        auto v = reinterpret_cast<uintptr_t>(pv);
        dwHigh = static_cast<DWORD>(v >> 32);
        dwLow = static_cast<DWORD>(v);
    }

    pthread_key_t m_IndentAndMask{};
    pthread_key_t m_LevelAndActive{};
    bool m_bValid = false;
};

const ThreadStateKeys s_ThreadState;

// Deeper nesting than this is a runaway, not a call tree; the line stays readable.
const DWORD s_dwMaxIndent = 64;
const DWORD s_dwMutexWaitMs = 10000;

const char* KindOf(DWORD dwFlag)
{
    switch (dwFlag) {
    case TRACE_FLAG_ERROR:
        return "ERR";
    case TRACE_FLAG_MASKED:
        return "MSK";
    case TRACE_FLAG_TRACE:
        return "TRC";
    case TRACE_FLAG_SCOPE:
        return "SCP";
    case TRACE_FLAG_OBJECTS:
        return "OBJ";
    case TRACE_FLAG_ALWAYS:
        return "ALW";
    default:
        return "???";
    }
}

void AppendTimestamp(std::string& line, int year, int month, int day, int hour, int minute, int second, int ms)
{
    char sz[48];
    std::snprintf(sz, sizeof sz, "%04d-%02d-%02d %02d:%02d:%02d.%03d", year, month, day, hour, minute, second, ms);
    line += sz;
}

// The fixed part every line starts with: local time, process, thread, module, kind.
void AppendPrefix(std::string& line, DWORD dwProcessId, DWORD dwThreadId, const char* pszModule, const char* pszKind)
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    AppendTimestamp(line, local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                    local.tm_sec, static_cast<int>(now.tv_nsec / 1000000));
    char sz[64];
    std::snprintf(sz, sizeof sz, " %7u %7u ", dwProcessId, dwThreadId);
    line += sz;
    std::string module = pszModule && *pszModule ? pszModule : "-";
    if (module.size() < 16)
        module.resize(16, ' ');
    line += module;
    line += ' ';
    line += pszKind;
    line += ' ';
}

// One record is one line: control characters inside a text would break that.
void AppendClean(std::string& line, const char* psz)
{
    if (!psz)
        return;
    for (; *psz; ++psz) {
        unsigned char ch = static_cast<unsigned char>(*psz);
        line += ch < 0x20 && ch != '\t' ? ' ' : static_cast<char>(ch);
    }
}

std::string ProcessImage()
{
    char sz[4096];
    ssize_t n = readlink("/proc/self/exe", sz, sizeof sz - 1);
    if (n <= 0)
        return "?";
    return std::string(sz, static_cast<size_t>(n));
}

std::string HeaderLine(const char* pszModule, const SYSTEMTIME* pStart, const TraceRecord* pRecord)
{
    std::string line;
    AppendPrefix(line, pRecord->ProcessId, pRecord->ThreadId, pszModule, "HDR");
    line += "*** trace started: module ";
    AppendClean(line, pszModule && *pszModule ? pszModule : "-");
    line += ", process ";
    AppendClean(line, ProcessImage().c_str());
    line += ", client started ";
    if (pStart)
        AppendTimestamp(line, pStart->wYear, pStart->wMonth, pStart->wDay, pStart->wHour, pStart->wMinute,
                        pStart->wSecond, pStart->wMilliseconds);
    else
        line += "?";
    line += '\n';
    return line;
}

std::string RecordLine(const char* pszModule, const TraceRecord* pRecord)
{
    std::string line;
    AppendPrefix(line, pRecord->ProcessId, pRecord->ThreadId, pszModule, KindOf(pRecord->Flag));
    DWORD dwIndent = pRecord->IndentLevel < s_dwMaxIndent ? pRecord->IndentLevel : s_dwMaxIndent;
    line.append(2 * static_cast<size_t>(dwIndent), ' ');
    if (pRecord->FunctionName && *pRecord->FunctionName) {
        AppendClean(line, pRecord->FunctionName);
        line += ": ";
    }
    AppendClean(line, pRecord->Text);
    line += '\n';
    return line;
}

// A line that alone is longer than the limit keeps what fits, cut on a whole UTF-8 character.
void CutToFit(std::string& text, size_t cbLimit)
{
    if (text.size() <= cbLimit)
        return;
    if (cbLimit == 0) {
        text.clear();
        return;
    }
    size_t keep = cbLimit - 1;
    while (keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xC0) == 0x80)
        --keep;
    text.resize(keep);
    text += '\n';
}

bool WriteAll(int fd, const char* p, size_t cb, off_t offset)
{
    while (cb > 0) {
        ssize_t n = pwrite(fd, p, cb, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        cb -= static_cast<size_t>(n);
        offset += n;
    }
    return true;
}

// A descriptor closed with its scope.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : m_fd(fd) {}
    ~Descriptor() { Reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int Get() const { return m_fd; }
    // Closes now and says whether the close (of a file just written) succeeded.
    bool Reset(int fd = -1)
    {
        bool bOk = m_fd < 0 || close(m_fd) == 0;
        m_fd = fd;
        return bOk;
    }

private:
    int m_fd;
};

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Any user may put something at the log's name, so the library only writes to, cuts or copies a
// regular file that has no name but the log's (none once removed): never a second name of some
// other file, never a device.
bool WritableLog(const struct stat& st) { return S_ISREG(st.st_mode) && st.st_nlink <= 1; }

// The folder and name under which the open log is linked now; false once it has been removed.
bool LogLocation(int fd, std::string& folder, std::string& name)
{
    char szLink[64];
    std::snprintf(szLink, sizeof szLink, "/proc/self/fd/%d", fd);
    char szPath[4096];
    ssize_t n = readlink(szLink, szPath, sizeof szPath - 1);
    if (n <= 0)
        return false;
    std::string path(szPath, static_cast<size_t>(n));
    size_t slash = path.rfind('/');
    if (path[0] != '/' || slash == std::string::npos || slash + 1 == path.size() || path.ends_with(" (deleted)"))
        return false;
    folder = slash == 0 ? "/" : path.substr(0, slash);
    name = path.substr(slash + 1);
    return true;
}

// A name for the copy in progress that no one has taken; O_EXCL makes any taken one fail.
int CreateTemporary(int dir, const std::string& base, std::string& temporary)
{
    static std::atomic<unsigned> s_uCounter{0};
    for (int attempt = 0; attempt < 16; ++attempt) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        temporary = base + ".tmp" + std::to_string(getpid()) + "-" +
                    std::to_string(static_cast<unsigned long>(now.tv_nsec) ^ (s_uCounter.fetch_add(1) * 2654435761u));
        int fd = openat(dir, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// Copies the log to "<name>.1" beside it (written to a new file and renamed over an older one, so a
// reader never sees half a copy). Everything happens relative to the log's folder, opened once,
// and nothing follows a link: the name is copied only while it still is the very file open for
// writing, and the copy is read through a descriptor checked to be that file too.
void CopyToPrevious(int fd, const struct stat& log)
{
    std::string folder;
    std::string name;
    if (!LogLocation(fd, folder, name))
        return;
    Descriptor dir(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (dir.Get() < 0 || fstatat(dir.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !SameFile(st, log))
        return;
    // The handle we are given may be write-only: read through the name, then make sure of what opened.
    Descriptor in(openat(dir.Get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (in.Get() < 0 || fstat(in.Get(), &st) != 0 || !SameFile(st, log))
        return;
    std::string previous = name + ".1";
    std::string temporary;
    Descriptor out(CreateTemporary(dir.Get(), previous, temporary));
    if (out.Get() < 0)
        return;
    bool bOk = true;
    char buffer[65536];
    for (off_t offset = 0; bOk && offset < log.st_size;) {
        size_t want = static_cast<size_t>(log.st_size - offset) < sizeof buffer ? static_cast<size_t>(log.st_size - offset)
                                                                               : sizeof buffer;
        ssize_t got = pread(in.Get(), buffer, want, offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        bOk = WriteAll(out.Get(), buffer, static_cast<size_t>(got), offset);
        offset += got;
    }
    // Readable and writable by whom the log is, executable by no one.
    bOk = fchmod(out.Get(), log.st_mode & 0666) == 0 && bOk;
    bOk = out.Reset() && bOk;
    if (!bOk || renameat(dir.Get(), temporary.c_str(), dir.Get(), previous.c_str()) != 0)
        unlinkat(dir.Get(), temporary.c_str(), 0);
}

// Empties the log in place after copying it: every process keeps writing through its own handle to
// the same file.
void RollOver(int fd, const struct stat& log)
{
    CopyToPrevious(fd, log);
    // The size bound holds even when the copy could not be made.
    while (ftruncate(fd, 0) != 0 && errno == EINTR) {
    }
}

void WriteBounded(int fd, std::string& text, DWORD dwMaxFileSize)
{
    struct stat st {};
    if (fstat(fd, &st) != 0 || !WritableLog(st))
        return;
    off_t cbSize = st.st_size;
    if (dwMaxFileSize != 0) {
        CutToFit(text, dwMaxFileSize);
        if (text.empty())
            return;
        if (static_cast<unsigned long long>(cbSize) + text.size() > dwMaxFileSize) {
            if (cbSize > 0)
                RollOver(fd, st);
            cbSize = 0;
        }
    }
    // A disk that fills up mid-line must not leave half a line for the next one to follow.
    if (!WriteAll(fd, text.data(), text.size(), cbSize)) {
        while (ftruncate(fd, cbSize) != 0 && errno == EINTR) {
        }
    }
}

} // namespace

WIATRACE_EXPORT void WINAPI WIATRACE_Init(HMODULE, const char*) {}

WIATRACE_EXPORT void WINAPI WIATRACE_Term(void) {}

WIATRACE_EXPORT void WINAPI WIATRACE_OutputString(BOOL bFirstOutput, HANDLE hLogFile, HANDLE hLogMutex,
                                                  HMODULE hModule, const char* pszModuleFileName,
                                                  const SYSTEMTIME* pStartTime, DWORD dwTraceFlags,
                                                  DWORD dwMaxFileSize, const TraceRecord* pRecord)
{
    if (!pRecord || !hLogFile || hLogFile == INVALID_HANDLE_VALUE)
        return;
    int fd = TonwellHandleToFd(hLogFile);
    if (fd < 0)
        return;
    try {
        std::string text;
        if (bFirstOutput)
            text = HeaderLine(pszModuleFileName, pStartTime, pRecord);
        text += RecordLine(pszModuleFileName, pRecord);

        bool bOwned = false;
        if (hLogMutex) {
            DWORD dwWait = WaitForSingleObject(hLogMutex, s_dwMutexWaitMs);
            bOwned = dwWait == WAIT_OBJECT_0 || dwWait == WAIT_ABANDONED;
            // Writing without the lock could tear another process's line; losing this one is better.
            if (!bOwned)
                return;
        }
        try {
            WriteBounded(fd, text, dwMaxFileSize);
        } catch (...) {
        }
        if (bOwned)
            ReleaseMutex(hLogMutex);
    } catch (...) {
        // Out of memory: the line is lost, the traced program goes on.
    }
}

WIATRACE_EXPORT void WINAPI WIATRACE_IncrementIndentLevel(void)
{
    ThreadTraceState state = s_ThreadState.Load();
    ++state.dwIndentLevel;
    s_ThreadState.Store(state);
}

WIATRACE_EXPORT void WINAPI WIATRACE_DecrementIndentLevel(void)
{
    ThreadTraceState state = s_ThreadState.Load();
    if (state.dwIndentLevel > 0) {
        --state.dwIndentLevel;
        s_ThreadState.Store(state);
    }
}

WIATRACE_EXPORT DWORD WINAPI WIATRACE_GetIndentLevel(void) { return s_ThreadState.Load().dwIndentLevel; }

WIATRACE_EXPORT void WINAPI WIATRACE_SetTraceSettings(DWORD dwMask, DWORD dwLevel, DWORD dwActive)
{
    ThreadTraceState state = s_ThreadState.Load();
    state.dwMask = dwMask;
    state.dwLevel = dwLevel;
    state.dwActive = dwActive;
    s_ThreadState.Store(state);
}

WIATRACE_EXPORT void WINAPI WIATRACE_GetTraceSettings(DWORD* pdwMask, DWORD* pdwLevel, DWORD* pdwActive)
{
    ThreadTraceState state = s_ThreadState.Load();
    if (pdwMask)
        *pdwMask = state.dwMask;
    if (pdwLevel)
        *pdwLevel = state.dwLevel;
    if (pdwActive)
        *pdwActive = state.dwActive;
}
