#ifndef TONWELL_ERRHANDLINGAPI_H
#define TONWELL_ERRHANDLINGAPI_H

#include "windef.h"

/* The calling thread's last-error code. */
WINBASEAPI DWORD WINAPI GetLastError(void);
WINBASEAPI void WINAPI SetLastError(DWORD dwErrCode);

#endif
