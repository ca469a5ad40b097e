// CClassFactory: the class object. It creates objects through the object creator
// it was given and keeps the module loaded through LockServer; references to the
// class object itself do not keep the module loaded.
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
