/* A module that finds itself at load time the way the tracing client does:
 * through the system directory's kernel32.dll and GetModuleHandleExA by address. */
#include <windows.h>

#include <string.h>

DECLSPEC_EXPORT const char TestModMarker[] = "tonwelltestmod";

static HMODULE g_selfAtLoad;

typedef BOOL(WINAPI* GetModuleHandleExAProc)(DWORD, LPCSTR, HMODULE*);

__attribute__((constructor)) static void FindSelfAtLoad(void)
{
    char path[MAX_PATH + 32];
    UINT len = GetSystemDirectoryA(path, MAX_PATH);
    if (len == 0 || len >= MAX_PATH)
        return;
    strcat(path, "\\kernel32.dll");
    HMODULE kernel = LoadLibraryA(path);
    if (!kernel)
        return;
    /* Through void (*)(void), the generic function pointer type, as FARPROC is not one to the compiler. */
    GetModuleHandleExAProc proc =
        (GetModuleHandleExAProc)(void (*)(void))GetProcAddress(kernel, "GetModuleHandleExA");
    /* Unchanged reference count, so that the tests can still unload the module. */
    if (proc)
        proc(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, TestModMarker,
             &g_selfAtLoad);
    FreeLibrary(kernel);
}

DECLSPEC_EXPORT int TestModAdd(int a, int b) { return a + b; }

DECLSPEC_EXPORT HMODULE TestModSelfAtLoad(void) { return g_selfAtLoad; }

DECLSPEC_EXPORT HMODULE TestModSelf(DWORD flags)
{
    HMODULE self = NULL;
    if (!GetModuleHandleExA(flags | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, TestModMarker, &self))
        return NULL;
    return self;
}

/* Uses the C library, so its symbols are visible through this module's dependencies. */
DECLSPEC_EXPORT size_t TestModLength(const char* s) { return strlen(s); }
