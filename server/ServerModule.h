// CServerModule: the library's process-wide state. One instance, g_Module,
// initialised by DllMain at process attach and terminated at process detach;
// the object map beside it describes the one class the library serves.
//
// Threads: Init and Term run from DllMain, on one thread, while no other thread
// is inside the module. Between them every other operation may be called from
// any thread at once: the lock count is atomic, the class object is created
// under the class-object lock, the clean-up list is changed under the
// type-information lock (re-entrant, so type-information loading may add to it).
#pragma once

#include <windows.h>

// Creates an object and hands out riid on it: the class object (pv is the object
// creator to store) or an object (pv is the outer IUnknown, or null). S_OK with
// one reference in *ppv; on failure *ppv is null and nothing is left behind.
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
    // Records the map and the module handle, sets the lock count to 0, creates
    // the two locks and starts each class (pfnObjectMain(true)). S_OK; when a lock
    // cannot be created, STATUS_NO_MEMORY as an HRESULT, and the module stays not
    // ready (nothing was started, no lock exists).
    HRESULT Init(ObjectMapEntry* pObjectMap, HINSTANCE hInstance);

    // Releases the cached class objects, stops the classes that Init started,
    // deletes the locks that exist and runs the clean-up list (each entry once,
    // newest first). Always S_OK; safe after a failed Init and when called twice.
    HRESULT Term();

    // The class object of rclsid, created on first request and cached (the
    // module keeps one reference until Term), asked for riid. S_OK with one
    // reference in *ppv; E_POINTER for a null ppv; CLASS_E_CLASSNOTAVAILABLE for
    // a class not in the map; the creator's failure; the class object's
    // QueryInterface failure (the class object stays cached); E_OUTOFMEMORY when Init failed, E_UNEXPECTED
    // before Init or after Term. *ppv is null on every failure.
    HRESULT GetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv);

    // The count of live objects and LockServer locks; each returns the new
    // count. The module may be unloaded while the count is 0.
    LONG Lock();
    LONG Unlock();
    LONG GetLockCount() const;

    // Registration over the object map, in map order: each entry chosen (by
    // pclsid, or without a filter every entry whose description function is absent
    // or answers null) runs its update-registry function and registers its component
    // categories; then, with the flag, the module's type library. RegisterClasses
    // stops at the first failure and returns it; UnregisterClasses ignores every
    // failure and answers S_OK. Both S_OK for a module without an object map.
    // Implemented with the registration entry points (registration/).
    HRESULT RegisterClasses(BOOL bRegTypeLib, const CLSID* pclsid);
    HRESULT UnregisterClasses(BOOL bUnRegTypeLib, const CLSID* pclsid);

    // Runs pfn(dw) at Term, newest registration first. S_OK; E_OUTOFMEMORY;
    // E_UNEXPECTED when the module is not ready (the entry would never run).
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
// FindInterface: S_OK with *ppvObject the interface pointer at the row's offset
// from pThis, AddRef'd through that pointer; E_NOINTERFACE (and *ppvObject null)
// for an interface not in the map; E_POINTER for a null ppvObject; E_INVALIDARG
// for a null pThis or map. Thread-safe as far as the object's AddRef is.
struct InterfaceEntry {
    const IID* piid;
    DWORD_PTR dwOffset; // of the interface pointer from the start of the object
};

HRESULT WINAPI FindInterface(void* pThis, const InterfaceEntry* pEntries, REFIID riid, void** ppvObject);

// Creators of the one object-map entry, with the contract of PFNCREATORFUNC.
// CreateClassFactory: pv is the object creator the class object will call.
// CreateExposureObject: a standalone object (pv null) or, for an outer object
// pv asking for IID_IUnknown, an aggregated one (CLASS_E_NOAGGREGATION for any
// other interface). Each live object holds one unit of the module's lock count.
HRESULT WINAPI CreateClassFactory(void* pfnCreateInstance, REFIID riid, LPVOID* ppv);
HRESULT WINAPI CreateExposureObject(void* pUnkOuter, REFIID riid, LPVOID* ppv);
HRESULT WINAPI CreateStandalone(void* pv, REFIID riid, LPVOID* ppv);
HRESULT WINAPI CreateAggregated(void* pUnkOuter, REFIID riid, LPVOID* ppv);

// Process attach: gives tracing the module handle, writes the attach line when
// enabled, runs g_Module.Init. Process detach: writes the detach line,
// terminates tracing, runs g_Module.Term. Always TRUE. Called by the module's own
// start-up and shut-down (ModuleLifetime.cpp), never by the platform.
EXTERN_C BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved);

// The module's exports, callable from any thread (see TonwellObj.map for the
// list). DllGetClassObject: g_Module.GetClassObject, with no exception escaping.
// DllCanUnloadNow: S_OK when no object or lock is alive (or Init failed),
// else S_FALSE.
#define TONWELL_EXPORT EXTERN_C __attribute__((visibility("default")))
TONWELL_EXPORT HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv);
TONWELL_EXPORT HRESULT STDAPICALLTYPE DllCanUnloadNow(void);
// DllRegisterServer: the still-image plug-in key under HKEY_LOCAL_MACHINE (else
// REGDB_E_WRITEREGDB with nothing written), then RegisterClasses(TRUE, null).
// DllUnregisterServer: UnregisterClasses(TRUE, null) and the plug-in key removed;
// always S_OK. Both in registration/RegisterServer.cpp.
TONWELL_EXPORT HRESULT STDAPICALLTYPE DllRegisterServer(void);
TONWELL_EXPORT HRESULT STDAPICALLTYPE DllUnregisterServer(void);
