// Temporary: stands in for platform functions that land on other branches.
#include <windows.h>

HRSRC WINAPI FindResourceW(HMODULE, LPCWSTR, LPCWSTR)
{
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return nullptr;
}
HGLOBAL WINAPI LoadResource(HMODULE, HRSRC)
{
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return nullptr;
}
LPVOID WINAPI LockResource(HGLOBAL h)
{
    return h;
}
DWORD WINAPI SizeofResource(HMODULE, HRSRC)
{
    return 0;
}
