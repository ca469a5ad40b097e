// TEMPORARY: stands in for the module resource functions until the resource work is
// merged, which brings the real definitions; delete this file then. Every look-up
// fails with ERROR_NOT_SUPPORTED, which the real functions never give.
#include <errhandlingapi.h>
#include <libloaderapi.h>

HRSRC WINAPI FindResourceW(HMODULE, LPCWSTR, LPCWSTR)
{
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
}

HGLOBAL WINAPI LoadResource(HMODULE, HRSRC)
{
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
}

LPVOID WINAPI LockResource(HGLOBAL) { return nullptr; }

DWORD WINAPI SizeofResource(HMODULE, HRSRC)
{
    SetLastError(ERROR_NOT_SUPPORTED);
    return 0;
}
