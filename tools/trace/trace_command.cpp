// `tonwell trace`: read, follow and clear the shared trace log, switch kinds of trace line on or
// off for a module and bound the log's size, without knowing where the settings live.
#include "command.h"
#include "common/ErrorText.h"

#include <windows.h>

#include <TraceNames.h>

#include <atomic>
#include <cerrno>
#include <cctype>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tonwell::tools {
namespace {

using trace::kBuiltInMaxFileSize;
using trace::kBuiltInMaxTraceArraySize;
using trace::kBuiltInTraceFlags;
using trace::kLogMutexNameW;
using trace::kMaxRetainedRecords;
using trace::kTraceKey;

const char kDefaultModule[] = "TonwellObj.so";

const char kUsage[] =
    "usage: tonwell trace show [-n N]          print the log (the previous file first), or its last N lines\n"
    "       tonwell trace follow [-n N]        print the last N lines (10) and then new ones until Ctrl-C\n"
    "       tonwell trace clear                empty the log and remove the previous file\n"
    "       tonwell trace enable KIND... [--module NAME]\n"
    "       tonwell trace disable KIND... [--module NAME]\n"
    "                                          switch kinds of line on or off for a module\n"
    "       tonwell trace limit SIZE           bound the log's size (every module); 0 for no bound\n"
    "       tonwell trace status [--module NAME]\n"
    "                                          print a module's trace settings\n"
    "\n"
    "KIND is one of: errors, stats, scopes, objects, all.\n"
    "NAME is the module's file name (default TonwellObj.so). A change takes effect when a process\n"
    "next loads the module.\n"
    "SIZE is a number of bytes, optionally followed by K or M (KiB, MiB), up to 4095M. When the next\n"
    "line would take the log past it, the log rolls over to wiatrace.log.1 and starts again.\n"
    "\n"
    "Tracing is on for error lines from the start. To see more, switch it on and watch:\n"
    "  tonwell trace enable all                 every kind of line for TonwellObj.so\n"
    "  tonwell trace limit 4M                   keep up to 4 MiB in the log (and as much in wiatrace.log.1)\n"
    "  tonwell trace follow                     then run the program to trace, e.g. tonwell fix\n"
    "  tonwell trace disable stats scopes objects   back to error lines only\n";

struct Kind {
    const char* name;
    DWORD flag;
    const char* meaning;
};

const Kind kKinds[] = {
    {"errors", TRACE_FLAG_ERROR, "error lines"},
    {"stats", TRACE_FLAG_TRACE, "trace lines: statistics, attach and detach"},
    {"scopes", TRACE_FLAG_SCOPE, "scope lines: entering and exiting methods"},
    {"objects", TRACE_FLAG_OBJECTS, "object-tracking lines"},
};

int UsageError(const char* message, const std::string& detail = {})
{
    std::fprintf(stderr, "tonwell trace: %s%s\n\n%s", message, detail.c_str(), kUsage);
    return 2;
}

std::string LogPath()
{
    char path[MAX_PATH + 1] = {};
    DWORD cch = ExpandEnvironmentStringsA(trace::kLogPath, path, MAX_PATH);
    if (cch == 0 || cch > MAX_PATH)
        return {};
    std::string result(path);
    for (char& c : result)
        if (c == '\\')
            c = '/';
    return result;
}

std::string FlagsInWords(DWORD flags)
{
    std::string words;
    for (const Kind& kind : kKinds) {
        if (flags & kind.flag) {
            if (!words.empty())
                words += ", ";
            words += kind.name;
        }
    }
    return words.empty() ? "no kinds of line" : words;
}

// --- registry -------------------------------------------------------------------------------------

class Key {
public:
    Key() = default;
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    ~Key()
    {
        if (m_key)
            RegCloseKey(m_key);
    }
    HKEY* Out() { return &m_key; }
    HKEY Get() const { return m_key; }
    explicit operator bool() const { return m_key != nullptr; }

private:
    HKEY m_key = nullptr;
};

// A value as the tracing client reads it: any type of at most four bytes, taken as stored.
bool ReadDword(HKEY key, const char* name, DWORD* value)
{
    if (!key)
        return false;
    DWORD data = 0;
    DWORD size = sizeof data;
    if (RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<LPBYTE>(&data), &size) != ERROR_SUCCESS)
        return false;
    *value = data;
    return true;
}

