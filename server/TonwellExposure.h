// CTonwellExposure: the automation object hosts talk to. It keeps only the
// strength between calls; every SetImage builds, uses and destroys its own engine.
// IUnknown is left to the form that creates the object (standalone, aggregated or
// the direct form of DirectCreate.h).
#pragma once

#include <windows.h>

#include "ObjectRoot.h"
#include "TonwellObj.h"
#include "TraceClient.h"

class CTonwell;

class CTonwellExposure : public CObjectRoot, public ITonwellExposure {
public:
    CTonwellExposure();
    virtual ~CTonwellExposure();

    CTonwellExposure(const CTonwellExposure&) = delete;
    CTonwellExposure& operator=(const CTonwellExposure&) = delete;

    // IDispatch: served from the type library by a later module layer.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                            DISPID* rgDispId) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                     DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                                     UINT* puArgErr) override;

    // ITonwellExposure
    HRESULT STDMETHODCALLTYPE Initialize(DWORD dwFlags) override;
    HRESULT STDMETHODCALLTYPE SetImage(BYTE* pImage, DWORD dwWidth, DWORD dwHeight, DWORD dwStride) override;
    HRESULT STDMETHODCALLTYPE GetResults(BYTE* lpResults, DWORD cbSize) override;

protected:
    TrackedObjectMarker m_Marker;
    DWORD m_dwFlags;
    CTonwell* m_pEngine;
};
