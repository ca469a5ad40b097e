// Process and thread identity, time and sleeping.
#include "thread_id.h"

#include <winbase.h>

#include <cerrno>
#include <ctime>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tonwell::platform::kernel {

namespace {

thread_local DWORD t_threadId = 0;

void ForgetThreadIdInChild() { t_threadId = 0; }

[[maybe_unused]] const int g_atforkRegistered = pthread_atfork(nullptr, nullptr, ForgetThreadIdInChild);

ULONGLONG MillisecondsSinceBoot()
{
    // Boot time keeps counting while the machine sleeps, as the platform's
    // tick count does; the monotonic clock is the fallback.
    timespec ts;
    if (clock_gettime(CLOCK_BOOTTIME, &ts) != 0)
        clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<ULONGLONG>(ts.tv_sec) * 1000u + static_cast<ULONGLONG>(ts.tv_nsec) / 1000000u;
}

// Now, broken down by `breakDown` (localtime_r or gmtime_r).
void FillSystemTime(tm* (*breakDown)(const time_t*, tm*), LPSYSTEMTIME out)
{
    if (!out)
        return;
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    tm t;
    breakDown(&ts.tv_sec, &t);
    out->wYear = static_cast<WORD>(t.tm_year + 1900);
    out->wMonth = static_cast<WORD>(t.tm_mon + 1);
    out->wDayOfWeek = static_cast<WORD>(t.tm_wday);
    out->wDay = static_cast<WORD>(t.tm_mday);
    out->wHour = static_cast<WORD>(t.tm_hour);
    out->wMinute = static_cast<WORD>(t.tm_min);
    // A leap second reads as the last second of its minute.
    out->wSecond = static_cast<WORD>(t.tm_sec > 59 ? 59 : t.tm_sec);
    out->wMilliseconds = static_cast<WORD>(ts.tv_nsec / 1000000L);
}

} // namespace

DWORD CurrentThreadId()
{
    if (t_threadId == 0)
        t_threadId = static_cast<DWORD>(syscall(SYS_gettid));
    return t_threadId;
}

} // namespace tonwell::platform::kernel

DWORD WINAPI GetCurrentProcessId(void) { return static_cast<DWORD>(getpid()); }

DWORD WINAPI GetCurrentThreadId(void) { return tonwell::platform::kernel::CurrentThreadId(); }

DWORD WINAPI GetTickCount(void) { return static_cast<DWORD>(tonwell::platform::kernel::MillisecondsSinceBoot()); }

ULONGLONG WINAPI GetTickCount64(void) { return tonwell::platform::kernel::MillisecondsSinceBoot(); }

void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime) { tonwell::platform::kernel::FillSystemTime(localtime_r, lpSystemTime); }

void WINAPI GetSystemTime(LPSYSTEMTIME lpSystemTime) { tonwell::platform::kernel::FillSystemTime(gmtime_r, lpSystemTime); }

void WINAPI GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime)
{
    if (!lpSystemTimeAsFileTime)
        return;
    constexpr ULONGLONG kUnixEpochIn1601Ticks = 116444736000000000ull;
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    ULONGLONG ticks = kUnixEpochIn1601Ticks + static_cast<ULONGLONG>(ts.tv_sec) * 10000000ull +
                      static_cast<ULONGLONG>(ts.tv_nsec) / 100u;
    lpSystemTimeAsFileTime->dwLowDateTime = static_cast<DWORD>(ticks);
    lpSystemTimeAsFileTime->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
}

void WINAPI Sleep(DWORD dwMilliseconds)
{
    if (dwMilliseconds == INFINITE) {
        for (;;)
            pause();
    }
    timespec rest{static_cast<time_t>(dwMilliseconds / 1000), static_cast<long>(dwMilliseconds % 1000) * 1000000L};
    if (dwMilliseconds == 0) {
        sched_yield();
        return;
    }
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}
