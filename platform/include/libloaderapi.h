/* Modules: handles, file names, dynamic loading and the system directory.
 * An HMODULE is the load base of the shared object, as on the platform; a
 * data-file handle is told apart by its low bits (1, or 2 for an image-resource
 * load), which a load base never has. */
#ifndef TONWELL_LIBLOADERAPI_H
#define TONWELL_LIBLOADERAPI_H

#include "windef.h"
#include "winerror.h"


/* Reasons passed to a module's DllMain. This platform never calls DllMain
 * itself: a module runs its own attach from its static initialisation. */
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

#define GET_MODULE_HANDLE_EX_FLAG_PIN 0x00000001
#define GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT 0x00000002
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x00000004

/* LoadLibraryEx flags. The data-file forms read the file's resources without
 * loading it: no initialiser runs and nothing is resolved, so a module built for
 * another machine (ELF32 or ELF64, either byte order) can be read too. The resource
 * section is copied at load, so a later change to the file never reaches the reader.
 * Such a handle serves the resource functions and FreeLibrary only (GetProcAddress
 * fails with ERROR_MOD_NOT_FOUND); each load is a copy of its own. A module already
 * loaded is answered with its own handle and a new reference instead. A bare name is
 * looked for in the caller's, the program's and the platform's folders; a missing
 * file gives ERROR_FILE_NOT_FOUND (ERROR_PATH_NOT_FOUND for a missing folder), a file
 * that is not a module ERROR_BAD_EXE_FORMAT. The altered search path is a plain load. */
#define DONT_RESOLVE_DLL_REFERENCES 0x00000001
#define LOAD_LIBRARY_AS_DATAFILE 0x00000002
#define LOAD_WITH_ALTERED_SEARCH_PATH 0x00000008
#define LOAD_LIBRARY_AS_IMAGE_RESOURCE 0x00000020
#define LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE 0x00000040

#define IS_INTRESOURCE(r) ((((ULONG_PTR)(r)) >> 16) == 0)
#define MAKEINTRESOURCEA(i) ((LPSTR)((ULONG_PTR)((WORD)(i))))
#define MAKEINTRESOURCEW(i) ((LPWSTR)((ULONG_PTR)((WORD)(i))))
#define MAKEINTRESOURCE MAKEINTRESOURCEW

/* Predefined resource types. */
#define RT_RCDATA MAKEINTRESOURCEW(10)
#define RT_VERSION MAKEINTRESOURCEW(16)

/* A resource found in a module, and its loaded data. */
typedef struct HRSRC__* HRSRC;
typedef void* HGLOBAL;

/* The absolute path of the loaded object (null: the program). Paths here use
 * '/' as their separator: code that looks for the file name after the last
 * separator must accept '/' as well as '\\'. */
WINBASEAPI DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
WINBASEAPI DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);

WINBASEAPI HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName);
WINBASEAPI HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName);
WINBASEAPI BOOL WINAPI GetModuleHandleExA(DWORD dwFlags, LPCSTR lpModuleName, HMODULE* phModule);
WINBASEAPI BOOL WINAPI GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule);

WINBASEAPI HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName);
WINBASEAPI HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName);
WINBASEAPI HMODULE WINAPI LoadLibraryExA(LPCSTR lpLibFileName, HANDLE hFile, DWORD dwFlags);
WINBASEAPI HMODULE WINAPI LoadLibraryExW(LPCWSTR lpLibFileName, HANDLE hFile, DWORD dwFlags);
WINBASEAPI FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
WINBASEAPI BOOL WINAPI FreeLibrary(HMODULE hLibModule);
WINBASEAPI BOOL WINAPI DisableThreadLibraryCalls(HMODULE hLibModule);

/* Resources of a module: types and names are numbers (MAKEINTRESOURCE) or strings
 * compared without regard to case, "#101" meaning the number 101. A module carries
 * them in a section of its own (docs/resources.md), read from the file; data stays
 * valid until the module is freed (null: the program). Languages: FindResourceEx
 * takes the language asked for, else its primary language with SUBLANG_NEUTRAL, else
 * LANG_NEUTRAL; a neutral request (FindResource) then also takes US English and at
 * last the first in any language. Errors: ERROR_RESOURCE_DATA_NOT_FOUND (no resources
 * at all), ERROR_INVALID_DATA (a malformed resource section), ERROR_RESOURCE_TYPE_NOT_FOUND,
 * ERROR_RESOURCE_NAME_NOT_FOUND, ERROR_RESOURCE_LANG_NOT_FOUND; ERROR_MOD_NOT_FOUND
 * for a handle that is no module; LoadResource and SizeofResource: ERROR_INVALID_HANDLE
 * for a resource that is not that module's. LockResource returns its argument;
 * FreeResource does nothing and returns FALSE. */
WINBASEAPI HRSRC WINAPI FindResourceA(HMODULE hModule, LPCSTR lpName, LPCSTR lpType);
WINBASEAPI HRSRC WINAPI FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType);
WINBASEAPI HRSRC WINAPI FindResourceExW(HMODULE hModule, LPCWSTR lpType, LPCWSTR lpName, WORD wLanguage);
WINBASEAPI HGLOBAL WINAPI LoadResource(HMODULE hModule, HRSRC hResInfo);
WINBASEAPI LPVOID WINAPI LockResource(HGLOBAL hResData);
WINBASEAPI DWORD WINAPI SizeofResource(HMODULE hModule, HRSRC hResInfo);
WINBASEAPI BOOL WINAPI FreeResource(HGLOBAL hResData);

/* <system folder>/system32, created on demand. */
WINBASEAPI UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize);
WINBASEAPI UINT WINAPI GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize);

#endif
