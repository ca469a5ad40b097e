// Critical sections: a futex lock word in LockCount (0 free, 1 held, 2 held
// with waiters), the owner's thread id in OwningThread and its depth in
// RecursionCount. DebugInfo points at the section's bookkeeping block; it is
// what initialisation allocates, and null means "not initialised".
#include "fault.h"
#include "thread_id.h"

#include <tonwell_testhooks.h>
#include <winbase.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <linux/futex.h>
#include <new>
#include <sys/syscall.h>
#include <unistd.h>

struct _RTL_CRITICAL_SECTION_DEBUG {
    PRTL_CRITICAL_SECTION CriticalSection;
    DWORD EntryCount;
    DWORD ContentionCount; // entries that had to wait
};

namespace {

// When the bookkeeping block cannot be allocated, InitializeCriticalSection
// (which cannot fail) marks the section as initialised with this instead.
_RTL_CRITICAL_SECTION_DEBUG g_noDebugInfo{};

HANDLE OwnerValue(DWORD threadId) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(threadId)); }

HANDLE LoadOwner(LPCRITICAL_SECTION cs) { return __atomic_load_n(&cs->OwningThread, __ATOMIC_RELAXED); }

void StoreOwner(LPCRITICAL_SECTION cs, HANDLE owner) { __atomic_store_n(&cs->OwningThread, owner, __ATOMIC_RELAXED); }

void FutexWait(LONG* word, LONG expected)
{
    syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void FutexWakeOne(LONG* word) { syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0); }

bool TryLockWord(LPCRITICAL_SECTION cs)
{
    LONG expected = 0;
    return __atomic_compare_exchange_n(&cs->LockCount, &expected, 1, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED);
}

void CpuRelax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

void LockWord(LPCRITICAL_SECTION cs)
{
    ULONG_PTR spins = __atomic_load_n(&cs->SpinCount, __ATOMIC_RELAXED);
    for (ULONG_PTR i = 0; i < spins; ++i) {
        if (__atomic_load_n(&cs->LockCount, __ATOMIC_RELAXED) == 0 && TryLockWord(cs))
            return;
        CpuRelax();
    }
    if (TryLockWord(cs))
        return;
    PRTL_CRITICAL_SECTION_DEBUG debug = cs->DebugInfo;
    if (debug && debug != &g_noDebugInfo)
        __atomic_add_fetch(&debug->ContentionCount, 1, __ATOMIC_RELAXED);
    // Mark the lock contended, then sleep until the holder's release wakes us.
    while (__atomic_exchange_n(&cs->LockCount, 2, __ATOMIC_ACQUIRE) != 0)
        FutexWait(&cs->LockCount, 2);
}

void Entered(LPCRITICAL_SECTION cs, DWORD self)
{
    StoreOwner(cs, OwnerValue(self));
    cs->RecursionCount = 1;
    PRTL_CRITICAL_SECTION_DEBUG debug = cs->DebugInfo;
    if (debug && debug != &g_noDebugInfo)
        ++debug->EntryCount;
}

// Spin counts keep only their low 24 bits; the flags above them mean nothing here.
ULONG_PTR SpinCountOf(DWORD spinCount) { return spinCount & 0x00FFFFFFu; }

BOOL Initialise(LPCRITICAL_SECTION cs, DWORD spinCount, bool mayFail)
{
    std::memset(cs, 0, sizeof *cs);
    if (mayFail && tonwell::platform::ConsumeCriticalSectionFailure()) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    auto* debug = tonwell::platform::InjectFault(TONWELL_FAULT_CRITICAL_SECTION)
                      ? nullptr
                      : new (std::nothrow) _RTL_CRITICAL_SECTION_DEBUG{cs, 0, 0};
    if (!debug) {
        if (mayFail) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return FALSE;
        }
        debug = &g_noDebugInfo;
    }
    cs->DebugInfo = debug;
    cs->SpinCount = SpinCountOf(spinCount);
    return TRUE;
}

} // namespace

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    Initialise(lpCriticalSection, 0, false);
}

BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection, DWORD dwSpinCount)
{
    return Initialise(lpCriticalSection, dwSpinCount, true);
}

BOOL WINAPI InitializeCriticalSectionEx(LPCRITICAL_SECTION lpCriticalSection, DWORD dwSpinCount, DWORD)
{
    return Initialise(lpCriticalSection, dwSpinCount, true);
}

DWORD WINAPI SetCriticalSectionSpinCount(LPCRITICAL_SECTION lpCriticalSection, DWORD dwSpinCount)
{
    ULONG_PTR previous = __atomic_exchange_n(&lpCriticalSection->SpinCount, SpinCountOf(dwSpinCount), __ATOMIC_RELAXED);
    return static_cast<DWORD>(previous);
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    DWORD self = tonwell::platform::kernel::CurrentThreadId();
    if (LoadOwner(lpCriticalSection) == OwnerValue(self)) {
        ++lpCriticalSection->RecursionCount;
        return;
    }
    LockWord(lpCriticalSection);
    Entered(lpCriticalSection, self);
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    DWORD self = tonwell::platform::kernel::CurrentThreadId();
    if (LoadOwner(lpCriticalSection) == OwnerValue(self)) {
        ++lpCriticalSection->RecursionCount;
        return TRUE;
    }
    if (!TryLockWord(lpCriticalSection))
        return FALSE;
    Entered(lpCriticalSection, self);
    return TRUE;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    DWORD self = tonwell::platform::kernel::CurrentThreadId();
    if (LoadOwner(lpCriticalSection) != OwnerValue(self) || lpCriticalSection->RecursionCount <= 0)
        return; // not the owner's to leave: releasing it would break the owner's hold
    if (--lpCriticalSection->RecursionCount > 0)
        return;
    StoreOwner(lpCriticalSection, nullptr);
    if (__atomic_exchange_n(&lpCriticalSection->LockCount, 0, __ATOMIC_RELEASE) == 2)
        FutexWakeOne(&lpCriticalSection->LockCount);
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    if (!lpCriticalSection)
        return;
    PRTL_CRITICAL_SECTION_DEBUG debug = lpCriticalSection->DebugInfo;
    if (debug && debug != &g_noDebugInfo)
        delete debug;
    std::memset(lpCriticalSection, 0, sizeof *lpCriticalSection);
}

