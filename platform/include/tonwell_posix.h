/* Access from POSIX code (the trace library, tools) to what platform handles
 * stand for. Not part of the platform's own API. */
#ifndef TONWELL_POSIX_H
#define TONWELL_POSIX_H

#include "windef.h"

/* The file descriptor behind a file handle from CreateFileA/W, for writing with
 * POSIX calls. It belongs to the handle: valid until CloseHandle, never to be
 * closed by the caller. -1 (and ERROR_INVALID_HANDLE) for anything else. */
WINBASEAPI int WINAPI TonwellHandleToFd(HANDLE hFile);

#endif
