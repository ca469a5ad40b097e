#include "ExposureObjects.h"

#include <new>

const InterfaceEntry g_TonwellExposureInterfaces[] = {
    {&IID_ITonwellExposure, 0},
    {&IID_IDispatch, 0},
    {nullptr, 0},
};

namespace {

template <class T, class... Args> T* AllocateObject(Args... args)
{
    void* pStorage = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(T));
    return pStorage ? new (pStorage) T(args...) : nullptr;
}

template <class T> void FreeObject(T* pObject)
{
    pObject->~T();
    HeapFree(GetProcessHeap(), 0, pObject);
}

// Release on the count rRef of pObject. At zero the count is set to 1 before the
// object is destroyed, so that a Release made during destruction cannot destroy it again.
template <class T> ULONG ReleaseObject(T* pObject, LONG& rRef)
{
    LONG lRef = --rRef;
    if (lRef == 0) {
        rRef = 1;
        T::Destroy(pObject);
    }
    return static_cast<ULONG>(lRef);
}

// A new object of type T handed out as riid; one that cannot give riid is destroyed again.
template <class T, class... Args> HRESULT NewObject(REFIID riid, LPVOID* ppv, Args... args)
{
    T* pObject = AllocateObject<T>(args...);
    if (!pObject)
        return E_OUTOFMEMORY;
    HRESULT hr = pObject->QueryInterface(riid, ppv);
    if (hr != S_OK)
        T::Destroy(pObject);
    return hr;
}

} // namespace

// --- standalone -------------------------------------------------------------

CStandaloneObject::CStandaloneObject()
{
    m_dwRef = 0;
    g_Module.Lock();
}

// Runs before the component's destructor: the module is unlocked first.
CStandaloneObject::~CStandaloneObject() { g_Module.Unlock(); }

void CStandaloneObject::Destroy(CStandaloneObject* pObject) { FreeObject(pObject); }

HRESULT STDMETHODCALLTYPE CStandaloneObject::QueryInterface(REFIID riid, void** ppvObject)
{
    return FindInterface(this, g_TonwellExposureInterfaces, riid, ppvObject);
}

ULONG STDMETHODCALLTYPE CStandaloneObject::AddRef() { return static_cast<ULONG>(++m_dwRef); }

ULONG STDMETHODCALLTYPE CStandaloneObject::Release() { return ReleaseObject(this, m_dwRef); }

// --- aggregated -------------------------------------------------------------

CContainedExposure::CContainedExposure(IUnknown* pUnkOuter) { m_pOuterUnknown = pUnkOuter; }

HRESULT CContainedExposure::FindOwnInterface(REFIID riid, void** ppvObject)
{
    return FindInterface(this, g_TonwellExposureInterfaces, riid, ppvObject);
}

HRESULT STDMETHODCALLTYPE CContainedExposure::QueryInterface(REFIID riid, void** ppvObject)
{
    HRESULT hr = m_pOuterUnknown->QueryInterface(riid, ppvObject);
    if (SUCCEEDED(hr))
        return hr;
    if (m_pOuterUnknown != static_cast<IUnknown*>(this))
        return FindOwnInterface(riid, ppvObject);
    return hr;
}

ULONG STDMETHODCALLTYPE CContainedExposure::AddRef() { return m_pOuterUnknown->AddRef(); }

ULONG STDMETHODCALLTYPE CContainedExposure::Release() { return m_pOuterUnknown->Release(); }

CAggregatedObject::CAggregatedObject(IUnknown* pUnkOuter) : m_dwRef(0), m_contained(pUnkOuter) { g_Module.Lock(); }

// The body runs before the contained component is destroyed: unlock, then the component.
CAggregatedObject::~CAggregatedObject() { g_Module.Unlock(); }

void CAggregatedObject::Destroy(CAggregatedObject* pObject) { FreeObject(pObject); }

HRESULT STDMETHODCALLTYPE CAggregatedObject::QueryInterface(REFIID riid, void** ppvObject)
{
    if (IsEqualIID(riid, IID_IUnknown)) {
        if (!ppvObject)
            return E_POINTER;
        *ppvObject = static_cast<IUnknown*>(this);
        AddRef();
        return S_OK;
    }
    // The AddRef that FindInterface makes through the component goes to the outer object.
    return m_contained.FindOwnInterface(riid, ppvObject);
}

ULONG STDMETHODCALLTYPE CAggregatedObject::AddRef() { return static_cast<ULONG>(++m_dwRef); }

ULONG STDMETHODCALLTYPE CAggregatedObject::Release() { return ReleaseObject(this, m_dwRef); }

// --- creators ---------------------------------------------------------------

HRESULT WINAPI CreateStandalone(void*, REFIID riid, LPVOID* ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    return NewObject<CStandaloneObject>(riid, ppv);
}

HRESULT WINAPI CreateAggregated(void* pUnkOuter, REFIID riid, LPVOID* ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    // Only the controlling IUnknown can be handed to the outer object: any other
    // interface would carry the outer object's count and leave this one at zero.
    if (!pUnkOuter || !IsEqualIID(riid, IID_IUnknown))
        return CLASS_E_NOAGGREGATION;
    return NewObject<CAggregatedObject>(riid, ppv, static_cast<IUnknown*>(pUnkOuter));
}

HRESULT WINAPI CreateExposureObject(void* pUnkOuter, REFIID riid, LPVOID* ppv)
{
    return pUnkOuter ? CreateAggregated(pUnkOuter, riid, ppv) : CreateStandalone(nullptr, riid, ppv);
}
