// Critical sections, interlocked operations, thread and process identity, time.
#include <tonwell_testhooks.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

bool AllZero(const CRITICAL_SECTION& cs)
{
    CRITICAL_SECTION zero;
    std::memset(&zero, 0, sizeof zero);
    return std::memcmp(&cs, &zero, sizeof cs) == 0;
}

TEST(CriticalSection, IsReentrantForItsOwnerOnly)
{
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EXPECT_NE(cs.DebugInfo, nullptr);

    EnterCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EXPECT_TRUE(TryEnterCriticalSection(&cs));
    EXPECT_EQ(cs.RecursionCount, 3);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(cs.OwningThread), GetCurrentThreadId());

    std::thread([&] {
        EXPECT_FALSE(TryEnterCriticalSection(&cs));
        LeaveCriticalSection(&cs); // not the owner: no effect
    }).join();
    EXPECT_EQ(cs.RecursionCount, 3);

    LeaveCriticalSection(&cs);
    LeaveCriticalSection(&cs);
    std::thread([&] { EXPECT_FALSE(TryEnterCriticalSection(&cs)); }).join();
    LeaveCriticalSection(&cs);
    std::thread([&] {
        EXPECT_TRUE(TryEnterCriticalSection(&cs));
        LeaveCriticalSection(&cs);
    }).join();

    DeleteCriticalSection(&cs);
    EXPECT_TRUE(AllZero(cs));
}

TEST(CriticalSection, ExcludesContendingThreads)
{
    CRITICAL_SECTION cs;
    ASSERT_TRUE(InitializeCriticalSectionAndSpinCount(&cs, 10));
    EXPECT_EQ(cs.SpinCount, 10u);
    EXPECT_EQ(SetCriticalSectionSpinCount(&cs, 0), 10u);
    constexpr int kThreads = 4, kRounds = 50000;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                EnterCriticalSection(&cs);
                EnterCriticalSection(&cs);
                ++counter;
                LeaveCriticalSection(&cs);
                LeaveCriticalSection(&cs);
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, long{kThreads} * kRounds);
    EXPECT_EQ(cs.LockCount, 0);
    EXPECT_EQ(cs.OwningThread, nullptr);
    DeleteCriticalSection(&cs);
}

TEST(CriticalSection, InjectedAllocationFailureReportsOutOfMemory)
{
    CRITICAL_SECTION first, second, third;
    std::memset(&first, 0xAB, sizeof first);
    TonwellFailNextCriticalSectionInit(2);
    SetLastError(0);
    EXPECT_FALSE(InitializeCriticalSectionAndSpinCount(&first, 10));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_TRUE(AllZero(first)); // recognisably not created
    EXPECT_FALSE(InitializeCriticalSectionEx(&second, 10, 0));
    EXPECT_TRUE(AllZero(second));

    EXPECT_TRUE(InitializeCriticalSectionAndSpinCount(&third, 10)); // the injection is used up
    EXPECT_FALSE(AllZero(third));
    DeleteCriticalSection(&third);

    TonwellFailNextCriticalSectionInit(5);
    TonwellFailNextCriticalSectionInit(0); // cancelled
    EXPECT_TRUE(InitializeCriticalSectionAndSpinCount(&third, 0));
    DeleteCriticalSection(&third);

    DeleteCriticalSection(&first); // deleting a never-created section is harmless
    EXPECT_TRUE(AllZero(first));
}

