/* For tools that report registry failures. Not part of the platform's own API. */
#ifndef TONWELL_POSIX_REGISTRY_H
#define TONWELL_POSIX_REGISTRY_H

#include "windef.h"

EXTERN_C_START

/* Why the calling thread's last registry call failed in the store itself (a
 * full disk, an unwritable or unsafe folder, a file that is not a store...),
 * naming the store file, in UTF-8; "" when that call had no such failure.
 * Valid until the thread's next registry call. */
WINBASEAPI const char* WINAPI TonwellRegLastFailure(void);

EXTERN_C_END

#endif
