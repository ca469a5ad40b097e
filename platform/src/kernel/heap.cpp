// The process heap and local memory, on the C allocator. Blocks carry no header
// of ours, so HeapSize answers from malloc_usable_size (at least the size asked).
#include "fault.h"

#include <winbase.h>

#include <cstdlib>
#include <cstring>
#include <malloc.h>

namespace {
// Any stable non-null value identifies the one process heap.
int g_processHeapTag;
HANDLE const kProcessHeap = &g_processHeapTag;

bool IsProcessHeap(HANDLE hHeap) { return hHeap == kProcessHeap; }

// A new block of `bytes`, zeroed if asked; null with the last error set when
// memory runs out. A zero-byte request still yields a unique block, as callers may rely on.
void* Allocate(SIZE_T bytes, bool zero)
{
    size_t n = bytes ? bytes : 1;
    void* p = nullptr;
    if (!tonwell::platform::InjectFault(TONWELL_FAULT_HEAP))
        p = zero ? std::calloc(1, n) : std::malloc(n);
    if (!p)
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return p;
}
} // namespace

HANDLE WINAPI GetProcessHeap(void) { return kProcessHeap; }

LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes)
{
    if (!IsProcessHeap(hHeap)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return Allocate(dwBytes, (dwFlags & HEAP_ZERO_MEMORY) != 0);
}

LPVOID WINAPI HeapReAlloc(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem, SIZE_T dwBytes)
{
    if (!IsProcessHeap(hHeap) || !lpMem) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    size_t oldSize = malloc_usable_size(lpMem);
    size_t n = dwBytes ? dwBytes : 1;
    void* p = tonwell::platform::InjectFault(TONWELL_FAULT_HEAP) ? nullptr : std::realloc(lpMem, n);
    if (!p) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if ((dwFlags & HEAP_ZERO_MEMORY) && n > oldSize)
        std::memset(static_cast<char*>(p) + oldSize, 0, n - oldSize);
    return p;
}

BOOL WINAPI HeapFree(HANDLE hHeap, DWORD, LPVOID lpMem)
{
    if (!IsProcessHeap(hHeap)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::free(lpMem);
    return TRUE;
}

SIZE_T WINAPI HeapSize(HANDLE hHeap, DWORD, LPCVOID lpMem)
{
    if (!IsProcessHeap(hHeap) || !lpMem) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return static_cast<SIZE_T>(-1);
    }
    return malloc_usable_size(const_cast<void*>(lpMem));
}

HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes)
{
    return Allocate(uBytes, (uFlags & LMEM_ZEROINIT) != 0);
}

HLOCAL WINAPI LocalFree(HLOCAL hMem)
{
    std::free(hMem);
    return nullptr;
}
