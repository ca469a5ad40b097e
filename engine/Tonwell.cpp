// Analysis and dispatch: histogram, statistics, classification, the decision and Fix.
#include "Tonwell.h"

#include "TonwellKernels.h"
#include "TonwellStatistics.h"

namespace tonwell::stats {

namespace {

// Single-precision fractions widened to double: the classification and the
// stretch depend on these exact values, not on the decimal ones.
const double c_PercentileFractions[6] = {
    static_cast<double>(0.01f), static_cast<double>(0.05f), static_cast<double>(0.20f),
    static_cast<double>(0.80f), static_cast<double>(0.95f), static_cast<double>(0.99f),
};

} // namespace

BandEdges ComputeEdges(const ULONGLONG* pHistogram)
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
        const LONGLONG llTarget = static_cast<LONGLONG>(static_cast<double>(llTotal) * c_PercentileFractions[k]);
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

void DecideFromHistogram(const ULONGLONG* pHistogram, double dStrength, ExposureDecision* pDecision)
{
    LONGLONG llTotal = 0;
    LONGLONG llWeighted = 0;
    for (LONG i = 0; i < c_BandBins; ++i) {
        llTotal += static_cast<LONGLONG>(pHistogram[i]);
        llWeighted += static_cast<LONGLONG>(i) * static_cast<LONGLONG>(pHistogram[i]);
    }

    const BandEdges edges = ComputeEdges(pHistogram);

    // The 0.5 terms make an empty band come out as 1 rather than a division by zero.
    const double dCentroid = (static_cast<double>(llWeighted) + 0.5) / (static_cast<double>(llTotal) + 0.5);
    const LONG lCentroid = static_cast<LONG>(static_cast<LONGLONG>(dCentroid));

    ExposureType type;
    if (lCentroid > c_BrightCentroid)
        type = ExposureBright;
    else if (edges.dScale > c_LowContrastScale)
        type = ExposureLowContrast;
    else if (lCentroid < c_DarkCentroid && lCentroid < edges.lMidPoint)
        type = ExposureDark;
    else
        type = ExposureNormal;

    ExposureStatistics& stats = pDecision->stats;
    stats.lCentroid = lCentroid;
    stats.dScale = edges.dScale;
    stats.lLowEdge = edges.lLowEdge;
    stats.lHighEdge = edges.lHighEdge;
    stats.lMidPoint = edges.lMidPoint;
    stats.type = type;
    for (int k = 0; k < 6; ++k)
        pDecision->lPercentile[k] = edges.lPercentile[k];

    pDecision->dExponent = 0.0;
    switch (type) {
    case ExposureLowContrast:
        pDecision->correction = CorrectionStretch;
        break;
    case ExposureDark:
    case ExposureBright:
        CurveExponent(type, dStrength, &pDecision->dExponent);
        pDecision->correction = type == ExposureDark ? CorrectionBrighten : CorrectionDarken;
        break;
    case ExposureNormal:
        pDecision->correction = CurveExponent(type, dStrength, &pDecision->dExponent)
                                    ? CorrectionStrengthCurve
                                    : CorrectionNone;
        break;
    }
}

DWORD CorrectionTable(const ExposureDecision& decision, DWORD dwBytesPerPixel, BYTE* pTable)
{
    switch (decision.correction) {
    case CorrectionNone:
        return 0;
    case CorrectionStretch:
        // The mid-point and scale are those AutoBalance takes from the same histogram.
        kernels::BuildBalanceTable(decision.stats.lMidPoint, decision.stats.dScale, pTable);
        return dwBytesPerPixel;
    case CorrectionStrengthCurve:
    case CorrectionBrighten:
    case CorrectionDarken:
        break;
    }
    kernels::BuildGammaTable(decision.correction == CorrectionDarken ? ExposureBright : ExposureDark,
                             decision.dExponent, pTable);
    return 3;
}

void TraceDecision(const ExposureDecision& decision)
{
    if (g_TraceSettings.TraceFlags & TRACE_FLAG_TRACE) {
        const ExposureStatistics& stats = decision.stats;
        DispatchTraceRecord(0, 0, "CTonwell::ClassifyExposureType", TRACE_FLAG_TRACE,
                            FormatTraceW(u"Centroid = %d, Scale = %f, LowEdge = %d, HighEdge = %d, Type = %d",
                                         stats.lCentroid, stats.dScale, stats.lLowEdge, stats.lHighEdge,
                                         static_cast<LONG>(stats.type)));
    }
}

} // namespace tonwell::stats

double StrengthFromFlags(DWORD dwFlags)
{
    return static_cast<double>(static_cast<LONG>(dwFlags)) * 0.1;
}

CTonwell::CTonwell(BYTE* pImage, DWORD dwWidth, DWORD dwHeight, DWORD dwStride, DWORD dwBytesPerPixel)
    : m_Marker(0),
      m_bHistogramValid(FALSE),
      m_Histogram{},
      m_pImage(nullptr),
      m_dwBytesPerPixel(0),
      m_dwWidth(0),
      m_dwHeight(0),
      m_dwStride(0),
      m_dStrength(1.0)
{
    TraceScope scope(0, 0, "CTonwell::CTonwell", TRACE_FLAG_SCOPE, TRACE_MASK_METHODS, 0,
                     FormatTraceW(u"CTonwell::CTonwell()"));
    if (pImage != nullptr && (dwBytesPerPixel == 4 || dwBytesPerPixel == 3)) {
        m_pImage = pImage;
        m_dStrength = 1.0;
        m_dwWidth = dwWidth;
        m_dwHeight = dwHeight;
        m_dwStride = dwStride;
        m_dwBytesPerPixel = dwBytesPerPixel;
    }
}

