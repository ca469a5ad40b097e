// Exports under memory exhaustion. This binary replaces operator new with
// one that throws on demand; each case makes every allocation of one call
// fail in turn, the first, then the second, and so on until the call runs
// through, and checks that each failure came back as the function's own
// out-of-memory status: no exception crossed the export, no crash, and
// nothing was left half made.
#include "machine_root.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>

namespace {

// Per thread, so that only the call under test is affected.
thread_local long t_failAt = -1; // the allocation that fails, counted from 0; -1 for none
thread_local long t_allocations = 0;
thread_local bool t_injected = false;

} // namespace

// The replacement pairs malloc with free by design; GCC cannot tell that
// these are the replaceable functions themselves.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size)
{
    if (t_failAt >= 0 && t_allocations++ == t_failAt) {
        t_injected = true;
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}

void* operator new[](std::size_t size) { return ::operator new(size); }

// The nothrow forms fail on demand too, and must pair with the delete below.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    try {
        return ::operator new(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return ::operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

#pragma GCC diagnostic pop

namespace {

enum class Result { Succeeded, OutOfMemory, Other };

class OutOfMemory : public tonwell::test::MachineRootFixture {
protected:
    // Runs `call` with its n-th allocation failing, for n = 0, 1, ... until
    // it runs through. A failure must give OutOfMemory (or, where the code
    // recovers by itself, Succeeded); the last run must succeed.
    template <class Call>
    void Exhaust(const char* what, Call&& call)
    {
        long failures = 0;
        for (long n = 0; n < 20000; ++n) {
            t_allocations = 0;
            t_injected = false;
            t_failAt = n;
            Result result = call();
            t_failAt = -1;
            if (!t_injected) {
                EXPECT_EQ(result, Result::Succeeded) << what << " without any failure";
                EXPECT_GT(failures, 0) << what << " never reported running out of memory";
                return;
            }
            ++failures;
            EXPECT_NE(result, Result::Other) << what << " with allocation " << n << " failing";
            if (result == Result::Other)
                return;
        }
        ADD_FAILURE() << what << " did not finish";
    }

    static Result OfStatus(LONG status)
    {
        return status == ERROR_SUCCESS ? Result::Succeeded
               : status == ERROR_NOT_ENOUGH_MEMORY ? Result::OutOfMemory
                                                    : Result::Other;
    }
    static Result OfLastError(bool ok)
    {
        if (ok)
            return Result::Succeeded;
        return GetLastError() == ERROR_NOT_ENOUGH_MEMORY ? Result::OutOfMemory : Result::Other;
    }
    // For a call that hands out a handle, `failed` when it fails; the handle is closed.
    static Result OfNewHandle(HANDLE h, HANDLE failed = nullptr)
    {
        Result r = OfLastError(h != failed);
        if (h != failed)
            CloseHandle(h);
        return r;
    }
};

TEST_F(OutOfMemory, RegistryFunctions)
{
    // The store is opened, set up and its folding checked under failures too.
    Exhaust("RegCreateKeyExW", [] {
        HKEY key = nullptr;
        LONG s = RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Oom\\Deep", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                 &key, nullptr);
        if (s == ERROR_SUCCESS)
            RegCloseKey(key);
        return OfStatus(s);
    });
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Oom", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    const char text[] = "caf\xC3\xA9";
    Exhaust("RegSetValueExA", [&] {
        return OfStatus(RegSetValueExA(key, "Name", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text));
    });
    Exhaust("RegQueryValueExA", [&] {
        char buffer[16] = {};
        DWORD size = sizeof buffer;
        LONG s = RegQueryValueExA(key, "NAME", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
        return s == ERROR_SUCCESS && std::string(buffer) != "caf\xC3\xA9" ? Result::Other : OfStatus(s);
    });
    Exhaust("RegEnumValueA", [&] {
        char name[16];
        DWORD cch = sizeof name;
        return OfStatus(RegEnumValueA(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr));
    });
    Exhaust("RegEnumKeyExW", [&] {
        WCHAR name[16];
        DWORD cch = 16;
        return OfStatus(RegEnumKeyExW(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr));
    });
    Exhaust("RegQueryInfoKeyA", [&] {
        DWORD values = 0;
        return OfStatus(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                                         nullptr, nullptr, nullptr));
    });
    Exhaust("RegDeleteValueW", [&] {
        LONG s = RegDeleteValueW(key, u"name");
        return s == ERROR_FILE_NOT_FOUND ? Result::Other : OfStatus(s);
    });
    RegCloseKey(key);
}

TEST_F(OutOfMemory, FilesAndMutexes)
{
    std::string path = (Root() / "oom.txt").string();
    // CREATE_NEW: a run that failed yet left the file behind would make the next one fail otherwise.
    Exhaust("CreateFileA", [&] {
        return OfNewHandle(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr),
                           INVALID_HANDLE_VALUE);
    });
    EXPECT_TRUE(std::filesystem::exists(path));
    Exhaust("DeleteFileA", [&] { return OfLastError(DeleteFileA(path.c_str())); });
    EXPECT_FALSE(std::filesystem::exists(path));

    Exhaust("CreateMutexA", [] { return OfNewHandle(CreateMutexA(nullptr, FALSE, "Global\\oom")); });
    HANDLE held = CreateMutexW(nullptr, FALSE, u"Global\\oom");
    ASSERT_NE(held, nullptr);
    Exhaust("OpenMutexA", [] { return OfNewHandle(OpenMutexA(SYNCHRONIZE, FALSE, "Global\\oom")); });
    CloseHandle(held);
}

TEST_F(OutOfMemory, EnvironmentAndText)
{
    Exhaust("SetEnvironmentVariableA", [] { return OfLastError(SetEnvironmentVariableA("TONWELL_OOM", "v\xC3\xA9")); });
    Exhaust("GetEnvironmentVariableA", [] {
        char buffer[16];
        return OfLastError(GetEnvironmentVariableA("tonwell_oom", buffer, sizeof buffer) == 3);
    });
    Exhaust("ExpandEnvironmentStringsA", [] {
        char buffer[64];
        return OfLastError(ExpandEnvironmentStringsA("%SystemRoot%\\%TONWELL_OOM%", buffer, sizeof buffer) > 0);
    });
    SetEnvironmentVariableA("TONWELL_OOM", nullptr);

    Exhaust("FormatMessageW", [] {
        LPWSTR text = nullptr;
        DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, ERROR_FILE_NOT_FOUND, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
        Result r = OfLastError(n > 0);
        if (r != Result::Succeeded && text)
            r = Result::Other; // nothing may be handed out on failure
        LocalFree(text);
        return r;
    });
    Exhaust("ConvertStringSecurityDescriptorToSecurityDescriptorW", [] {
        PSECURITY_DESCRIPTOR sd = nullptr;
        BOOL ok = ConvertStringSecurityDescriptorToSecurityDescriptorW(u"D:P(A;;GA;;;SY)", SDDL_REVISION_1, &sd,
                                                                       nullptr);
        LocalFree(sd);
        return OfLastError(ok);
    });
}

TEST_F(OutOfMemory, ComGivesEOutOfMemory)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, u"Tonwell.Oom\\CLSID", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    const char16_t clsid[] = u"{12345678-1234-1234-1234-123456789ABC}";
    ASSERT_EQ(RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(clsid), sizeof clsid),
              ERROR_SUCCESS);
    RegCloseKey(key);
    Exhaust("CLSIDFromProgID", [] {
        CLSID found{};
        HRESULT hr = CLSIDFromProgID(u"Tonwell.Oom", &found);
        return hr == S_OK ? Result::Succeeded : hr == E_OUTOFMEMORY ? Result::OutOfMemory : Result::Other;
    });
}

} // namespace
