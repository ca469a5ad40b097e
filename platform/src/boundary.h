// The edge of every exported function that can allocate: no C++ exception
// crosses a C export. Each guard runs the body and, should it throw, returns
// the function's own failure instead:
//   std::bad_alloc (and std::length_error, a request too large to allocate)
//     is the platform's out-of-memory status: ERROR_NOT_ENOUGH_MEMORY, or
//     E_OUTOFMEMORY for HRESULT functions;
//   anything else is ERROR_INTERNAL_ERROR, or E_UNEXPECTED.
// Bodies release what they hold through destructors, so a throw leaks nothing.
// Thread-safe; SetLastError is per thread.
#pragma once

#include <errhandlingapi.h>
#include <winerror.h>

#include <new>
#include <stdexcept>

namespace tonwell::platform {

// The Win32 status for the exception in flight. Call only from a catch block.
inline DWORD StatusOfCurrentException() noexcept
{
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (const std::length_error&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        return ERROR_INTERNAL_ERROR;
    }
}

// For functions that report failure through a value and GetLastError:
// `failure` (FALSE, nullptr, INVALID_HANDLE_VALUE, 0) with the status set.
template <class R, class Body>
R GuardLastError(R failure, Body&& body) noexcept
{
    try {
        return body();
    } catch (...) {
        SetLastError(StatusOfCurrentException());
        return failure;
    }
}

// For functions that return a Win32 status (the registry's LONG).
template <class Body>
LONG GuardStatus(Body&& body) noexcept
{
    try {
        return body();
    } catch (...) {
        return static_cast<LONG>(StatusOfCurrentException());
    }
}

// For functions that return an HRESULT.
template <class Body>
HRESULT GuardHResult(Body&& body) noexcept
{
    try {
        return body();
    } catch (...) {
        return StatusOfCurrentException() == ERROR_NOT_ENOUGH_MEMORY ? E_OUTOFMEMORY : E_UNEXPECTED;
    }
}

// For functions with no way to report a failure: the status is set for
// whoever looks, and the function returns as if it had done nothing.
template <class Body>
void GuardVoid(Body&& body) noexcept
{
    try {
        body();
    } catch (...) {
        SetLastError(StatusOfCurrentException());
    }
}

} // namespace tonwell::platform
