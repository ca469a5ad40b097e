#ifndef TONWELL_PROCESSTHREADSAPI_H
#define TONWELL_PROCESSTHREADSAPI_H

#include "windef.h"

WINBASEAPI DWORD WINAPI GetCurrentProcessId(void);
/* The kernel's identifier of the calling thread, unique among live threads. */
WINBASEAPI DWORD WINAPI GetCurrentThreadId(void);

#endif
