#include <windows.h>
#include <tonwell_posix_modules.h>

#include "ascii_text.h"
#include "machine_root.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

using ModuleTest = tonwell::test::MachineRootFixture;

const char kPlugins[] = TONWELL_TEST_PLUGINS;

std::string Backslashed(std::string path)
{
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

using tonwell::test::Wide;

template <typename T>
T Proc(HMODULE module, const char* name)
{
    return reinterpret_cast<T>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

std::string FileName(HMODULE module)
{
    char buf[4096];
    DWORD n = GetModuleFileNameA(module, buf, sizeof buf);
    return std::string(buf, n);
}

bool IsLoaded(const char16_t* name) { return GetModuleHandleW(name) != nullptr; }

TEST_F(ModuleTest, LoadsByNameAndCountsReferences)
{
    EXPECT_FALSE(IsLoaded(u"tonwelltestmod.dll"));
    HMODULE h = LoadLibraryW(u"tonwelltestmod.dll");
    ASSERT_NE(h, nullptr) << TonwellLastLoadError();
    EXPECT_STREQ(TonwellLastLoadError(), "");
    EXPECT_EQ(GetModuleHandleW(u"TONWELLTESTMOD.DLL"), h);
    EXPECT_EQ(GetModuleHandleA("tonwelltestmod"), h) << "the extension .dll is implied";
    EXPECT_EQ(LoadLibraryA("tonwelltestmod"), h);

    auto add = Proc<int (*)(int, int)>(h, "TestModAdd");
    ASSERT_NE(add, nullptr);
    EXPECT_EQ(add(2, 3), 5);
    auto marker = Proc<const char*>(h, "TestModMarker");
    ASSERT_NE(marker, nullptr);
    EXPECT_STREQ(marker, "tonwelltestmod");

    // Two loads, two releases: loaded until the second.
    EXPECT_TRUE(FreeLibrary(h));
    EXPECT_TRUE(IsLoaded(u"tonwelltestmod.dll"));
    EXPECT_TRUE(FreeLibrary(h));
    EXPECT_FALSE(IsLoaded(u"tonwelltestmod.dll"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(GetModuleFileNameA(h, nullptr, 0), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
}

TEST_F(ModuleTest, ModuleFindsItselfThroughKernel32AtLoad)
{
    HMODULE h = LoadLibraryW(u"tonwelltestmod.dll");
    ASSERT_NE(h, nullptr) << TonwellLastLoadError();
    auto selfAtLoad = Proc<HMODULE (*)()>(h, "TestModSelfAtLoad");
    ASSERT_NE(selfAtLoad, nullptr);
    EXPECT_EQ(selfAtLoad(), h);
    EXPECT_TRUE(FreeLibrary(h));
    EXPECT_FALSE(IsLoaded(u"tonwelltestmod.dll"));
}

TEST_F(ModuleTest, LoadsByFullPathWithEitherSeparator)
{
    std::string path = std::string(kPlugins) + "/tonwelltestplug.dll";
    HMODULE h = LoadLibraryW(Wide(Backslashed(path)).c_str());
    ASSERT_NE(h, nullptr) << TonwellLastLoadError();
    EXPECT_EQ(LoadLibraryA(("C:" + Backslashed(path)).c_str()), h) << "a drive prefix is dropped";
    EXPECT_EQ(LoadLibraryExW(Wide(path).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH), h);
    EXPECT_EQ(GetModuleHandleA(Backslashed(path).c_str()), h);
    EXPECT_EQ(FileName(h), fs::canonical(std::string(kPlugins) + "/tonwelltestplug.so").string());
    auto name = Proc<const char* (*)()>(h, "PlugName");
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name(), "plug");
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(FreeLibrary(h));
    EXPECT_EQ(GetModuleHandleA(path.c_str()), nullptr);
}

TEST_F(ModuleTest, CallersFolderIsSearchedFirst)
{
    // The sibling lies in no folder of the usual search.
    SetLastError(0);
    EXPECT_EQ(LoadLibraryW(u"tonwelltestsib.dll"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
    EXPECT_STRNE(TonwellLastLoadError(), "");

    HMODULE plug = LoadLibraryA((std::string(kPlugins) + "/tonwelltestplug.dll").c_str());
    ASSERT_NE(plug, nullptr) << TonwellLastLoadError();
    auto load = Proc<HMODULE (*)(LPCWSTR)>(plug, "PlugLoad");
    ASSERT_NE(load, nullptr);
    HMODULE sib = load(u"tonwelltestsib.dll");
    ASSERT_NE(sib, nullptr) << TonwellLastLoadError();
    auto name = Proc<const char* (*)()>(sib, "PlugName");
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name(), "sib");

    // Once loaded, the name finds it from anywhere.
    EXPECT_EQ(LoadLibraryW(u"tonwelltestsib.dll"), sib);
    EXPECT_TRUE(FreeLibrary(sib));
    EXPECT_TRUE(FreeLibrary(sib));
    EXPECT_TRUE(FreeLibrary(plug));
    EXPECT_FALSE(IsLoaded(u"tonwelltestsib.dll"));
    EXPECT_FALSE(IsLoaded(u"tonwelltestplug.dll"));
}

TEST_F(ModuleTest, GetProcAddressFindsOnlyTheModulesOwnExports)
{
    HMODULE h = LoadLibraryW(u"tonwelltestmod.dll");
    ASSERT_NE(h, nullptr);
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(h, "NoSuchExport"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(h, reinterpret_cast<LPCSTR>(1)), nullptr) << "no ordinals";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(h, "strlen"), nullptr) << "a dependency's export is not the module's";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(h, "FindSelfAtLoad"), nullptr) << "hidden symbols are not exported";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));
    EXPECT_EQ(GetProcAddress(nullptr, "TestModAdd"), nullptr) << "null is the program, not the module";
    EXPECT_TRUE(FreeLibrary(h));

    SetLastError(0);
    EXPECT_EQ(GetProcAddress(h, "TestModAdd"), nullptr) << "unloaded";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
}

TEST_F(ModuleTest, ModuleFileNameTruncatesAsThePlatformDoes)
{
    HMODULE h = LoadLibraryW(u"tonwelltestmod.dll");
    ASSERT_NE(h, nullptr);
    std::string full = FileName(h);
    ASSERT_FALSE(full.empty());
    EXPECT_EQ(full.front(), '/');
    EXPECT_EQ(fs::path(full).filename(), "tonwelltestmod.so");
    EXPECT_TRUE(fs::exists(full));
    const DWORD len = DWORD(full.size());

    std::vector<char> buf(len + 8, 'x');
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameA(h, buf.data(), len + 1), len) << "exact fit";
    EXPECT_EQ(std::string(buf.data()), full);
    EXPECT_EQ(GetLastError(), 0u);

    std::fill(buf.begin(), buf.end(), 'x');
    EXPECT_EQ(GetModuleFileNameA(h, buf.data(), len), len) << "one short: truncated, returns the size";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::string(buf.data()), full.substr(0, len - 1));
    EXPECT_EQ(buf[len], 'x') << "nothing written past the buffer";

    EXPECT_EQ(GetModuleFileNameA(h, buf.data(), 0), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));

    std::vector<WCHAR> wbuf(len + 8, u'x');
    EXPECT_EQ(GetModuleFileNameW(h, wbuf.data(), len + 1), len);
    EXPECT_EQ(std::u16string(wbuf.data()), Wide(full));
    EXPECT_EQ(GetModuleFileNameW(h, wbuf.data(), 5), 5u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::u16string(wbuf.data()), Wide(full.substr(0, 4)));

    // Null is the program itself.
    EXPECT_EQ(FileName(nullptr), fs::read_symlink("/proc/self/exe").string());
    EXPECT_EQ(FileName(GetModuleHandleW(nullptr)), FileName(nullptr));
    EXPECT_TRUE(FreeLibrary(h));

    int local = 0;
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameA(reinterpret_cast<HMODULE>(&local), buf.data(), DWORD(buf.size())), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
}