CTonwell::~CTonwell()
{
    {
        TraceScope scope(0, 0, "CTonwell::~CTonwell", TRACE_FLAG_SCOPE, TRACE_MASK_METHODS, 0,
                         FormatTraceW(u"CTonwell::~CTonwell()"));
    }
    ReleaseTrackedObject(&m_Marker);
}

HRESULT CTonwell::SetStrength(double dStrength)
{
    // Written so that NaN is refused too.
    if (!(dStrength > 0.0))
        return E_INVALIDARG;
    m_dStrength = dStrength;
    return S_OK;
}

tonwell::kernels::PixelBuffer CTonwell::Pixels() const
{
    return {m_pImage, m_dwWidth, m_dwHeight, m_dwStride, m_dwBytesPerPixel};
}

HRESULT CTonwell::GetHistogram()
{
    TraceScope scope(0, 0, "CTonwell::GetHistogram", TRACE_FLAG_SCOPE, TRACE_MASK_METHODS, 0,
                     FormatTraceW(u"CTonwell::GetHistogram()"));
    if (m_pImage == nullptr)
        return E_INVALIDARG;
    const tonwell::kernels::PixelBuffer buffer = Pixels();
    tonwell::kernels::Histogram(buffer, m_Histogram);
    m_bHistogramValid = TRUE;
    return S_OK;
}

HRESULT CTonwell::ClassifyExposureType(ExposureType* pType)
{
    if (m_pImage != nullptr && pType == nullptr)
        return E_POINTER;
    ExposureDecision decision;
    const HRESULT hr = Decide(&decision);
    if (hr == S_OK)
        *pType = decision.stats.type;
    return hr;
}

HRESULT CTonwell::Decide(ExposureDecision* pDecision)
{
    TraceScope scope(0, 0, "CTonwell::ClassifyExposureType", TRACE_FLAG_SCOPE, TRACE_MASK_METHODS, 0,
                     FormatTraceW(u"CTonwell::ClassifyExposureType()"));
    if (m_pImage == nullptr)
        return E_INVALIDARG;
    // A null out pointer would be written through; refuse it rather than crash.
    if (pDecision == nullptr)
        return E_POINTER;
    if (!m_bHistogramValid)
        GetHistogram();

    tonwell::stats::DecideFromHistogram(m_Histogram, m_dStrength, pDecision);
    tonwell::stats::TraceDecision(*pDecision);
    return S_OK;
}

HRESULT CTonwell::GetLuminanceHistogram(ULONGLONG* pHistogram)
{
    if (m_pImage == nullptr)
        return E_INVALIDARG;
    if (pHistogram == nullptr)
        return E_POINTER;
    if (!m_bHistogramValid)
        GetHistogram();
    for (int i = 0; i < 256; ++i)
        pHistogram[i] = m_Histogram[i];
    return S_OK;
}

void DecisionToneTable(const ExposureDecision& decision, BYTE* pTable)
{
    // The same table Fix(0) and the streamed path apply; the identity where they change nothing.
    for (int i = 0; i < 256; ++i)
        pTable[i] = static_cast<BYTE>(i);
    tonwell::stats::CorrectionTable(decision, 3, pTable);
}

namespace {

void TraceFixError(const char16_t* pszFormat, HRESULT hr)
{
    if (g_TraceSettings.TraceFlags & TRACE_FLAG_ERROR) {
        TraceRecord* pRecord = FormatTraceW(pszFormat, hr);
        AppendHResultText(hr, pRecord);
        DispatchTraceRecord(0, 0, "CTonwell::Fix", TRACE_FLAG_ERROR, pRecord);
    }
}

} // namespace

HRESULT CTonwell::Fix(DWORD dwMode)
{
    TraceScope scope(0, 0, "CTonwell::Fix", TRACE_FLAG_SCOPE, TRACE_MASK_METHODS, 0,
                     FormatTraceW(u"CTonwell::Fix()"));
    if (m_pImage == nullptr)
        return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);

    if (dwMode != 0) {
        if (dwMode == 2)
            return TonwellWithGammaCurve(ExposureDark);
        if (dwMode == 3)
            return TonwellWithGammaCurve(ExposureBright);
        return AutoBalance();
    }

    ExposureDecision decision;
    HRESULT hr = Decide(&decision);
    if (hr != S_OK) {
        TraceFixError(u"Error returned from ClassifyExposureType() hr=0x%lX", hr);
        return hr;
    }

    if (decision.correction == CorrectionStretch) {
        hr = AutoBalance();
        if (hr != S_OK)
            TraceFixError(u"Error returned from AutoBalance() hr=0x%lX", hr);
        return hr;
    }
    // CorrectionNone too goes through the curve, which answers it with S_FALSE
    // (and so with its scope and the error line that hosts know).
    ExposureType curve = ExposureNormal;
    if (decision.correction == CorrectionBrighten)
        curve = ExposureDark;
    else if (decision.correction == CorrectionDarken)
        curve = ExposureBright;
    hr = TonwellWithGammaCurve(curve);
    if (hr != S_OK)
        TraceFixError(u"Error returned from TonwellWithGammaCurve() hr=0x%lX", hr);
    return hr;
}
