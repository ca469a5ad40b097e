#include "TonwellExposure.h"

#include "Tonwell.h"

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
    if (pctinfo != nullptr)
        *pctinfo = 0;
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CTonwellExposure::GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo)
{
    if (ppTInfo != nullptr)
        *ppTInfo = nullptr;
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CTonwellExposure::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*)
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CTonwellExposure::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                                   UINT*)
{
    return E_NOTIMPL;
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