TEST_F(ModuleTest, HandleFromAddressKeepsTheModuleLoaded)
{
    // A fresh load, and the module's function that asks GetModuleHandleEx which module it is in.
    HMODULE h = nullptr;
    HMODULE (*self)(DWORD) = nullptr;
    auto load = [&] {
        h = LoadLibraryW(u"tonwelltestmod.dll");
        self = h ? Proc<HMODULE (*)(DWORD)>(h, "TestModSelf") : nullptr;
        return self != nullptr;
    };
    ASSERT_TRUE(load());

    // Counted: the module outlives the library's own release.
    EXPECT_EQ(self(0), h);
    EXPECT_TRUE(FreeLibrary(h));
    ASSERT_TRUE(IsLoaded(u"tonwelltestmod.dll"));
    EXPECT_EQ(self(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT), h);
    EXPECT_TRUE(FreeLibrary(h));
    EXPECT_FALSE(IsLoaded(u"tonwelltestmod.dll"));

    // Uncounted: gone with the library's release.
    ASSERT_TRUE(load());
    EXPECT_EQ(self(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT), h);
    EXPECT_TRUE(FreeLibrary(h));
    EXPECT_FALSE(IsLoaded(u"tonwelltestmod.dll"));

    // Pinned: loaded for good, and extra releases are harmless.
    ASSERT_TRUE(load());
    EXPECT_EQ(self(GET_MODULE_HANDLE_EX_FLAG_PIN), h);
    EXPECT_TRUE(FreeLibrary(h));
    EXPECT_TRUE(FreeLibrary(h));
    EXPECT_TRUE(IsLoaded(u"tonwelltestmod.dll"));
    EXPECT_EQ(self(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT), h);
}

