/* Fault injection for tests only; never called by the system itself, and not
 * installed. The hook makes chosen platform calls fail the way they fail when
 * memory, disk or the store runs out, so that a test can fail every call an
 * operation makes in turn.
 *
 * Each injected failure is reported exactly as the real one:
 *   TONWELL_FAULT_HEAP            HeapAlloc, HeapReAlloc, LocalAlloc: NULL,
 *                                 GetLastError() == ERROR_NOT_ENOUGH_MEMORY
 *                                 (HeapReAlloc leaves the old block valid)
 *   TONWELL_FAULT_TASK_MEMORY     CoTaskMemAlloc, CoTaskMemRealloc of a non-zero
 *                                 size: NULL (the old block stays valid), and so
 *                                 their callers' E_OUTOFMEMORY
 *   TONWELL_FAULT_BSTR            every BSTR allocation (SysAllocString,
 *                                 SysAllocStringLen, SysAllocStringByteLen,
 *                                 SysReAllocString, SysReAllocStringLen): NULL or
 *                                 FALSE, the old string kept
 *   TONWELL_FAULT_REGISTRY_WRITE  a registry operation whose transaction changed
 *                                 the store (create, set, delete of keys and
 *                                 values): nothing of it is kept and it returns
 *                                 ERROR_DISK_FULL, as when the store's commit
 *                                 finds the disk full; likewise CommitTransaction
 *                                 of a transaction that changed the store: FALSE,
 *                                 ERROR_DISK_FULL, nothing of it kept (the
 *                                 operations inside it are not counted)
 *   TONWELL_FAULT_FILE_WRITE      WriteFile: FALSE, nothing written,
 *                                 ERROR_DISK_FULL; CreateFile with write or
 *                                 append access: INVALID_HANDLE_VALUE,
 *                                 ERROR_DISK_FULL, no file made
 *   TONWELL_FAULT_CRITICAL_SECTION InitializeCriticalSectionAndSpinCount and
 *                                 InitializeCriticalSectionEx: FALSE, storage
 *                                 zero, ERROR_NOT_ENOUGH_MEMORY;
 *                                 InitializeCriticalSection (which cannot fail)
 *                                 gets a section without bookkeeping
 *   TONWELL_FAULT_MUTEX           CreateMutexW/A: NULL, ERROR_NOT_ENOUGH_MEMORY
 *
 * Thread-safe. Disarmed, each hooked call pays one relaxed atomic load. */
#ifndef TONWELL_TESTHOOKS_H
#define TONWELL_TESTHOOKS_H

#include "windef.h"

typedef enum TONWELL_FAULT_KIND {
    TONWELL_FAULT_HEAP = 0x1,
    TONWELL_FAULT_TASK_MEMORY = 0x2,
    TONWELL_FAULT_BSTR = 0x4,
    TONWELL_FAULT_REGISTRY_WRITE = 0x8,
    TONWELL_FAULT_FILE_WRITE = 0x10,
    TONWELL_FAULT_CRITICAL_SECTION = 0x20,
    TONWELL_FAULT_MUTEX = 0x40,
    TONWELL_FAULT_ALL = 0x7F,
    /* Not a kind: only calls on the thread that armed the hook count and fail. */
    TONWELL_FAULT_THIS_THREAD = 0x80000000
} TONWELL_FAULT_KIND;

/* Counts, from now on, the calls of the kinds in dwKinds (a mask of
 * TONWELL_FAULT_KIND, optionally with TONWELL_FAULT_THIS_THREAD), and makes the
 * dwNth of them fail; the calls after it succeed again. A dwNth of 0 counts
 * without failing. Replaces an earlier arming and resets the count. */
WINBASEAPI void WINAPI TonwellFaultArm(DWORD dwKinds, DWORD dwNth);

/* The calls of the armed kinds counted since TonwellFaultArm (the failed one
 * included); the count stays readable after TonwellFaultDisarm. */
WINBASEAPI DWORD WINAPI TonwellFaultCount(void);

/* Whether the armed failure has been injected. */
WINBASEAPI BOOL WINAPI TonwellFaultFired(void);

/* Stops counting and failing. */
WINBASEAPI void WINAPI TonwellFaultDisarm(void);

/* The next dwCount calls of InitializeCriticalSectionAndSpinCount and
 * InitializeCriticalSectionEx, on any thread, fail as above. 0 cancels what is
 * left of an earlier request. Independent of TonwellFaultArm. */
WINBASEAPI void WINAPI TonwellFailNextCriticalSectionInit(DWORD dwCount);

#endif