std::string ErrorText(LONG code)
{
    const std::string message = SystemMessage(static_cast<DWORD>(code));
    return message.empty() ? "error " + std::to_string(code) : message;
}

// Creates the keys the way the tracing client does, so either may come first.
LONG OpenForWriting(const std::string& module, Key& key, Key& subkey)
{
    PSECURITY_DESCRIPTOR security = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(trace::kTraceKeySecurity, SDDL_REVISION_1, &security,
                                                              nullptr))
        return static_cast<LONG>(GetLastError());
    SECURITY_ATTRIBUTES sa = {sizeof sa, security, FALSE};
    DWORD disposition = 0;
    LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kTraceKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_READ | KEY_WRITE, &sa, key.Out(), &disposition);
    if (result == ERROR_SUCCESS)
        result = RegCreateKeyExA(key.Get(), module.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 KEY_READ | KEY_WRITE, &sa, subkey.Out(), &disposition);
    LocalFree(security);
    return result;
}

bool ParseModule(std::vector<std::string>& args, std::string& module, std::string& error)
{
    module = kDefaultModule;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] != "--module")
            continue;
        if (i + 1 >= args.size() || args[i + 1].empty()) {
            error = "--module needs a module file name";
            return false;
        }
        module = args[i + 1];
        if (module.find_first_of("\\/") != std::string::npos) {
            error = "--module takes a file name without a folder, such as TonwellObj.so";
            return false;
        }
        args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
        --i;
    }
    return true;
}

int RunSwitch(std::vector<std::string> args, bool enable)
{
    std::string module;
    std::string error;
    if (!ParseModule(args, module, error))
        return UsageError(error.c_str());
    if (args.empty())
        return UsageError(enable ? "enable needs at least one KIND" : "disable needs at least one KIND");
    DWORD bits = 0;
    for (const std::string& word : args) {
        if (word == "all") {
            for (const Kind& kind : kKinds)
                bits |= kind.flag;
            continue;
        }
        const Kind* found = nullptr;
        for (const Kind& kind : kKinds)
            if (word == kind.name)
                found = &kind;
        if (!found)
            return UsageError("unknown kind of line: ", word);
        bits |= found->flag;
    }

    Key key;
    Key subkey;
    if (LONG result = OpenForWriting(module, key, subkey); result != ERROR_SUCCESS) {
        std::fprintf(stderr, "tonwell trace: cannot open the trace settings of %s for writing: %s%s\n",
                     module.c_str(), ErrorText(result).c_str(),
                     result == ERROR_ACCESS_DENIED ? " (changing them needs administrator rights)" : "");
        return 1;
    }
    DWORD flags = 0;
    if (!ReadDword(subkey.Get(), trace::kTraceFlagsValue, &flags) &&
        !ReadDword(key.Get(), trace::kDefaultTraceFlagsValue, &flags))
        flags = kBuiltInTraceFlags;
    DWORD updated = enable ? (flags | bits) : (flags & ~bits);
    LONG result = RegSetValueExA(subkey.Get(), trace::kTraceFlagsValue, 0, REG_DWORD,
                                 reinterpret_cast<const BYTE*>(&updated), sizeof updated);
    if (result != ERROR_SUCCESS) {
        std::fprintf(stderr, "tonwell trace: cannot write TraceFlags of %s: %s\n", module.c_str(),
                     ErrorText(result).c_str());
        return 1;
    }
    std::printf("%s: TraceFlags 0x%08X (%s)\n", module.c_str(), updated, FlagsInWords(updated).c_str());
    return 0;
}

// --- limit ----------------------------------------------------------------------------------------

