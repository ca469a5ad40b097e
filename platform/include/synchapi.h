/* Synchronisation: critical sections, named mutexes, waits, interlocked operations. */
#ifndef TONWELL_SYNCHAPI_H
#define TONWELL_SYNCHAPI_H

#include "windef.h"
#include "winerror.h"
#include "winnt.h"

#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_ABANDONED_0 WAIT_ABANDONED
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

#define MUTANT_QUERY_STATE 0x0001u
#define MUTANT_ALL_ACCESS 0x001F0001u
#define MUTEX_MODIFY_STATE MUTANT_QUERY_STATE
#define MUTEX_ALL_ACCESS MUTANT_ALL_ACCESS
#define CREATE_MUTEX_INITIAL_OWNER 0x00000001u

/* Critical sections. Storage that is all zero has not been initialised (or has
 * been deleted). LockCount is the lock word here, not the platform's count of
 * waiters; OwningThread holds the owner's thread id, RecursionCount its depth. */
typedef struct _RTL_CRITICAL_SECTION_DEBUG* PRTL_CRITICAL_SECTION_DEBUG;
typedef struct _RTL_CRITICAL_SECTION {
    PRTL_CRITICAL_SECTION_DEBUG DebugInfo;
    LONG LockCount;
    LONG RecursionCount;
    HANDLE OwningThread;
    HANDLE LockSemaphore;
    ULONG_PTR SpinCount;
} RTL_CRITICAL_SECTION, *PRTL_CRITICAL_SECTION;
typedef RTL_CRITICAL_SECTION CRITICAL_SECTION;
typedef PRTL_CRITICAL_SECTION PCRITICAL_SECTION;
typedef PRTL_CRITICAL_SECTION LPCRITICAL_SECTION;

#define CRITICAL_SECTION_NO_DEBUG_INFO 0x01000000u

WINBASEAPI void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
/* FALSE with ERROR_NOT_ENOUGH_MEMORY (the STATUS_NO_MEMORY condition) when the
 * lock's bookkeeping cannot be allocated; the storage is then left zero. */
WINBASEAPI BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection,
                                                             DWORD dwSpinCount);
WINBASEAPI BOOL WINAPI InitializeCriticalSectionEx(LPCRITICAL_SECTION lpCriticalSection, DWORD dwSpinCount,
                                                   DWORD Flags);
WINBASEAPI DWORD WINAPI SetCriticalSectionSpinCount(LPCRITICAL_SECTION lpCriticalSection, DWORD dwSpinCount);
/* Re-entrant: the owning thread may enter again and leaves once per entry. */
WINBASEAPI void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
WINBASEAPI BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
/* A thread that does not own the section leaves it untouched. */
WINBASEAPI void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
WINBASEAPI void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

/* Mutexes. A name may carry the "Global\" or "Local\" prefix (a bare name is
 * local); named mutexes are shared by every process of the machine root. When
 * the name is already open anywhere, the existing mutex is returned with
 * ERROR_ALREADY_EXISTS and bInitialOwner is ignored. A mutex whose owner
 * thread or process ended without releasing it is handed to the next waiter
 * with WAIT_ABANDONED. */
WINBASEAPI HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCWSTR lpName);
WINBASEAPI HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName);
/* ERROR_FILE_NOT_FOUND when no process has the name open. */
WINBASEAPI HANDLE WINAPI OpenMutexW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName);
WINBASEAPI HANDLE WINAPI OpenMutexA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
/* FALSE with ERROR_NOT_OWNER when the calling thread does not own it. */
WINBASEAPI BOOL WINAPI ReleaseMutex(HANDLE hMutex);

/* WAIT_OBJECT_0, WAIT_ABANDONED, WAIT_TIMEOUT or WAIT_FAILED. A file handle is
 * always signalled (its I/O is synchronous). */
WINBASEAPI DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);

WINBASEAPI void WINAPI Sleep(DWORD dwMilliseconds);

/* Interlocked operations: sequentially consistent, on naturally aligned data. */
#ifdef __cplusplus
#define TONWELL_INTERLOCKED inline
#else
#define TONWELL_INTERLOCKED static inline
#endif

TONWELL_INTERLOCKED LONG InterlockedIncrement(LONG volatile* Addend)
{
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
TONWELL_INTERLOCKED LONG InterlockedDecrement(LONG volatile* Addend)
{
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
TONWELL_INTERLOCKED LONG InterlockedExchange(LONG volatile* Target, LONG Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
TONWELL_INTERLOCKED LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value)
{
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
/* Returns the value found; Exchange was stored only if that equals Comparand. */
TONWELL_INTERLOCKED LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand)
{
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comparand;
}
TONWELL_INTERLOCKED LONG InterlockedOr(LONG volatile* Destination, LONG Value)
{
    return __atomic_fetch_or(Destination, Value, __ATOMIC_SEQ_CST);
}
TONWELL_INTERLOCKED LONG InterlockedAnd(LONG volatile* Destination, LONG Value)
{
    return __atomic_fetch_and(Destination, Value, __ATOMIC_SEQ_CST);
}
/* The 64-bit forms repeat the 32-bit ones: each width is its own named function,
 * and C callers include this header too, so no template can serve both. */
TONWELL_INTERLOCKED LONGLONG InterlockedIncrement64(LONGLONG volatile* Addend)
{
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
TONWELL_INTERLOCKED LONGLONG InterlockedDecrement64(LONGLONG volatile* Addend)
{
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
TONWELL_INTERLOCKED LONGLONG InterlockedExchange64(LONGLONG volatile* Target, LONGLONG Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
TONWELL_INTERLOCKED LONGLONG InterlockedExchangeAdd64(LONGLONG volatile* Addend, LONGLONG Value)
{
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
TONWELL_INTERLOCKED LONGLONG InterlockedCompareExchange64(LONGLONG volatile* Destination, LONGLONG Exchange,
                                                          LONGLONG Comparand)
{
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comparand;
}
TONWELL_INTERLOCKED PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
TONWELL_INTERLOCKED PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange,
                                                            PVOID Comparand)
{
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comparand;
}

#undef TONWELL_INTERLOCKED

#endif
