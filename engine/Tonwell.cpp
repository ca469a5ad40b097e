// Analysis and dispatch: histogram, statistics, classification and Fix.
#include "Tonwell.h"

#include "TonwellKernels.h"
#include "TonwellStatistics.h"

namespace {

// Single-precision fractions widened to double: the classification depends on
// these exact values, not on the decimal ones.
const double c_PercentileFractions[6] = {
    static_cast<double>(0.01f), static_cast<double>(0.05f), static_cast<double>(0.20f),
    static_cast<double>(0.80f), static_cast<double>(0.95f), static_cast<double>(0.99f),
};

const double c_LowContrastScale = 2.618;
const LONG c_BrightCentroid = 200;
const LONG c_DarkCentroid = 98;

} // namespace

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
    TraceScope scope(0, 0, "CTonwell::CTonwell", 0x8, 0x1, 0, FormatTraceW(u"CTonwell::CTonwell()"));
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
        TraceScope scope(0, 0, "CTonwell::~CTonwell", 0x8, 0x1, 0, FormatTraceW(u"CTonwell::~CTonwell()"));
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

void CTonwell::FillHistogram()
{
    const tonwell::kernels::PixelBuffer buffer{m_pImage, m_dwWidth, m_dwHeight, m_dwStride, m_dwBytesPerPixel};
    tonwell::kernels::Histogram(buffer, m_Histogram);
    m_bHistogramValid = TRUE;
}

HRESULT CTonwell::GetHistogram()
{
    TraceScope scope(0, 0, "CTonwell::GetHistogram", 0x8, 0x1, 0, FormatTraceW(u"CTonwell::GetHistogram()"));
    if (m_pImage == nullptr)
        return E_INVALIDARG;
    FillHistogram();
    return S_OK;
}

void CTonwell::ComputeStatistics(ExposureStatistics* pStats) const
{
    LONGLONG llTotal = 0;
    LONGLONG llWeighted = 0;
    for (LONG i = 0; i < tonwell::stats::c_BandBins; ++i) {
        llTotal += static_cast<LONGLONG>(m_Histogram[i]);
        llWeighted += static_cast<LONGLONG>(i) * static_cast<LONGLONG>(m_Histogram[i]);
    }

    const tonwell::stats::BandEdges edges = tonwell::stats::ComputeEdges(m_Histogram, c_PercentileFractions);

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

    pStats->lCentroid = lCentroid;
    pStats->dScale = edges.dScale;
    pStats->lLowEdge = edges.lLowEdge;
    pStats->lHighEdge = edges.lHighEdge;
    pStats->lMidPoint = edges.lMidPoint;
    pStats->type = type;
}

HRESULT CTonwell::ClassifyExposureType(ExposureType* pType)
{
    TraceScope scope(0, 0, "CTonwell::ClassifyExposureType", 0x8, 0x1, 0,
                     FormatTraceW(u"CTonwell::ClassifyExposureType()"));
    if (m_pImage == nullptr)
        return E_INVALIDARG;
    // A null out pointer would be written through; refuse it rather than crash.
    if (pType == nullptr)
        return E_POINTER;
    if (!m_bHistogramValid)
        GetHistogram();

    ExposureStatistics stats;
    ComputeStatistics(&stats);
    *pType = stats.type;

    if (g_TraceSettings.TraceFlags & 0x4) {
        DispatchTraceRecord(0, 0, "CTonwell::ClassifyExposureType", 0x4,
                            FormatTraceW(u"Centroid = %d, Scale = %f, LowEdge = %d, HighEdge = %d, Type = %d",
                                         stats.lCentroid, stats.dScale, stats.lLowEdge, stats.lHighEdge,
                                         static_cast<LONG>(stats.type)));
    }
    return S_OK;
}

HRESULT CTonwell::GetStatistics(ExposureStatistics* pStats)
{
    if (pStats == nullptr)
        return E_POINTER;
    if (m_pImage == nullptr)
        return E_INVALIDARG;
    if (!m_bHistogramValid)
        FillHistogram();
    ComputeStatistics(pStats);
    return S_OK;
}

namespace {

void TraceFixError(const char16_t* pszFormat, HRESULT hr)
{
    if (g_TraceSettings.TraceFlags & 0x1) {
        TraceRecord* pRecord = FormatTraceW(pszFormat, hr);
        AppendHResultText(hr, pRecord);
        DispatchTraceRecord(0, 0, "CTonwell::Fix", 0x1, pRecord);
    }
}

} // namespace

HRESULT CTonwell::Fix(DWORD dwMode)
{
    TraceScope scope(0, 0, "CTonwell::Fix", 0x8, 0x1, 0, FormatTraceW(u"CTonwell::Fix()"));
    if (m_pImage == nullptr)
        return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);

    if (dwMode != 0) {
        if (dwMode == 2)
            return TonwellWithGammaCurve(ExposureDark);
        if (dwMode == 3)
            return TonwellWithGammaCurve(ExposureBright);
        return AutoBalance();
    }

    ExposureType type = ExposureNormal;
    HRESULT hr = ClassifyExposureType(&type);
    if (hr != S_OK) {
        TraceFixError(u"Error returned from ClassifyExposureType() hr=0x%lX", hr);
        return hr;
    }

    if (type == ExposureLowContrast) {
        hr = AutoBalance();
        if (hr != S_OK)
            TraceFixError(u"Error returned from AutoBalance() hr=0x%lX", hr);
    } else {
        hr = TonwellWithGammaCurve(type);
        if (hr != S_OK)
            TraceFixError(u"Error returned from TonwellWithGammaCurve() hr=0x%lX", hr);
    }
    return hr;
}
