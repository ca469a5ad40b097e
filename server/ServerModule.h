// CServerModule: the library's process-wide state. One instance, g_Module,
// initialised at process attach and terminated at process detach; the object
// map beside it describes the one class the library serves.
#pragma once

#include <windows.h>

// Creates an object and hands out riid on it: the class object (pv is the object
// creator to store) or an object (pv is the outer IUnknown, or null).
typedef HRESULT(WINAPI* PFNCREATORFUNC)(void* pv, REFIID riid, LPVOID* ppv);
typedef HRESULT(WINAPI* PFNUPDATEREGISTRY)(BOOL bRegister);
typedef const WCHAR*(WINAPI* PFNGETOBJECTDESCRIPTION)();
typedef void(WINAPI* PFNOBJECTMAIN)(bool bStarting);

// One component category a class implements (kind 1) or requires (any other kind);
// a table of them ends with a row of kind 0.
struct CategoryMapEntry {
    DWORD dwKind;
    const GUID* pcatid;
};
typedef const CategoryMapEntry*(WINAPI* PFNGETCATEGORYMAP)();

// What the server knows about one creatable class. A map of these ends with an
// entry whose pclsid is null.
struct ObjectMapEntry {
    const CLSID* pclsid;
    PFNUPDATEREGISTRY pfnUpdateRegistry;
    PFNCREATORFUNC pfnGetClassObject;
    PFNCREATORFUNC pfnCreateInstance;
    IUnknown* pCF; // the cached class object; one reference, the module's, until Term
    PFNGETOBJECTDESCRIPTION pfnGetObjectDescription;
    PFNGETCATEGORYMAP pfnGetCategoryMap;
    PFNOBJECTMAIN pfnObjectMain;
};

typedef void(WINAPI* PFNCLEANUP)(DWORD_PTR dw);

struct CleanupEntry {
    PFNCLEANUP pfn;
    DWORD_PTR dw;
    CleanupEntry* pNext;
};

// Kept trivially constructible so that the one instance is zero before any static
// constructor of the module runs.
class CServerModule {
public:
    HRESULT Init(ObjectMapEntry* pObjectMap, HINSTANCE hInstance);
    HRESULT Term();

    HRESULT GetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv);

    LONG Lock();
    LONG Unlock();
    LONG GetLockCount() const;

    // Runs pfn(dw) at Term, newest registration first.
    HRESULT AddCleanup(PFNCLEANUP pfn, DWORD_PTR dw);

    // True between an Init that created both locks and Term. A module whose Init
    // failed must not touch its locks; the exports answer InitResult() instead.
    bool IsReady() const;
    HRESULT InitResult() const { return m_hrInit; }

    HINSTANCE m_hInstance;
    HINSTANCE m_hInstResource;
    HINSTANCE m_hInstTypeLib;
    ObjectMapEntry* m_pObjectMap;
    volatile LONG m_lLocks;
    CRITICAL_SECTION m_csTypeInfo;
    CRITICAL_SECTION m_csClassObjects;
    CleanupEntry* m_pCleanupList;

private:
    bool m_bTypeInfoLockCreated;
    bool m_bClassObjectsLockCreated;
    volatile LONG m_lReady;
    HRESULT m_hrInit;
};

extern CServerModule g_Module;
extern ObjectMapEntry g_ObjectMap[];

// Interface maps: the rows a class's QueryInterface walks, ended by a row whose
// piid is null. IUnknown has no row; the first row answers it.
struct InterfaceEntry {
    const IID* piid;
    DWORD_PTR dwOffset; // of the interface pointer from the start of the object
};

HRESULT WINAPI FindInterface(void* pThis, const InterfaceEntry* pEntries, REFIID riid, void** ppvObject);

// Creators of the one object-map entry.
HRESULT WINAPI CreateClassFactory(void* pfnCreateInstance, REFIID riid, LPVOID* ppv);
HRESULT WINAPI CreateExposureObject(void* pUnkOuter, REFIID riid, LPVOID* ppv);
HRESULT WINAPI CreateStandalone(void* pv, REFIID riid, LPVOID* ppv);
HRESULT WINAPI CreateAggregated(void* pUnkOuter, REFIID riid, LPVOID* ppv);

EXTERN_C BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved);

// The module's exports: these two and nothing else (see TonwellObj.map).
#define TONWELL_EXPORT EXTERN_C __attribute__((visibility("default")))
TONWELL_EXPORT HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv);
TONWELL_EXPORT HRESULT STDAPICALLTYPE DllCanUnloadNow(void);
