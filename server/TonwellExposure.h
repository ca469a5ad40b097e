// CTonwellExposure: the automation object hosts talk to. It keeps only the
// strength between calls; every SetImage builds, uses and destroys its own engine.
// IUnknown is left to the form that creates the object (standalone, aggregated or
// the direct form of DirectCreate.h).
//
// Initialize(dwFlags): a non-zero dwFlags becomes the strength of later
//   SetImage calls (StrengthFromFlags in Tonwell.h: flags x 0.1 read as signed,
//   so 11 and up strengthen a normal image, 0x80000000 and up mean the default);
//   0 keeps the value from before. Always S_OK.
// SetImage(pImage, dwWidth, dwHeight, dwStride): corrects the 3-byte red, green,
//   blue image in place, rows dwStride bytes apart, exactly as CTonwell::Fix(0)
//   at that strength: S_OK when corrected, S_FALSE when the image is normal and
//   the strength too small (no byte changed), HRESULT_FROM_WIN32(ERROR_INVALID_DATA)
//   for a null pImage. Sizes are not checked: the caller guarantees the buffer.
//   Keeps neither the image nor any result; the engine lives on the stack.
// GetResults: S_OK, reads and writes nothing.
// The IDispatch slots reach the same three methods by name and DISPID through the
//   type library; they need it registered (the vtable slots do not).
//
// Threads: apartment-threaded: one object is called from one thread at a time
// and takes no lock; separate objects may work on separate threads at once.
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

    // IDispatch: served from the registered type library by g_TypeInfoHolder
    // (TypeInfoHolder.h); GetTypeInfoCount answers 1, E_INVALIDARG for a null pointer.
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