TEST(Interlocked, ReturnValuesFollowThePlatform)
{
    LONG volatile value = 5;
    EXPECT_EQ(InterlockedIncrement(&value), 6);
    EXPECT_EQ(InterlockedDecrement(&value), 5);
    EXPECT_EQ(InterlockedExchange(&value, 9), 5);
    EXPECT_EQ(InterlockedExchangeAdd(&value, -4), 9);
    EXPECT_EQ(value, 5);
    EXPECT_EQ(InterlockedCompareExchange(&value, 7, 4), 5); // no match: unchanged
    EXPECT_EQ(value, 5);
    EXPECT_EQ(InterlockedCompareExchange(&value, 7, 5), 5);
    EXPECT_EQ(value, 7);
    value = 0x7FFFFFFF;
    EXPECT_EQ(InterlockedIncrement(&value), static_cast<LONG>(0x80000000u)); // wraps as 32-bit

    LONGLONG volatile wide = 1LL << 40;
    EXPECT_EQ(InterlockedIncrement64(&wide), (1LL << 40) + 1);
    EXPECT_EQ(InterlockedCompareExchange64(&wide, 3, (1LL << 40) + 1), (1LL << 40) + 1);
    EXPECT_EQ(wide, 3);

    int a = 0, b = 0;
    PVOID volatile p = &a;
    EXPECT_EQ(InterlockedExchangePointer(&p, &b), &a);
    EXPECT_EQ(InterlockedCompareExchangePointer(&p, nullptr, &a), &b);
    EXPECT_EQ(p, &b);
    EXPECT_EQ(InterlockedCompareExchangePointer(&p, nullptr, &b), &b);
    EXPECT_EQ(p, nullptr);
}

TEST(Interlocked, CountsFromManyThreadsAddUp)
{
    LONG volatile counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 100000; ++i) {
                InterlockedIncrement(&counter);
                InterlockedExchangeAdd(&counter, 2);
                InterlockedDecrement(&counter);
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, 4 * 100000 * 2);
}

TEST(Identity, ThreadAndProcessIds)
{
    EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(getpid()));
    DWORD main = GetCurrentThreadId();
    EXPECT_EQ(main, static_cast<DWORD>(syscall(SYS_gettid)));
    DWORD other = 0;
    std::thread([&] { other = GetCurrentThreadId(); }).join();
    EXPECT_NE(other, 0u);
    EXPECT_NE(other, main);

    pid_t child = fork();
    if (child == 0) {
        // A fork child's only thread is a new thread with the child's id.
        bool ok = GetCurrentThreadId() == static_cast<DWORD>(getpid()) && GetCurrentProcessId() == static_cast<DWORD>(getpid());
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(Time, TickCountAdvancesWithSleep)
{
    ULONGLONG start64 = GetTickCount64();
    DWORD start = GetTickCount();
    EXPECT_LE(static_cast<DWORD>(start - static_cast<DWORD>(start64)), 5u); // the low 32 bits of one clock
    Sleep(60);
    ULONGLONG elapsed = GetTickCount64() - start64;
    EXPECT_GE(elapsed, 59u);
    EXPECT_LT(elapsed, 5000u);
    EXPECT_GE(static_cast<DWORD>(GetTickCount() - start), 59u);
}

TEST(Time, LocalAndSystemTimeMatchTheCalendar)
{
    time_t before = time(nullptr);
    SYSTEMTIME local{}, utc{};
    GetLocalTime(&local);
    GetSystemTime(&utc);
    time_t after = time(nullptr);
    ASSERT_EQ(before, after) << "second boundary crossed; rerun";
    tm l{}, u{};
    localtime_r(&before, &l);
    gmtime_r(&before, &u);
    EXPECT_EQ(local.wYear, l.tm_year + 1900);
    EXPECT_EQ(local.wMonth, l.tm_mon + 1);
    EXPECT_EQ(local.wDay, l.tm_mday);
    EXPECT_EQ(local.wDayOfWeek, l.tm_wday);
    EXPECT_EQ(local.wHour, l.tm_hour);
    EXPECT_EQ(local.wMinute, l.tm_min);
    EXPECT_EQ(local.wSecond, l.tm_sec);
    EXPECT_LT(local.wMilliseconds, 1000);
    EXPECT_EQ(utc.wHour, u.tm_hour);
    EXPECT_EQ(utc.wDayOfWeek, u.tm_wday);

    FILETIME ft{};
    GetSystemTimeAsFileTime(&ft);
    ULONGLONG ticks = (ULONGLONG{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
    ULONGLONG seconds = ticks / 10000000ull - 11644473600ull; // 1601 to 1970
    EXPECT_LE(seconds - static_cast<ULONGLONG>(before), 1u);
}

} // namespace
