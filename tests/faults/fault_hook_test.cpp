// The fault hook itself: every kind fails its Nth call the way the real
// failure looks, the calls around it succeed, and the count is exact.
#include <windows.h>
#include <ktmw32.h>
#include <oleauto.h>
#include <tonwell_testhooks.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>

#include "machine_root.h"

namespace {

using tonwell::test::MachineRootFixture;

class FaultHook : public MachineRootFixture {
protected:
    void TearDown() override
    {
        TonwellFaultDisarm();
        MachineRootFixture::TearDown();
    }
    std::u16string Path(const char* name) const
    {
        const std::string s = (Root() / name).string();
        return std::u16string(s.begin(), s.end());
    }
};

TEST_F(FaultHook, HeapFailsOnlyTheNthCallAsOutOfMemory)
{
    HANDLE heap = GetProcessHeap();
    TonwellFaultArm(TONWELL_FAULT_HEAP | TONWELL_FAULT_THIS_THREAD, 2);
    void* first = HeapAlloc(heap, 0, 16);
    ASSERT_NE(first, nullptr);
    SetLastError(0);
    EXPECT_EQ(HeapAlloc(heap, HEAP_ZERO_MEMORY, 16), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_TRUE(TonwellFaultFired());
    // A failed reallocation leaves the old block with its contents.
    static_cast<char*>(first)[0] = 'x';
    TonwellFaultArm(TONWELL_FAULT_HEAP | TONWELL_FAULT_THIS_THREAD, 1);
    EXPECT_EQ(HeapReAlloc(heap, 0, first, 4096), nullptr);
    EXPECT_EQ(static_cast<char*>(first)[0], 'x');
    SetLastError(0);
    void* local = LocalAlloc(LMEM_FIXED, 8);
    EXPECT_NE(local, nullptr);
    LocalFree(local);
    EXPECT_EQ(TonwellFaultCount(), 2u);
    HeapFree(heap, 0, first);
}

TEST_F(FaultHook, CountingAloneFailsNothingAndDisarmStopsTheCount)
{
    TonwellFaultArm(TONWELL_FAULT_ALL | TONWELL_FAULT_THIS_THREAD, 0);
    for (int i = 0; i < 5; ++i) {
        void* p = CoTaskMemAlloc(8);
        ASSERT_NE(p, nullptr);
        CoTaskMemFree(p);
    }
    BSTR b = SysAllocString(u"abc");
    ASSERT_NE(b, nullptr);
    SysFreeString(b);
    EXPECT_EQ(TonwellFaultCount(), 6u);
    EXPECT_FALSE(TonwellFaultFired());
    TonwellFaultDisarm();
    CoTaskMemFree(CoTaskMemAlloc(8));
    EXPECT_EQ(TonwellFaultCount(), 6u);
    // Kinds not armed are not counted.
    TonwellFaultArm(TONWELL_FAULT_BSTR, 0);
    CoTaskMemFree(CoTaskMemAlloc(8));
    EXPECT_EQ(TonwellFaultCount(), 0u);
}

TEST_F(FaultHook, TaskMemoryAndStringsFailLikeTheirRealFailure)
{
    TonwellFaultArm(TONWELL_FAULT_TASK_MEMORY, 1);
    LPOLESTR text = reinterpret_cast<LPOLESTR>(1);
    EXPECT_EQ(StringFromCLSID(IID_IDispatch, &text), E_OUTOFMEMORY);
    EXPECT_EQ(text, nullptr);
    void* p = CoTaskMemAlloc(4);
    ASSERT_NE(p, nullptr);
    TonwellFaultArm(TONWELL_FAULT_TASK_MEMORY, 1);
    EXPECT_EQ(CoTaskMemRealloc(p, 4096), nullptr);
    CoTaskMemFree(p); // still ours

    BSTR b = SysAllocString(u"kept");
    TonwellFaultArm(TONWELL_FAULT_BSTR, 1);
    EXPECT_EQ(SysReAllocString(&b, u"replacement"), FALSE);
    EXPECT_EQ(std::u16string(b), u"kept");
    TonwellFaultArm(TONWELL_FAULT_BSTR, 2);
    BSTR second = SysAllocStringLen(u"ab", 2);
    EXPECT_NE(second, nullptr);
    EXPECT_EQ(SysAllocStringByteLen("ab", 2), nullptr);
    SysFreeString(second);
    SysFreeString(b);
}

TEST_F(FaultHook, ARegistryWriteFailsWholeAndReadsDoNotCount)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\FaultHook", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    const DWORD one = 1;
    TonwellFaultArm(TONWELL_FAULT_REGISTRY_WRITE, 1);
    DWORD type = 0, value = 0, cb = sizeof value;
    EXPECT_EQ(RegQueryValueExW(key, u"V", nullptr, &type, reinterpret_cast<BYTE*>(&value), &cb),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(TonwellFaultCount(), 0u);
    EXPECT_EQ(RegSetValueExW(key, u"V", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4), ERROR_DISK_FULL);
    cb = sizeof value;
    EXPECT_EQ(RegQueryValueExW(key, u"V", nullptr, &type, reinterpret_cast<BYTE*>(&value), &cb),
              ERROR_FILE_NOT_FOUND);
    // Creating a key is a write; opening one that exists changes nothing and is not.
    TonwellFaultArm(TONWELL_FAULT_REGISTRY_WRITE, 1);
    HKEY sub = nullptr;
    EXPECT_EQ(RegCreateKeyExW(key, u"Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr), ERROR_DISK_FULL);
    EXPECT_EQ(RegOpenKeyExW(key, u"Sub", 0, KEY_READ, &sub), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCreateKeyExW(key, u"Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr), ERROR_SUCCESS);
    RegCloseKey(sub);
    TonwellFaultArm(TONWELL_FAULT_REGISTRY_WRITE, 1);
    EXPECT_EQ(RegCreateKeyExW(key, u"Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr), ERROR_SUCCESS);
    RegCloseKey(sub);
    EXPECT_EQ(TonwellFaultCount(), 0u);
    EXPECT_EQ(RegDeleteKeyW(key, u"Sub"), ERROR_DISK_FULL);
    EXPECT_EQ(RegOpenKeyExW(key, u"Sub", 0, KEY_READ, &sub), ERROR_SUCCESS);
    RegCloseKey(sub);
    RegCloseKey(key);
}

// A registry transaction is one write, at its commit: the operations inside it do
// not count, and a failed commit keeps none of them. A transaction that changed
// nothing commits without counting.
TEST_F(FaultHook, ATransactionFailsWholeAtItsCommit)
{
    HKEY parent = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\FaultHook", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &parent, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(parent);
    HANDLE tx = CreateTransaction(nullptr, nullptr, 0, 0, 0, 0, nullptr);
    ASSERT_NE(tx, INVALID_HANDLE_VALUE);
    TonwellFaultArm(TONWELL_FAULT_REGISTRY_WRITE, 1);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyTransactedW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\FaultHook\\Tx", 0, nullptr, 0,
                                      KEY_ALL_ACCESS, nullptr, &key, nullptr, tx, nullptr),
              ERROR_SUCCESS);
    const DWORD one = 1;
    EXPECT_EQ(RegSetValueExW(key, u"V", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(TonwellFaultCount(), 0u);
    SetLastError(0);
    EXPECT_FALSE(CommitTransaction(tx));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_EQ(TonwellFaultCount(), 1u);
    CloseHandle(tx);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\FaultHook\\Tx", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);

    tx = CreateTransaction(nullptr, nullptr, 0, 0, 0, 0, nullptr);
    ASSERT_NE(tx, INVALID_HANDLE_VALUE);
    TonwellFaultArm(TONWELL_FAULT_REGISTRY_WRITE, 1);
    EXPECT_EQ(RegOpenKeyTransactedW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, &key, tx, nullptr), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_TRUE(CommitTransaction(tx));
    EXPECT_EQ(TonwellFaultCount(), 0u);
    CloseHandle(tx);
}

TEST_F(FaultHook, FileWritesFailAsADiskThatIsFull)
{
    const std::u16string path = Path("out.txt");
    TonwellFaultArm(TONWELL_FAULT_FILE_WRITE, 1);
    SetLastError(0);
    EXPECT_EQ(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_FALSE(std::filesystem::exists(Root() / "out.txt"));

    TonwellFaultArm(TONWELL_FAULT_FILE_WRITE, 2);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 7;
    EXPECT_FALSE(WriteFile(file, "abc", 3, &written, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_EQ(written, 0u);
    EXPECT_TRUE(WriteFile(file, "abc", 3, &written, nullptr));
    CloseHandle(file);
    EXPECT_EQ(std::filesystem::file_size(Root() / "out.txt"), 3u);
    // Opening for reading is no write.
    HANDLE reader = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(reader, INVALID_HANDLE_VALUE);
    CloseHandle(reader);
    EXPECT_EQ(TonwellFaultCount(), 3u);
}

TEST_F(FaultHook, LocksFailToBeMadeAsOutOfMemory)
{
    CRITICAL_SECTION cs;
    TonwellFaultArm(TONWELL_FAULT_CRITICAL_SECTION, 1);
    SetLastError(0);
    EXPECT_FALSE(InitializeCriticalSectionAndSpinCount(&cs, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(cs.DebugInfo, nullptr);
    EXPECT_TRUE(InitializeCriticalSectionEx(&cs, 0, 0));
    DeleteCriticalSection(&cs);
    // InitializeCriticalSection cannot fail: the section still works.
    TonwellFaultArm(TONWELL_FAULT_CRITICAL_SECTION, 1);
    InitializeCriticalSection(&cs);
    EXPECT_TRUE(TonwellFaultFired());
    EnterCriticalSection(&cs);
    LeaveCriticalSection(&cs);
    DeleteCriticalSection(&cs);

    TonwellFaultArm(TONWELL_FAULT_MUTEX, 1);
    SetLastError(0);
    EXPECT_EQ(CreateMutexW(nullptr, FALSE, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
    EXPECT_NE(mutex, nullptr);
    CloseHandle(mutex);
}

TEST_F(FaultHook, OtherThreadsCountUnlessTheArmingThreadIsChosen)
{
    TonwellFaultArm(TONWELL_FAULT_TASK_MEMORY | TONWELL_FAULT_THIS_THREAD, 1);
    void* elsewhere = nullptr;
    std::thread([&] { elsewhere = CoTaskMemAlloc(8); }).join();
    EXPECT_NE(elsewhere, nullptr);
    CoTaskMemFree(elsewhere);
    EXPECT_EQ(TonwellFaultCount(), 0u);
    EXPECT_EQ(CoTaskMemAlloc(8), nullptr);

    // Any thread: two threads share the count, and exactly one call fails.
    TonwellFaultArm(TONWELL_FAULT_TASK_MEMORY, 50);
    std::atomic<int> failures{0};
    auto work = [&] {
        for (int i = 0; i < 40; ++i) {
            void* p = CoTaskMemAlloc(8);
            if (!p)
                ++failures;
            CoTaskMemFree(p);
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(TonwellFaultCount(), 80u);
    EXPECT_EQ(failures.load(), 1);
}

} // namespace
