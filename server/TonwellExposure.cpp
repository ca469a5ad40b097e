#include "TonwellExposure.h"

#include "Tonwell.h"
#include "TypeInfoHolder.h"

CTonwellExposure::CTonwellExposure() : m_Marker(0), m_dwFlags(0), m_pEngine(nullptr) {}

CTonwellExposure::~CTonwellExposure()
{
    {
        TraceScope scope(0, 0, "CTonwellExposure::~CTonwellExposure", TRACE_FLAG_SCOPE, TRACE_MASK_METHODS, 0,
                         FormatTraceW(u"CTonwellExposure::~CTonwellExposure()"));
        if (m_pEngine != nullptr) {
            delete m_pEngine;
            m_pEngine = nullptr;
        }
    }
    ReleaseTrackedObject(&m_Marker);
}

HRESULT STDMETHODCALLTYPE CTonwellExposure::GetTypeInfoCount(UINT* pctinfo)
{
    if (pctinfo == nullptr)
        return E_INVALIDARG;
    *pctinfo = 1;
    return S_OK;
}

// Every index answers the same type information.
HRESULT STDMETHODCALLTYPE CTonwellExposure::GetTypeInfo(UINT, LCID lcid, ITypeInfo** ppTInfo)
{
    return g_TypeInfoHolder.GetTypeInfoRef(lcid, ppTInfo);
}

HRESULT STDMETHODCALLTYPE CTonwellExposure::GetIDsOfNames(REFIID, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                                          DISPID* rgDispId)
{
    return g_TypeInfoHolder.GetIDsOfNames(rgszNames, cNames, lcid, rgDispId);
}

HRESULT STDMETHODCALLTYPE CTonwellExposure::Invoke(DISPID dispIdMember, REFIID, LCID lcid, WORD wFlags,
                                                   DISPPARAMS* pDispParams, VARIANT* pVarResult,
                                                   EXCEPINFO* pExcepInfo, UINT* puArgErr)
{
    return g_TypeInfoHolder.Invoke(static_cast<ITonwellExposure*>(this), dispIdMember, lcid, wFlags, pDispParams,
                                   pVarResult, pExcepInfo, puArgErr);
}

HRESULT STDMETHODCALLTYPE CTonwellExposure::Initialize(DWORD dwFlags)
{
    TraceScope scope(0, 0, "CTonwellExposure::Initialize", TRACE_FLAG_SCOPE, TRACE_MASK_METHODS, 0,
                     FormatTraceW(u"CTonwellExposure::Initialize()"));
    // 0 keeps the strength given before.
    if (dwFlags != 0)
        m_dwFlags = dwFlags;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CTonwellExposure::SetImage(BYTE* pImage, DWORD dwWidth, DWORD dwHeight, DWORD dwStride)
{
    CTonwell engine(pImage, dwWidth, dwHeight, dwStride, 3);
    // Flags from 0x80000000 up read as negative: the engine refuses them and keeps 1.0.
    engine.SetStrength(StrengthFromFlags(m_dwFlags));
    return engine.Fix(0);
}

HRESULT STDMETHODCALLTYPE CTonwellExposure::GetResults(BYTE*, DWORD)
{
    return S_OK;
}
