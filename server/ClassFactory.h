// CClassFactory: the class object. It creates objects through the object creator
// it was given and keeps the module loaded through LockServer; references to the
// class object itself do not keep the module loaded.
//
// CreateInstance: S_OK with one reference in *ppvObject; E_POINTER for a null
// ppvObject; CLASS_E_NOAGGREGATION when an outer object asks for anything but
// IID_IUnknown; otherwise the creator's result (E_OUTOFMEMORY, E_NOINTERFACE),
// with *ppvObject null and nothing left alive on failure.
// LockServer: TRUE adds one to the module's lock count, FALSE takes one off;
// always S_OK.
//
// Threads: every method may be called from any thread at once; the reference
// count is atomic and the object has no other changing state. Created on the
// process heap by CreateClassFactory (ServerModule.h), freed at the last Release.
#pragma once

#include <windows.h>

#include "ServerModule.h"

class CClassFactory final : public IClassFactory {
public:
    CClassFactory() : m_dwRef(0), m_pfnCreateInstance(nullptr) {}

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IClassFactory
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) override;

    volatile LONG m_dwRef;
    PFNCREATORFUNC m_pfnCreateInstance;

private:
    ~CClassFactory() = default;
    friend HRESULT WINAPI CreateClassFactory(void*, REFIID, LPVOID*);
    static void Destroy(CClassFactory* pFactory);
};