// "1048576", "512K", "4M" (binary units); false for anything else or more than a DWORD holds.
bool ParseSize(const std::string& text, DWORD& size)
{
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (errno)
        return false;
    std::string unit(end);
    for (char& c : unit)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    unsigned long long scale = 1;
    if (unit == "K" || unit == "KB" || unit == "KIB")
        scale = 1024;
    else if (unit == "M" || unit == "MB" || unit == "MIB")
        scale = 1024 * 1024;
    else if (!unit.empty() && unit != "B")
        return false;
    if (value > 0xFFFFFFFFull / scale)
        return false;
    size = static_cast<DWORD>(value * scale);
    return true;
}

// MaxFileSize lives in the trace key itself: one bound for the one shared log, whichever module writes.
int RunLimit(const std::vector<std::string>& args)
{
    if (args.size() != 1)
        return UsageError(args.empty() ? "limit needs a SIZE" : "limit takes one SIZE, not: ", args.size() > 1 ? args[1] : "");
    DWORD size = 0;
    if (!ParseSize(args[0], size))
        return UsageError("SIZE must be a number of bytes, optionally with K or M, below 4 GiB: ", args[0]);
    Key key;
    Key subkey;
    if (LONG result = OpenForWriting(kDefaultModule, key, subkey); result != ERROR_SUCCESS) {
        std::fprintf(stderr, "tonwell trace: cannot open the trace settings for writing: %s%s\n",
                     ErrorText(result).c_str(),
                     result == ERROR_ACCESS_DENIED ? " (changing them needs administrator rights)" : "");
        return 1;
    }
    LONG result = RegSetValueExA(key.Get(), trace::kMaxFileSizeValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&size),
                                 sizeof size);
    if (result != ERROR_SUCCESS) {
        std::fprintf(stderr, "tonwell trace: cannot write MaxFileSize: %s\n", ErrorText(result).c_str());
        return 1;
    }
    if (size == 0)
        std::printf("log size limit: none (MaxFileSize 0); the log grows without bound\n");
    else
        std::printf("log size limit: %" PRIu32 " bytes (MaxFileSize); the log rolls over to wiatrace.log.1 beyond it\n",
                    size);
    return 0;
}

// --- status ---------------------------------------------------------------------------------------

struct Setting {
    DWORD value;
    const char* source;
};

Setting Effective(HKEY key, HKEY subkey, const char* name, const char* defaultName, DWORD builtIn)
{
    DWORD value = 0;
    if (ReadDword(subkey, name, &value))
        return {value, "module"};
    if (defaultName && ReadDword(key, defaultName, &value))
        return {value, "default for all modules"};
    return {builtIn, "built-in"};
}

std::vector<std::string> SuppressedProcesses(HKEY key)
{
    std::vector<std::string> names;
    if (!key)
        return names;
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(key, trace::kSuppressProcessOutputValue, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        type != REG_MULTI_SZ || size == 0)
        return names;
    std::vector<char> list(size + 2, 0);
    if (RegQueryValueExA(key, trace::kSuppressProcessOutputValue, nullptr, &type, reinterpret_cast<LPBYTE>(list.data()),
                         &size) != ERROR_SUCCESS)
        return names;
    for (const char* p = list.data(); *p; p += std::strlen(p) + 1)
        names.emplace_back(p);
    return names;
}

