// The two tone corrections.
#include "Tonwell.h"

#include "TonwellKernels.h"
#include "TonwellStatistics.h"

namespace tonwell::stats {

bool CurveExponent(DWORD dwType, double dStrength, double* pExponent)
{
    const double c_CurveExponent = 2.5;
    const double c_StrengthThreshold = 1.05;
    if (dwType != ExposureNormal) {
        *pExponent = c_CurveExponent;
        return true;
    }
    if (dStrength < c_StrengthThreshold)
        return false;
    *pExponent = dStrength;
    return true;
}

} // namespace tonwell::stats

HRESULT CTonwell::TonwellWithGammaCurve(ExposureType type)
{
    TraceScope scope(0, 0, "CTonwell::TonwellWithGammaCurve", TRACE_FLAG_SCOPE, TRACE_MASK_METHODS, 0,
                     FormatTraceW(u"CTonwell::TonwellWithGammaCurve()"));
    if (m_pImage == nullptr)
        return E_INVALIDARG;

    double dExponent = 0.0;
    if (!tonwell::stats::CurveExponent(type, m_dStrength, &dExponent))
        return S_FALSE;

    BYTE table[256];
    tonwell::kernels::BuildGammaTable(type, dExponent, table);
    const tonwell::kernels::PixelBuffer buffer = Pixels();
    // Colour bytes only: the fourth byte of a 4-byte pixel keeps its value.
    tonwell::kernels::MapBytes(buffer, table, 3);
    // The histogram described the bytes before the curve.
    m_bHistogramValid = FALSE;
    return S_OK;
}

HRESULT CTonwell::AutoBalance()
{
    TraceScope scope(0, 0, "CTonwell::AutoBalance", TRACE_FLAG_SCOPE, TRACE_MASK_METHODS, 0,
                     FormatTraceW(u"CTonwell::AutoBalance()"));
    if (m_pImage == nullptr)
        return E_INVALIDARG;
    if (!m_bHistogramValid)
        GetHistogram();

    const tonwell::stats::BandEdges edges = tonwell::stats::ComputeEdges(m_Histogram);

    // The mapping depends on the byte value alone, so a table built with the same
    // double arithmetic gives the same bytes as evaluating it per byte.
    BYTE table[256];
    tonwell::kernels::BuildBalanceTable(edges.lMidPoint, edges.dScale, table);
    const tonwell::kernels::PixelBuffer buffer = Pixels();
    tonwell::kernels::MapBytes(buffer, table, m_dwBytesPerPixel);
    m_bHistogramValid = FALSE;
    return S_OK;
}
