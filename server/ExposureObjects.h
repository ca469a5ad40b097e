// The two forms in which the module creates CTonwellExposure: standalone, with an
// IUnknown of its own, and aggregated inside an outer object, whose controlling
// IUnknown is a separate small object in front of the component.
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
