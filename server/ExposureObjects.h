// The two forms in which the module creates CTonwellExposure: standalone, with an
// IUnknown of its own, and aggregated inside an outer object, whose controlling
// IUnknown is a separate small object in front of the component.
//
// Both are allocated zero-filled from the process heap by CreateExposureObject
// (ServerModule.h), hold one unit of the module's lock count while they live and
// free themselves when their count reaches 0. QueryInterface answers IUnknown,
// IDispatch and ITonwellExposure (S_OK, the interface AddRef'd), E_NOINTERFACE
// otherwise, E_POINTER for a null out pointer; AddRef and Release return the new
// count. In the aggregated form the component's own IUnknown methods are the
// outer object's, and only the controlling IUnknown counts the aggregate.
//
// Threads: the class is apartment-threaded: one object is called from one thread
// at a time and its reference count is not atomic.
#pragma once

#include <windows.h>

#include "ServerModule.h"
#include "TonwellExposure.h"

// QueryInterface of CTonwellExposure in either form: ITonwellExposure, IDispatch
// (and through the first row IUnknown) on the object's one interface pointer.
extern const InterfaceEntry g_TonwellExposureInterfaces[];

class CStandaloneObject final : public CTonwellExposure {
public:
    CStandaloneObject();
    ~CStandaloneObject() override;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    static void Destroy(CStandaloneObject* pObject);
};

// The component inside an aggregate: its IUnknown belongs to the outer object.
class CContainedExposure final : public CTonwellExposure {
public:
    explicit CContainedExposure(IUnknown* pUnkOuter);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // What the controlling IUnknown answers for anything but IUnknown.
    HRESULT FindOwnInterface(REFIID riid, void** ppvObject);
};

class CAggregatedObject final : public IUnknown {
public:
    explicit CAggregatedObject(IUnknown* pUnkOuter);
    ~CAggregatedObject();

    // The controlling IUnknown, handed to the outer object only.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    static void Destroy(CAggregatedObject* pObject);

    LONG m_dwRef;
    CContainedExposure m_contained;
};