int RunStatus(std::vector<std::string> args)
{
    std::string module;
    std::string error;
    if (!ParseModule(args, module, error))
        return UsageError(error.c_str());
    if (!args.empty())
        return UsageError("status takes no argument but --module: ", args.front());

    Key key;
    Key subkey;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTraceKey, 0, KEY_READ, key.Out()) == ERROR_SUCCESS)
        RegOpenKeyExA(key.Get(), module.c_str(), 0, KEY_READ, subkey.Out());

    using namespace trace;
    Setting flags =
        Effective(key.Get(), subkey.Get(), kTraceFlagsValue, kDefaultTraceFlagsValue, kBuiltInTraceFlags);
    Setting mask = Effective(key.Get(), subkey.Get(), kTraceMaskValue, kDefaultTraceMaskValue, kBuiltInTraceMask);
    Setting level =
        Effective(key.Get(), subkey.Get(), kTraceLevelValue, kDefaultTraceLevelValue, kBuiltInTraceLevel);
    Setting retained = Effective(key.Get(), subkey.Get(), kMaxTraceArraySizeValue, kDefaultMaxTraceArraySizeValue,
                                 kBuiltInMaxTraceArraySize);
    Setting tracking = Effective(key.Get(), subkey.Get(), kEnableObjectTrackingValue,
                                 kDefaultEnableObjectTrackingValue, kBuiltInEnableObjectTracking);
    Setting maxSize = Effective(key.Get(), nullptr, kMaxFileSizeValue, nullptr, kBuiltInMaxFileSize);
    if (ReadDword(key.Get(), kMaxFileSizeValue, &maxSize.value))
        maxSize.source = "all modules";

    std::printf("Trace settings of %s%s\n", module.c_str(),
                subkey ? "" : " (none stored yet: the module has not traced on this machine)");
    std::printf("  lines written:    %s\n", FlagsInWords(flags.value).c_str());
    for (const Kind& kind : kKinds)
        std::printf("    %-8s %-3s  %s\n", kind.name, (flags.value & kind.flag) ? "on" : "off", kind.meaning);
    std::printf("  TraceFlags:       0x%08X (%s)\n", flags.value, flags.source);
    std::printf("  log at start:     %s\n", (flags.value & TRACE_FLAG_KEEP_LOG) ? "kept" : "emptied unless another process has it open");
    if ((flags.value & TRACE_FLAG_NO_RETAIN) || retained.value == 0)
        std::printf("  retained lines:   none\n");
    else
        std::printf("  retained lines:   last %u in memory (%s)\n", retained.value > kMaxRetainedRecords ? kMaxRetainedRecords : retained.value,
                    retained.source);
    std::printf("  output:           %s\n", (flags.value & TRACE_FLAG_NO_OUTPUT) ? "off (lines are only retained in memory)"
                                                                     : "to the log");
    std::printf("  component mask:   0x%08X (%s; %s)\n", mask.value,
                mask.value ? "selected components" : "every component", mask.source);
    std::printf("  detail level:     %u (%s)\n", level.value, level.source);
    std::printf("  object tracking:  %s (%s)\n", tracking.value ? "on" : "off", tracking.source);
    if (maxSize.value == 0)
        std::printf("  log size limit:   none (%s); the log grows without bound\n", maxSize.source);
    else
        std::printf("  log size limit:   %u bytes (%s); then it rolls over to wiatrace.log.1\n", maxSize.value,
                    maxSize.source);
    std::vector<std::string> suppressed = SuppressedProcesses(key.Get());
    std::string list;
    for (const std::string& name : suppressed)
        list += (list.empty() ? "" : ", ") + name;
    std::printf("  suppressed:       %s\n", list.empty() ? "no process" : list.c_str());
    std::string path = LogPath();
    struct stat st {};
    if (!path.empty() && stat(path.c_str(), &st) == 0)
        std::printf("  log file:         %s (%lld bytes)\n", path.c_str(), static_cast<long long>(st.st_size));
    else
        std::printf("  log file:         %s (not created yet)\n", path.c_str());
    return 0;
}

// --- reading the log ------------------------------------------------------------------------------

bool ParseCount(std::vector<std::string>& args, long long& count, std::string& error)
{
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] != "-n")
            continue;
        if (i + 1 >= args.size()) {
            error = "-n needs a number of lines";
            return false;
        }
        const std::string& text = args[i + 1];
        char* end = nullptr;
        errno = 0;
        long long value = std::strtoll(text.c_str(), &end, 10);
        if (text.empty() || *end || errno || value < 0) {
            error = "-n needs a number of lines, not '" + text + "'";
            return false;
        }
        count = value;
        args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
        --i;
    }
    return true;
}

