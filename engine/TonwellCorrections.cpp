// The two tone corrections and the percentile rules they share with the
// classification.
#include "Tonwell.h"

#include "TonwellKernels.h"
#include "TonwellStatistics.h"

namespace tonwell::stats {

BandEdges ComputeEdges(const ULONGLONG* pHistogram, const double* pFractions)
{
    BandEdges edges{};
    LONGLONG llTotal = 0;
    for (LONG i = 0; i < c_BandBins; ++i)
        llTotal += static_cast<LONGLONG>(pHistogram[i]);

    LONG* P = edges.lPercentile;
    P[0] = 0;
    P[1] = 0;
    P[4] = c_BandBins;
    P[5] = c_BandBins;

    // One scan serves all six percentiles: each search resumes where the last one
    // stopped, and an entry whose target is never met keeps its preset.
    LONG i = 0;
    LONGLONG llSum = 0;
    for (int k = 0; k < 6; ++k) {
        if (i == c_BandBins)
            continue;
        const LONGLONG llTarget = static_cast<LONGLONG>(static_cast<double>(llTotal) * pFractions[k]);
        while (i < c_BandBins) {
            if (llSum >= llTarget) {
                P[k] = i;
                break;
            }
            llSum += static_cast<LONGLONG>(pHistogram[i]);
            ++i;
        }
    }

    edges.lLowEdge = (P[1] - P[0] > 20) ? P[1] : P[0];
    const LONG lTail = P[5] - P[4];
    edges.lHighEdge = (lTail >= 5 && lTail <= 20) ? P[5] : P[4];
    edges.lMidPoint = (edges.lLowEdge + edges.lHighEdge) >> 1;
    edges.dScale = (edges.lHighEdge > edges.lLowEdge)
                       ? 255.0 / static_cast<double>(edges.lHighEdge - edges.lLowEdge)
                       : 1.0;
    return edges;
}

} // namespace tonwell::stats

namespace {

// AutoBalance keeps its own copy of the fractions, with the same values.
const double c_BalanceFractions[6] = {
    static_cast<double>(0.01f), static_cast<double>(0.05f), static_cast<double>(0.20f),
    static_cast<double>(0.80f), static_cast<double>(0.95f), static_cast<double>(0.99f),
};

const double c_CurveExponent = 2.5;
const double c_StrengthThreshold = 1.05;

} // namespace

HRESULT CTonwell::TonwellWithGammaCurve(ExposureType type)
{
    TraceScope scope(0, 0, "CTonwell::TonwellWithGammaCurve", 0x8, 0x1, 0,
                     FormatTraceW(u"CTonwell::TonwellWithGammaCurve()"));
    if (m_pImage == nullptr)
        return E_INVALIDARG;

    double dExponent = c_CurveExponent;
    if (type == ExposureNormal) {
        dExponent = m_dStrength;
        if (dExponent < c_StrengthThreshold)
            return S_FALSE;
    }

    BYTE table[256];
    tonwell::kernels::BuildGammaTable(type, dExponent, table);
    const tonwell::kernels::PixelBuffer buffer{m_pImage, m_dwWidth, m_dwHeight, m_dwStride, m_dwBytesPerPixel};
    // Colour bytes only: the fourth byte of a 4-byte pixel keeps its value.
    tonwell::kernels::MapBytes(buffer, table, 3);
    return S_OK;
}

HRESULT CTonwell::AutoBalance()
{
    TraceScope scope(0, 0, "CTonwell::AutoBalance", 0x8, 0x1, 0, FormatTraceW(u"CTonwell::AutoBalance()"));
    if (m_pImage == nullptr)
        return E_INVALIDARG;
    if (!m_bHistogramValid)
        GetHistogram();

    const tonwell::stats::BandEdges edges = tonwell::stats::ComputeEdges(m_Histogram, c_BalanceFractions);

    // The mapping depends on the byte value alone, so a table built with the same
    // double arithmetic gives the same bytes as evaluating it per byte.
    BYTE table[256];
    tonwell::kernels::BuildBalanceTable(edges.lMidPoint, edges.dScale, table);
    const tonwell::kernels::PixelBuffer buffer{m_pImage, m_dwWidth, m_dwHeight, m_dwStride, m_dwBytesPerPixel};
    tonwell::kernels::MapBytes(buffer, table, m_dwBytesPerPixel);
    return S_OK;
}
