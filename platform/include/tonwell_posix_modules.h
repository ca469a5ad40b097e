/* Diagnostics of the module loader that have no counterpart on the platform. */
#ifndef TONWELL_POSIX_MODULES_H
#define TONWELL_POSIX_MODULES_H

#include "windef.h"

/* The dynamic linker's text for the calling thread's last failed load, or ""
 * when the last load on this thread succeeded. Valid until the thread's next load. */
WINBASEAPI const char* WINAPI TonwellLastLoadError(void);

/* Whether DisableThreadLibraryCalls was called for a module still loaded. */
WINBASEAPI BOOL WINAPI TonwellThreadLibraryCallsDisabled(HMODULE hModule);

#endif