TEST_F(ModuleTest, HandleExChecksItsArguments)
{
    static const int kInProgram = 1;
    HMODULE m = reinterpret_cast<HMODULE>(1);
    EXPECT_TRUE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                   reinterpret_cast<LPCSTR>(&kInProgram), &m));
    EXPECT_EQ(m, GetModuleHandleW(nullptr));
    EXPECT_TRUE(GetModuleHandleExW(0, nullptr, &m));
    EXPECT_EQ(m, GetModuleHandleW(nullptr));
    EXPECT_TRUE(FreeLibrary(m));

    EXPECT_TRUE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                   reinterpret_cast<LPCSTR>(&GetModuleHandleExA), &m));
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    EXPECT_NE(kernel, nullptr);
    EXPECT_EQ(m, kernel);
    EXPECT_TRUE(FreeLibrary(m));

    auto fails = [](DWORD flags, LPCSTR name, HMODULE* out, DWORD error) {
        SetLastError(0);
        EXPECT_FALSE(GetModuleHandleExA(flags, name, out));
        EXPECT_EQ(GetLastError(), error) << "flags " << flags;
        if (out) {
            EXPECT_EQ(*out, nullptr);
        }
    };
    fails(8, nullptr, &m, ERROR_INVALID_PARAMETER);
    fails(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, nullptr, &m,
          ERROR_INVALID_PARAMETER);
    fails(0, nullptr, nullptr, ERROR_INVALID_PARAMETER);
    std::vector<char> heap(64);
    fails(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, heap.data(), &m, ERROR_MOD_NOT_FOUND);
    fails(0, "tonwellnotloaded.dll", &m, ERROR_MOD_NOT_FOUND);
}

TEST_F(ModuleTest, SystemLibrariesAreThePlatform)
{
    HMODULE kernel = LoadLibraryA("kernel32.dll");
    ASSERT_NE(kernel, nullptr) << TonwellLastLoadError();
    EXPECT_EQ(Proc<void*>(kernel, "GetModuleHandleExA"), reinterpret_cast<void*>(&GetModuleHandleExA));
    EXPECT_EQ(Proc<void*>(kernel, "SysAllocString"), reinterpret_cast<void*>(&SysAllocString));
    EXPECT_EQ(fs::path(FileName(kernel)).filename(), "libtonwellplatform.so");

    // As the tracing client finds it: the system directory, a backslash, the name.
    char dir[MAX_PATH];
    UINT n = GetSystemDirectoryA(dir, MAX_PATH);
    ASSERT_GT(n, 0u);
    ASSERT_LT(n, UINT(MAX_PATH));
    for (const char* name : {"\\kernel32.dll", "\\OLEAUT32.DLL", "/ole32.dll", "\\advapi32", "\\user32.dll"}) {
        HMODULE h = LoadLibraryA((std::string(dir) + name).c_str());
        EXPECT_EQ(h, kernel) << name;
        EXPECT_TRUE(FreeLibrary(h));
    }
    HMODULE h = LoadLibraryW(u"C:\\Windows\\System32\\oleaut32.dll");
    EXPECT_EQ(h, kernel);
    EXPECT_TRUE(FreeLibrary(h));
    EXPECT_EQ(GetModuleHandleW(u"OleAut32.dll"), kernel);

    SetLastError(0);
    EXPECT_EQ(LoadLibraryA("/no/such/folder/kernel32.dll"), nullptr) << "outside the system directory";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
    EXPECT_TRUE(FreeLibrary(kernel));
    EXPECT_TRUE(FreeLibrary(kernel)) << "the platform stays loaded with the program";
}

