// Task memory on the C allocator: what one module allocates another may free.
#include "fault.h"

#include <combaseapi.h>

#include <cstdlib>

LPVOID WINAPI CoTaskMemAlloc(SIZE_T cb)
{
    if (tonwell::platform::InjectFault(TONWELL_FAULT_TASK_MEMORY))
        return nullptr;
    // A zero-byte request still yields a block that can be freed.
    return std::malloc(cb ? cb : 1);
}

LPVOID WINAPI CoTaskMemRealloc(LPVOID pv, SIZE_T cb)
{
    if (!pv)
        return CoTaskMemAlloc(cb);
    if (!cb) {
        std::free(pv);
        return nullptr;
    }
    // On failure the old block stays valid and the caller still owns it.
    if (tonwell::platform::InjectFault(TONWELL_FAULT_TASK_MEMORY))
        return nullptr;
    return std::realloc(pv, cb);
}

void WINAPI CoTaskMemFree(LPVOID pv) { std::free(pv); }