// Appends the complete lines of a file region to `lines` (keeping only the last `keep`, if >= 0).
void ReadLines(const std::string& path, std::deque<std::string>& lines, long long keep)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return;
    std::string line;
    int ch;
    while ((ch = std::fgetc(file)) != EOF) {
        line += static_cast<char>(ch);
        if (ch == '\n') {
            lines.push_back(std::move(line));
            line.clear();
            if (keep >= 0 && static_cast<long long>(lines.size()) > keep)
                lines.pop_front();
        }
    }
    if (!line.empty()) {
        lines.push_back(line + "\n");
        if (keep >= 0 && static_cast<long long>(lines.size()) > keep)
            lines.pop_front();
    }
    std::fclose(file);
}

int RunShow(std::vector<std::string> args)
{
    long long count = -1;
    std::string error;
    if (!ParseCount(args, count, error))
        return UsageError(error.c_str());
    if (!args.empty())
        return UsageError("show takes no argument but -n: ", args.front());
    std::string path = LogPath();
    struct stat st {};
    if (path.empty() || stat(path.c_str(), &st) != 0) {
        std::fprintf(stderr, "tonwell trace: no trace log yet (%s)\n", path.c_str());
        return 1;
    }
    std::deque<std::string> lines;
    ReadLines(path + ".1", lines, count);
    ReadLines(path, lines, count);
    for (const std::string& line : lines)
        std::fwrite(line.data(), 1, line.size(), stdout);
    return 0;
}

std::atomic<bool> g_stop{false};

void OnInterrupt(int) { g_stop = true; }

struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
    bool exists = false;
    bool operator!=(const FileId& other) const
    {
        return exists != other.exists || dev != other.dev || ino != other.ino;
    }
};

FileId IdOf(const std::string& path)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return {};
    return {st.st_dev, st.st_ino, true};
}

// Prints what lies in [from, end of file) and returns the new position; an unfinished last line
// waits in `pending` for the rest of it.
off_t PrintFrom(const std::string& path, off_t from, std::string& pending)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return from;
    off_t position = from;
    if (fseeko(file, from, SEEK_SET) == 0) {
        char buffer[65536];
        size_t got;
        while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
            position += static_cast<off_t>(got);
            pending.append(buffer, got);
            size_t end = pending.rfind('\n');
            if (end != std::string::npos) {
                std::fwrite(pending.data(), 1, end + 1, stdout);
                pending.erase(0, end + 1);
            }
        }
    }
    std::fclose(file);
    std::fflush(stdout);
    return position;
}

int RunFollow(std::vector<std::string> args)
{
    long long count = 10;
    std::string error;
    if (!ParseCount(args, count, error))
        return UsageError(error.c_str());
    if (!args.empty())
        return UsageError("follow takes no argument but -n: ", args.front());
    std::string path = LogPath();
    if (path.empty()) {
        std::fprintf(stderr, "tonwell trace: the log's path is too long\n");
        return 1;
    }
    std::string previousPath = path + ".1";

    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    std::deque<std::string> lines;
    ReadLines(path, lines, count);
    for (const std::string& line : lines)
        std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
    struct stat st {};
    off_t position = stat(path.c_str(), &st) == 0 ? st.st_size : 0;
    FileId previous = IdOf(previousPath);
    std::string pending;

    while (!g_stop) {
        // A roll-over replaces wiatrace.log.1 by a new file holding the log as it was, then empties
        // the log: finish the old lines from the copy, then start over at the top of the log.
        // The writer copies and empties under the log mutex; taking it here means the log is seen
        // either before the roll-over or after it, never half-way.
        FileId now = IdOf(previousPath);
        HANDLE mutex = nullptr;
        if (now.exists && now != previous) {
            mutex = CreateMutexW(nullptr, FALSE, kLogMutexNameW);
            DWORD wait = mutex ? WaitForSingleObject(mutex, 10000) : WAIT_FAILED;
            if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED && mutex) {
                CloseHandle(mutex);
                mutex = nullptr;
            }
            now = IdOf(previousPath);
            PrintFrom(previousPath, position, pending);
            if (!pending.empty()) {
                pending += '\n';
                std::fwrite(pending.data(), 1, pending.size(), stdout);
                pending.clear();
            }
            position = 0;
        }
        previous = now;
        if (stat(path.c_str(), &st) == 0) {
            if (st.st_size < position) {
                position = 0; // cleared
                pending.clear();
            }
            if (st.st_size > position)
                position = PrintFrom(path, position, pending);
        }
        if (mutex) {
            ReleaseMutex(mutex);
            CloseHandle(mutex);
        }
        usleep(200 * 1000);
    }
    return 0;
}

