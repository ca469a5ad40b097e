// The automatic mode over bands of rows.
#include "Tonwell.h"

#include "TonwellKernels.h"
#include "TonwellStatistics.h"

CTonwellRows::CTonwellRows(DWORD dwWidth, DWORD dwBytesPerPixel)
    : m_Histogram{},
      m_Table{},
      m_dwBytesMapped(0),
      m_bDecided(FALSE),
      m_dwWidth(dwWidth),
      m_dwBytesPerPixel(dwBytesPerPixel == 3 || dwBytesPerPixel == 4 ? dwBytesPerPixel : 0),
      m_dStrength(1.0)
{
}

HRESULT CTonwellRows::SetStrength(double dStrength)
{
    // Written so that NaN is refused too.
    if (!(dStrength > 0.0))
        return E_INVALIDARG;
    m_dStrength = dStrength;
    return S_OK;
}

bool CTonwellRows::BandUsable(const BYTE* pRows, DWORD dwRows, DWORD dwStride) const
{
    if (m_dwBytesPerPixel == 0 || m_dwWidth == 0 || pRows == nullptr)
        return false;
    const ULONGLONG ullRow = static_cast<ULONGLONG>(m_dwWidth) * m_dwBytesPerPixel;
    if (dwRows == 0)
        return true;
    // The kernels walk with 32-bit signed offsets: the band must lie within them.
    if (static_cast<LONG>(dwStride) < 0 || (dwRows > 1 && dwStride < ullRow))
        return false;
    return static_cast<ULONGLONG>(dwRows - 1) * dwStride + ullRow <= 0x7FFFFFFFull;
}

HRESULT CTonwellRows::AddRows(const BYTE* pRows, DWORD dwRows, DWORD dwStride)
{
    if (!BandUsable(pRows, dwRows, dwStride))
        return E_INVALIDARG;
    if (m_bDecided)
        return E_UNEXPECTED;
    if (dwRows == 0)
        return S_OK;
    ULONGLONG band[256];
    // The kernels only read through a histogram pass.
    const tonwell::kernels::PixelBuffer buffer{const_cast<BYTE*>(pRows), m_dwWidth, dwRows, dwStride,
                                               m_dwBytesPerPixel};
    tonwell::kernels::Histogram(buffer, band);
    for (int i = 0; i < 256; ++i)
        m_Histogram[i] += band[i];
    return S_OK;
}

HRESULT CTonwellRows::Decide(ExposureDecision* pDecision)
{
    TraceScope scope(0, 0, "CTonwell::ClassifyExposureType", TRACE_FLAG_SCOPE, TRACE_MASK_METHODS, 0,
                     FormatTraceW(u"CTonwell::ClassifyExposureType()"));
    if (m_dwBytesPerPixel == 0 || m_dwWidth == 0)
        return E_INVALIDARG;
    if (pDecision == nullptr)
        return E_POINTER;
    tonwell::stats::DecideFromHistogram(m_Histogram, m_dStrength, pDecision);
    tonwell::stats::TraceDecision(*pDecision);
    m_dwBytesMapped = tonwell::stats::CorrectionTable(*pDecision, m_dwBytesPerPixel, m_Table);
    m_bDecided = TRUE;
    return S_OK;
}

HRESULT CTonwellRows::ApplyRows(BYTE* pRows, DWORD dwRows, DWORD dwStride)
{
    if (!BandUsable(pRows, dwRows, dwStride))
        return E_INVALIDARG;
    if (!m_bDecided)
        return E_UNEXPECTED;
    if (m_dwBytesMapped == 0)
        return S_FALSE;
    const tonwell::kernels::PixelBuffer buffer{pRows, m_dwWidth, dwRows, dwStride, m_dwBytesPerPixel};
    tonwell::kernels::MapBytes(buffer, m_Table, m_dwBytesMapped);
    return S_OK;
}
