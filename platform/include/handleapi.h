/* Kernel handles: one process-wide table shared by every module. */
#ifndef TONWELL_HANDLEAPI_H
#define TONWELL_HANDLEAPI_H

#include "windef.h"
#include "winerror.h"

/* Closes a mutex or file handle. Closing the last handle of a named object,
 * in every process of the machine root, removes its name. */
WINBASEAPI BOOL WINAPI CloseHandle(HANDLE hObject);

#endif
