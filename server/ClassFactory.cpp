#include "ClassFactory.h"

#include <new>

namespace {
const InterfaceEntry s_ClassFactoryInterfaces[] = {
    {&IID_IClassFactory, 0},
    {nullptr, 0},
};
} // namespace

void CClassFactory::Destroy(CClassFactory* pFactory)
{
    pFactory->~CClassFactory();
    HeapFree(GetProcessHeap(), 0, pFactory);
}

HRESULT STDMETHODCALLTYPE CClassFactory::QueryInterface(REFIID riid, void** ppvObject)
{
    return FindInterface(this, s_ClassFactoryInterfaces, riid, ppvObject);
}

ULONG STDMETHODCALLTYPE CClassFactory::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&m_dwRef)); }

ULONG STDMETHODCALLTYPE CClassFactory::Release()
{
    LONG lRef = InterlockedDecrement(&m_dwRef);
    if (lRef == 0) {
        // Guards against a stray AddRef/Release pair during destruction.
        m_dwRef = 1;
        Destroy(this);
    }
    return static_cast<ULONG>(lRef);
}

HRESULT STDMETHODCALLTYPE CClassFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject)
{
    if (!ppvObject)
        return E_POINTER;
    *ppvObject = nullptr;
    // An aggregating outer object must ask for the controlling IUnknown.
    if (pUnkOuter && !IsEqualIID(riid, IID_IUnknown))
        return CLASS_E_NOAGGREGATION;
    if (!m_pfnCreateInstance)
        return E_UNEXPECTED;
    try {
        return m_pfnCreateInstance(pUnkOuter, riid, ppvObject);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

HRESULT STDMETHODCALLTYPE CClassFactory::LockServer(BOOL fLock)
{
    if (fLock)
        g_Module.Lock();
    else
        g_Module.Unlock();
    return S_OK;
}

HRESULT WINAPI CreateClassFactory(void* pfnCreateInstance, REFIID riid, LPVOID* ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    void* pStorage = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(CClassFactory));
    if (!pStorage)
        return E_OUTOFMEMORY;
    auto* pFactory = new (pStorage) CClassFactory();
    pFactory->m_pfnCreateInstance = reinterpret_cast<PFNCREATORFUNC>(pfnCreateInstance);
    HRESULT hr = pFactory->QueryInterface(riid, ppv);
    if (hr != S_OK)
        CClassFactory::Destroy(pFactory);
    return hr;
}
