// Percentile search and edge rules shared by the classification and AutoBalance.
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

BandEdges ComputeEdges(const ULONGLONG* pHistogram, const double* pFractions);

} // namespace tonwell::stats
