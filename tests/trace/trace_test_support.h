// Registry set-up for the tracing tests: the values a user or administrator would have stored
// before the client starts.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace tonwell::test {

inline const char kTraceKeyPath[] = "SYSTEM\\CurrentControlSet\\Control\\StillImage\\Trace";

// The test program's own file name: the module that owns a client linked into it.
inline std::string ExeFileName()
{
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return {};
    std::string full(path, static_cast<size_t>(n));
    return full.substr(full.find_last_of('/') + 1);
}

// The trace key or one of its subkeys, below HKEY_LOCAL_MACHINE.
inline std::string TraceKeyPath(const std::string& subkey)
{
    return subkey.empty() ? std::string(kTraceKeyPath) : std::string(kTraceKeyPath) + "\\" + subkey;
}

// The key, created if missing; null (and the test failed) when it cannot be.
inline HKEY CreateTraceKey(const std::string& subkey)
{
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, TraceKeyPath(subkey).c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    return key;
}

inline void SetTraceValue(const std::string& subkey, const char* name, DWORD type, const void* data, DWORD size)
{
    HKEY key = CreateTraceKey(subkey);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
    RegCloseKey(key);
}

// Text values are stored in their wide form, byte for byte.
inline void SetTraceText(const std::string& subkey, const char16_t* name, DWORD type, const char16_t* data,
                         DWORD size)
{
    HKEY key = CreateTraceKey(subkey);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(data), size), ERROR_SUCCESS);
    RegCloseKey(key);
}

inline void SetTraceDword(const std::string& subkey, const char* name, DWORD value)
{
    SetTraceValue(subkey, name, REG_DWORD, &value, sizeof value);
}

// Reads a value's type and bytes; false when it is missing.
inline bool GetTraceValue(const std::string& subkey, const char* name, DWORD* type, std::vector<BYTE>* data)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, TraceKeyPath(subkey).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    DWORD size = 0;
    bool ok = RegQueryValueExA(key, name, nullptr, type, nullptr, &size) == ERROR_SUCCESS;
    if (ok) {
        data->assign(size, 0);
        ok = RegQueryValueExA(key, name, nullptr, type, data->data(), &size) == ERROR_SUCCESS;
    }
    RegCloseKey(key);
    return ok;
}

// What another user could plant at a name a privileged process writes: `victim` (re)written with
// "precious\n", and at `at` a symbolic link to it or, with `hardLink`, a second name of it.
inline void PlantLinkToVictim(const std::filesystem::path& victim, const std::filesystem::path& at, bool hardLink)
{
    std::filesystem::remove(at);
    std::ofstream(victim) << "precious\n";
    if (hardLink)
        std::filesystem::create_hard_link(victim, at);
    else
        std::filesystem::create_symlink(victim, at);
}

} // namespace tonwell::test