TEST_F(ModuleTest, LoadFailuresCarryThePlatformsCodes)
{
    auto fails = [](HMODULE h, DWORD error) {
        EXPECT_EQ(h, nullptr);
        EXPECT_EQ(GetLastError(), error);
        EXPECT_STRNE(TonwellLastLoadError(), "");
    };
    SetLastError(0);
    fails(LoadLibraryW(u"tonwellnosuchmodule.dll"), ERROR_MOD_NOT_FOUND);
    fails(LoadLibraryA((std::string(kPlugins) + "\\nosuch.dll").c_str()), ERROR_MOD_NOT_FOUND);
    fails(LoadLibraryA((std::string(kPlugins) + "/tonwelltestunresolved.dll").c_str()), ERROR_PROC_NOT_FOUND);
    fails(LoadLibraryW(nullptr), ERROR_INVALID_PARAMETER);
    fails(LoadLibraryExW(u"tonwelltestmod.dll", nullptr, 0x10000), ERROR_INVALID_PARAMETER);
    fails(LoadLibraryExW(u"tonwelltestmod.dll", reinterpret_cast<HANDLE>(1), 0), ERROR_INVALID_PARAMETER);

    fs::path junk = Root() / "junk.so";
    std::ofstream(junk) << "not an object file, just text\n";
    fails(LoadLibraryA(Backslashed((Root() / "junk.dll").string()).c_str()), ERROR_BAD_EXE_FORMAT);
    fails(LoadLibraryA((Root() / "junk.").string().c_str()), ERROR_MOD_NOT_FOUND);

    SetLastError(0);
    EXPECT_FALSE(FreeLibrary(reinterpret_cast<HMODULE>(const_cast<char*>(junk.c_str()))));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
}

TEST_F(ModuleTest, DataFileLoadGivesTheModule)
{
    HMODULE h = LoadLibraryW(u"tonwelltestmod.dll");
    ASSERT_NE(h, nullptr);
    HMODULE data = LoadLibraryExW(u"tonwelltestmod.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE);
    EXPECT_EQ(data, h);
    EXPECT_TRUE(FreeLibrary(data));
    EXPECT_TRUE(FreeLibrary(h));
    EXPECT_FALSE(IsLoaded(u"tonwelltestmod.dll"));
}

TEST_F(ModuleTest, DisableThreadLibraryCallsIsRecorded)
{
    HMODULE h = LoadLibraryW(u"tonwelltestmod.dll");
    ASSERT_NE(h, nullptr);
    EXPECT_FALSE(TonwellThreadLibraryCallsDisabled(h));
    EXPECT_TRUE(DisableThreadLibraryCalls(h));
    EXPECT_TRUE(TonwellThreadLibraryCallsDisabled(h));
    EXPECT_TRUE(FreeLibrary(h));
    EXPECT_FALSE(TonwellThreadLibraryCallsDisabled(h));

    int local = 0;
    SetLastError(0);
    EXPECT_FALSE(DisableThreadLibraryCalls(reinterpret_cast<HMODULE>(&local)));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
}

TEST_F(ModuleTest, SystemDirectoryIsInTheMachineRoot)
{
    fs::path expected = Root() / "system" / "system32";
    char buf[MAX_PATH];
    UINT n = GetSystemDirectoryA(buf, MAX_PATH);
    EXPECT_EQ(std::string(buf, n), expected.string());
    EXPECT_TRUE(fs::is_directory(expected));

    std::vector<char> small(n, 'x');
    EXPECT_EQ(GetSystemDirectoryA(small.data(), n), n + 1) << "needs the terminator too";
    EXPECT_EQ(small[0], 'x');
    EXPECT_EQ(GetSystemDirectoryA(nullptr, 0), n + 1);

    WCHAR wbuf[MAX_PATH];
    EXPECT_EQ(GetSystemDirectoryW(wbuf, MAX_PATH), n);
    EXPECT_EQ(std::u16string(wbuf), Wide(expected.string()));
    EXPECT_EQ(GetSystemDirectoryW(wbuf, n), n + 1);
}

TEST_F(ModuleTest, ConcurrentLoadsAndReleasesBalance)
{
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 100; ++i) {
                HMODULE h = LoadLibraryW(u"tonwelltestmod.dll");
                auto add = h ? Proc<int (*)(int, int)>(h, "TestModAdd") : nullptr;
                if (!add || add(i, 1) != i + 1 || !FreeLibrary(h))
                    ++failures;
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_FALSE(IsLoaded(u"tonwelltestmod.dll"));
}

} // namespace