// --- clear ----------------------------------------------------------------------------------------

// Empties the log only if it is the regular file with that one name: whoever runs clear (an
// administrator, say) never cuts a file some user linked there. "" when emptied or absent.
std::string EmptyLog(const std::string& path)
{
    int fd = open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? "" : errno == ELOOP ? "it is a symbolic link" : std::strerror(errno);
    struct stat st {};
    std::string error;
    if (fstat(fd, &st) != 0)
        error = std::strerror(errno);
    else if (!S_ISREG(st.st_mode))
        error = "it is not a regular file";
    else if (st.st_nlink != 1)
        error = "it has another name as well (a hard link)";
    else if (ftruncate(fd, 0) != 0)
        error = std::strerror(errno);
    close(fd);
    return error;
}

int RunClear(const std::vector<std::string>& args)
{
    if (!args.empty())
        return UsageError("clear takes no argument: ", args.front());
    std::string path = LogPath();
    if (path.empty()) {
        std::fprintf(stderr, "tonwell trace: the log's path is too long\n");
        return 1;
    }
    HANDLE mutex = CreateMutexW(nullptr, FALSE, kLogMutexNameW);
    if (!mutex) {
        std::fprintf(stderr, "tonwell trace: cannot open the log mutex: %s\n",
                     ErrorText(static_cast<LONG>(GetLastError())).c_str());
        return 1;
    }
    DWORD wait = WaitForSingleObject(mutex, 10000);
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {
        CloseHandle(mutex);
        std::fprintf(stderr, "tonwell trace: the log is busy (a writer held its mutex for 10 seconds)\n");
        return 1;
    }
    int status = 0;
    if (std::string error = EmptyLog(path); !error.empty()) {
        std::fprintf(stderr, "tonwell trace: cannot empty %s: %s\n", path.c_str(), error.c_str());
        status = 1;
    }
    std::string previous = path + ".1";
    if (unlink(previous.c_str()) != 0 && errno != ENOENT) {
        std::fprintf(stderr, "tonwell trace: cannot remove %s: %s\n", previous.c_str(), std::strerror(errno));
        status = 1;
    }
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    if (status == 0)
        std::printf("trace log cleared: %s\n", path.c_str());
    return status;
}

int RunTrace(const std::vector<std::string>& args)
{
    if (args.empty())
        return UsageError("missing subcommand");
    const std::string& verb = args.front();
    std::vector<std::string> rest(args.begin() + 1, args.end());
    if (verb == "--help" || verb == "-h" || verb == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (verb == "show")
        return RunShow(rest);
    if (verb == "follow")
        return RunFollow(rest);
    if (verb == "clear")
        return RunClear(rest);
    if (verb == "enable")
        return RunSwitch(rest, true);
    if (verb == "disable")
        return RunSwitch(rest, false);
    if (verb == "status")
        return RunStatus(rest);
    if (verb == "limit")
        return RunLimit(rest);
    return UsageError("unknown subcommand: ", verb);
}

} // namespace

TONWELL_COMMAND(trace, "show, follow or clear the trace log; switch kinds of trace line on; bound the log's size",
                RunTrace);

} // namespace tonwell::tools
