/* COM: the basics of combaseapi.h, plus apartments and in-process activation. */
#ifndef TONWELL_OBJBASE_H
#define TONWELL_OBJBASE_H

#include "windef.h"
#include "winerror.h"
#include "combaseapi.h"
#include "unknwn.h"

#ifndef RPC_E_CHANGED_MODE
#define RPC_E_CHANGED_MODE _HRESULT_TYPEDEF_(0x80010106u)
#endif

/* Where a class may be activated. Only in-process servers exist here: a request
 * that admits no in-process server finds no class registered for it. */
typedef enum tagCLSCTX {
    CLSCTX_INPROC_SERVER = 0x1,
    CLSCTX_INPROC_HANDLER = 0x2,
    CLSCTX_LOCAL_SERVER = 0x4,
    CLSCTX_INPROC_SERVER16 = 0x8,
    CLSCTX_REMOTE_SERVER = 0x10,
    CLSCTX_INPROC_HANDLER16 = 0x20,
    CLSCTX_NO_CODE_DOWNLOAD = 0x400,
    CLSCTX_NO_CUSTOM_MARSHAL = 0x1000,
    CLSCTX_ENABLE_CODE_DOWNLOAD = 0x2000,
    CLSCTX_NO_FAILURE_LOG = 0x4000,
    CLSCTX_DISABLE_AAA = 0x8000,
    CLSCTX_ENABLE_AAA = 0x10000,
    CLSCTX_FROM_DEFAULT_CONTEXT = 0x20000,
    CLSCTX_ACTIVATE_32_BIT_SERVER = 0x40000,
    CLSCTX_ACTIVATE_64_BIT_SERVER = 0x80000
} CLSCTX;

#define CLSCTX_INPROC (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)
#define CLSCTX_ALL (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)
#define CLSCTX_SERVER (CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)

typedef enum tagCOINIT {
    COINIT_MULTITHREADED = 0x0,
    COINIT_APARTMENTTHREADED = 0x2,
    COINIT_DISABLE_OLE1DDE = 0x4,
    COINIT_SPEED_OVER_MEMORY = 0x8
} COINIT;

typedef struct _COSERVERINFO {
    DWORD dwReserved1;
    LPWSTR pwszName;
    void* pAuthInfo;
    DWORD dwReserved2;
} COSERVERINFO;

EXTERN_C_START

/* Apartments. Each thread keeps its own count: the first successful call answers
 * S_OK, later ones S_FALSE, and CoUninitialize undoes one call. A thread asking
 * for the other concurrency model gets RPC_E_CHANGED_MODE. Activation does not
 * require a prior CoInitialize here: a thread that never called it is served
 * like any other. */
WINBASEAPI HRESULT WINAPI CoInitialize(LPVOID pvReserved);
WINBASEAPI HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
WINBASEAPI void WINAPI CoUninitialize(void);

/* In-process activation from HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32,
 * whose default value (REG_SZ, or REG_EXPAND_SZ with %VARIABLES%) names the
 * module. The module stays loaded, once per process, until CoFreeUnusedLibraries
 * finds its DllCanUnloadNow answering S_OK.
 *   REGDB_E_CLASSNOTREG  no class key, no InprocServer32 key or no module path,
 *                        or a context that admits no in-process server
 *   CO_E_DLLNOTFOUND     the module cannot be loaded
 *   CO_E_ERRORINDLL      the module has no DllGetClassObject
 *   otherwise            what the module's DllGetClassObject answers */
WINBASEAPI HRESULT WINAPI CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, COSERVERINFO* pServerInfo,
                                           REFIID riid, LPVOID* ppv);
WINBASEAPI HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                                           LPVOID* ppv);

/* HKEY_CLASSES_ROOT\<progid>\CLSID; CO_E_CLASSSTRING when the ProgID is not
 * registered or its CLSID is not in registry form. */
WINBASEAPI HRESULT WINAPI CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid);

/* Unloads every module loaded by activation whose DllCanUnloadNow answers S_OK. */
WINBASEAPI void WINAPI CoFreeUnusedLibraries(void);
WINBASEAPI void WINAPI CoFreeUnusedLibrariesEx(DWORD dwUnloadDelay, DWORD dwReserved);

EXTERN_C_END

#endif
