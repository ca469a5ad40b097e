/* Fault injection for tests only; never called by the system itself. */
#ifndef TONWELL_TESTHOOKS_H
#define TONWELL_TESTHOOKS_H

#include "windef.h"

/* The next dwCount calls of InitializeCriticalSectionAndSpinCount (and
 * InitializeCriticalSectionEx), on any thread, fail as when memory runs out:
 * FALSE, the storage left zero, GetLastError() == ERROR_NOT_ENOUGH_MEMORY.
 * 0 cancels what is left of an earlier request. */
WINBASEAPI void WINAPI TonwellFailNextCriticalSectionInit(DWORD dwCount);

#endif
