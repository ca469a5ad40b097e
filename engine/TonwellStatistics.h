// The rules shared by the analysis, the decision and the corrections: the
// percentile search and edges, and the choice of the curve's exponent.
#pragma once

#include <windows.h>

namespace tonwell::stats {

// Luminance bins 250..255 are counted but take part in no statistic.
constexpr LONG c_BandBins = 250;

struct BandEdges {
    LONG lPercentile[6];
    LONG lLowEdge;
    LONG lHighEdge;
    LONG lMidPoint;
    double dScale;
};

// Percentiles (1, 5, 20, 80, 95 and 99 %), edges, mid-point and scale of the
// band of a 256-bin histogram.
BandEdges ComputeEdges(const ULONGLONG* pHistogram);

// The exponent of the curve TonwellWithGammaCurve(dwType) applies at strength
// dStrength; false when that call has nothing to do (the strength curve below
// 1.05).
bool CurveExponent(DWORD dwType, double dStrength, double* pExponent);

} // namespace tonwell::stats
