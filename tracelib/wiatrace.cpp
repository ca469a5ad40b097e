// The trace library: turns the tracing client's records into lines of the shared log.
//
// Every line is written whole, by one positioned write at the end of the file, while the log
// mutex is held, so lines of concurrent processes never interleave. The file is kept within
// MaxFileSize by rolling it over to "wiatrace.log.1" (see README.md). Indent level and trace
// settings belong to the calling thread.
#include <windows.h>

#include <tonwell_posix.h>

#include "wiatrace.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#define WIATRACE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

struct ThreadTraceState {
    DWORD dwIndentLevel = 0;
    DWORD dwMask = 0;
    DWORD dwLevel = 0;
    DWORD dwActive = 0;
};

thread_local ThreadTraceState t_State;

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

// Copies the full log to "<log>.1" (replacing an older one in a single rename) and empties the log
// in place: every process keeps writing through its own handle to the same file.
void RollOver(int fd, off_t cbSize)
{
    char szLink[64];
    std::snprintf(szLink, sizeof szLink, "/proc/self/fd/%d", fd);
    char szPath[4096];
    ssize_t n = readlink(szLink, szPath, sizeof szPath - 1);
    if (n > 0) {
        szPath[n] = 0;
        struct stat st {};
        if (!std::strstr(szPath, " (deleted)") && fstat(fd, &st) == 0) {
            std::string previous = std::string(szPath) + ".1";
            std::string temporary = previous + ".tmp" + std::to_string(getpid());
            // The handle we are given may be write-only: read the contents through the path.
            int in = open(szPath, O_RDONLY | O_CLOEXEC);
            int out = in >= 0 ? open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, st.st_mode & 0777)
                              : -1;
            if (out >= 0) {
                bool bOk = true;
                char buffer[65536];
                for (off_t offset = 0; bOk && offset < cbSize;) {
                    size_t want = static_cast<size_t>(cbSize - offset) < sizeof buffer
                                      ? static_cast<size_t>(cbSize - offset)
                                      : sizeof buffer;
                    ssize_t got = pread(in, buffer, want, offset);
                    if (got < 0 && errno == EINTR)
                        continue;
                    if (got <= 0)
                        break;
                    bOk = WriteAll(out, buffer, static_cast<size_t>(got), offset);
                    offset += got;
                }
                bOk = close(out) == 0 && bOk;
                if (!bOk || rename(temporary.c_str(), previous.c_str()) != 0)
                    unlink(temporary.c_str());
            }
            if (in >= 0)
                close(in);
        }
    }
    // The size bound holds even when the copy could not be made.
    while (ftruncate(fd, 0) != 0 && errno == EINTR) {
    }
}

void WriteBounded(int fd, std::string& text, DWORD dwMaxFileSize)
{
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return;
    off_t cbSize = st.st_size;
    if (dwMaxFileSize != 0) {
        CutToFit(text, dwMaxFileSize);
        if (text.empty())
            return;
        if (static_cast<unsigned long long>(cbSize) + text.size() > dwMaxFileSize) {
            if (cbSize > 0)
                RollOver(fd, cbSize);
            cbSize = 0;
        }
    }
    WriteAll(fd, text.data(), text.size(), cbSize);
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

WIATRACE_EXPORT void WINAPI WIATRACE_IncrementIndentLevel(void) { ++t_State.dwIndentLevel; }

WIATRACE_EXPORT void WINAPI WIATRACE_DecrementIndentLevel(void)
{
    if (t_State.dwIndentLevel > 0)
        --t_State.dwIndentLevel;
}

WIATRACE_EXPORT DWORD WINAPI WIATRACE_GetIndentLevel(void) { return t_State.dwIndentLevel; }

WIATRACE_EXPORT void WINAPI WIATRACE_SetTraceSettings(DWORD dwMask, DWORD dwLevel, DWORD dwActive)
{
    t_State.dwMask = dwMask;
    t_State.dwLevel = dwLevel;
    t_State.dwActive = dwActive;
}

WIATRACE_EXPORT void WINAPI WIATRACE_GetTraceSettings(DWORD* pdwMask, DWORD* pdwLevel, DWORD* pdwActive)
{
    if (pdwMask)
        *pdwMask = t_State.dwMask;
    if (pdwLevel)
        *pdwLevel = t_State.dwLevel;
    if (pdwActive)
        *pdwActive = t_State.dwActive;
}
