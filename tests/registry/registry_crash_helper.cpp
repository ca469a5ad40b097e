// A registry writer for the crash and disk-full tests, run as a process of its
// own (not installed). After each write has returned success it writes the
// write's number, one a line, to standard output, so that the test knows what
// the store must hold whenever the process dies.
//
//   registry_crash_helper write ROUND        numbered writes under
//       HKLM\SOFTWARE\Crash\R<ROUND>, until killed (see CrashWrite)
//   registry_crash_helper full LIMIT         16 KiB values under
//       HKLM\SOFTWARE\Full with files limited to LIMIT bytes (RLIMIT_FSIZE,
//       SIGXFSZ ignored: a write past it fails with EFBIG as a full disk fails
//       with ENOSPC), until one fails; then "failed STATUS FAILURE" and exit 0
#include <windows.h>

#include <ktmw32.h>
#include <tonwell_posix_registry.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

std::u16string U16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

void Report(const std::string& line)
{
    std::string text = line + "\n";
    if (write(STDOUT_FILENO, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        _exit(3);
}

LONG SetDword(HKEY key, const std::string& name, DWORD value)
{
    return RegSetValueExW(key, U16(name).c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

// The blob of write i: its number in every byte, 500 bytes.
std::vector<BYTE> Blob(int i) { return std::vector<BYTE>(500, static_cast<BYTE>(i)); }

// Write i, each step reported once the whole of it returned success:
// - every i: key K<i> with value "blob" (Blob(i)), and value v<i> = i on R<ROUND>;
// - i % 4 == 3: also deletes value v<i-1>;
// - i % 5 == 4: also, in one platform transaction, key T<i> with values a = i
//   and b = i + 1, and value t<i> = i on R<ROUND>: all of it or none.
int CrashWrite(const std::string& round)
{
    HKEY parent = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, U16("SOFTWARE\\Crash\\R" + round).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, &parent, nullptr) != ERROR_SUCCESS)
        return 1;
    for (int i = 0;; ++i) {
        std::string n = std::to_string(i);
        HKEY key = nullptr;
        if (RegCreateKeyExW(parent, U16("K" + n).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
            ERROR_SUCCESS)
            return 2;
        std::vector<BYTE> blob = Blob(i);
        if (RegSetValueExW(key, u"blob", 0, REG_BINARY, blob.data(), static_cast<DWORD>(blob.size())) !=
            ERROR_SUCCESS)
            return 2;
        RegCloseKey(key);
        if (SetDword(parent, "v" + n, static_cast<DWORD>(i)) != ERROR_SUCCESS)
            return 2;
        if (i % 4 == 3 && RegDeleteValueW(parent, U16("v" + std::to_string(i - 1)).c_str()) != ERROR_SUCCESS)
            return 2;
        if (i % 5 == 4) {
            HANDLE tx = CreateTransaction(nullptr, nullptr, 0, 0, 0, 0, nullptr);
            HKEY t = nullptr;
            if (tx == INVALID_HANDLE_VALUE ||
                RegCreateKeyTransactedW(parent, U16("T" + n).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &t,
                                        nullptr, tx, nullptr) != ERROR_SUCCESS)
                return 2;
            HKEY within = nullptr;
            // R<ROUND> opened again inside the transaction, so that t<i> is part of it.
            if (SetDword(t, "a", static_cast<DWORD>(i)) != ERROR_SUCCESS ||
                SetDword(t, "b", static_cast<DWORD>(i + 1)) != ERROR_SUCCESS ||
                RegOpenKeyTransactedW(HKEY_LOCAL_MACHINE, U16("SOFTWARE\\Crash\\R" + round).c_str(), 0,
                                      KEY_ALL_ACCESS, &within, tx, nullptr) != ERROR_SUCCESS ||
                SetDword(within, "t" + n, static_cast<DWORD>(i)) != ERROR_SUCCESS)
                return 2;
            RegCloseKey(within);
            RegCloseKey(t);
            if (!CommitTransaction(tx))
                return 2;
            CloseHandle(tx);
        }
        Report(n);
    }
}

int FillUp(const char* limitText)
{
    char* end = nullptr;
    unsigned long long limit = std::strtoull(limitText, &end, 10);
    if (!end || *end)
        return 1;
    // The store exists and is set up before the limit applies.
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Full", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return 1;
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit rl{static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
    if (setrlimit(RLIMIT_FSIZE, &rl) != 0)
        return 1;
    std::vector<BYTE> blob(16384);
    for (int i = 0; i < 100000; ++i) {
        std::memset(blob.data(), i & 0xFF, blob.size());
        LONG status = RegSetValueExW(key, U16("v" + std::to_string(i)).c_str(), 0, REG_BINARY, blob.data(),
                                     static_cast<DWORD>(blob.size()));
        if (status != ERROR_SUCCESS) {
            Report("failed " + std::to_string(status) + " " + TonwellRegLastFailure());
            RegCloseKey(key);
            return 0;
        }
        Report(std::to_string(i));
    }
    return 1; // never full
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "write") == 0)
        return CrashWrite(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "full") == 0)
        return FillUp(argv[2]);
    std::fprintf(stderr, "usage: registry_crash_helper write ROUND | full LIMIT\n");
    return 2;
}
