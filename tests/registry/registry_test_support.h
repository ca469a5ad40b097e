// Helpers shared by the registry tests.
#pragma once

#include "machine_root.h"

#include <windows.h>

#include <functional>
#include <grp.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace tonwell::test {

constexpr uid_t kNobody = 65534;

inline std::vector<BYTE> Bytes(const std::u16string& s, bool withNul = true)
{
    std::vector<BYTE> out(reinterpret_cast<const BYTE*>(s.data()),
                          reinterpret_cast<const BYTE*>(s.data() + s.size()));
    if (withNul)
        out.insert(out.end(), {0, 0});
    return out;
}

inline LONG SetSz(HKEY key, const char16_t* name, const std::u16string& value)
{
    std::vector<BYTE> data = Bytes(value);
    return RegSetValueExW(key, name, 0, REG_SZ, data.data(), static_cast<DWORD>(data.size()));
}

inline LONG SetDword(HKEY key, const char16_t* name, DWORD value)
{
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

// Reads a value whole; the status of the read.
inline LONG Read(HKEY key, const char16_t* name, DWORD& type, std::vector<BYTE>& data)
{
    DWORD size = 0;
    LONG status = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
    if (status != ERROR_SUCCESS)
        return status;
    data.resize(size);
    status = RegQueryValueExW(key, name, nullptr, &type, data.data(), &size);
    data.resize(size);
    return status;
}

inline DWORD ReadDword(HKEY key, const char16_t* name, LONG* status = nullptr)
{
    DWORD value = 0, size = sizeof value, type = 0;
    LONG s = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    if (status)
        *status = s;
    return value;
}

// The names of a key's subkeys, in the order enumeration gives them.
inline std::vector<std::u16string> SubKeys(HKEY key)
{
    std::vector<std::u16string> names;
    for (DWORD i = 0;; ++i) {
        WCHAR name[256];
        DWORD cch = 256;
        if (RegEnumKeyExW(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            return names;
        names.emplace_back(name, cch);
    }
}

// Runs `body` in a forked child that has become the unprivileged user
// `nobody`; the statuses it returns come back through a pipe. Empty when the
// child failed to report.
inline std::vector<LONG> RunAsNobody(const std::function<std::vector<LONG>()>& body)
{
    int fds[2];
    if (pipe(fds) != 0)
        return {};
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)
            _exit(3);
        std::vector<LONG> results = body();
        ssize_t n = write(fds[1], results.data(), results.size() * sizeof(LONG));
        _exit(n == static_cast<ssize_t>(results.size() * sizeof(LONG)) ? 0 : 4);
    }
    close(fds[1]);
    std::vector<LONG> results;
    LONG value;
    while (read(fds[0], &value, sizeof value) == static_cast<ssize_t>(sizeof value))
        results.push_back(value);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return {};
    return results;
}

// A fresh machine root that other users can reach (but not change), for tests that act as
// an unprivileged user; they need the superuser to switch users.
class SharedRootFixture : public MachineRootFixture {
protected:
    void SetUp() override
    {
        MachineRootFixture::SetUp();
        if (geteuid() != 0)
            GTEST_SKIP() << "needs the superuser to act as another user";
        chmod(Root().c_str(), 0755);
    }
};

} // namespace tonwell::test
