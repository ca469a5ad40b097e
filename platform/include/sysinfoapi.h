#ifndef TONWELL_SYSINFOAPI_H
#define TONWELL_SYSINFOAPI_H

#include "windef.h"

/* Milliseconds since the system started; the 32-bit count wraps after 49.7 days. */
WINBASEAPI DWORD WINAPI GetTickCount(void);
WINBASEAPI ULONGLONG WINAPI GetTickCount64(void);

/* The current time, local and UTC, to the millisecond. */
WINBASEAPI void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime);
WINBASEAPI void WINAPI GetSystemTime(LPSYSTEMTIME lpSystemTime);
/* 100-nanosecond intervals since 1 January 1601 (UTC). */
WINBASEAPI void WINAPI GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime);

#endif
