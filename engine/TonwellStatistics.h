// The rules shared by the analysis, the decision and the corrections: the
// percentile search and edges, the choice of the curve's exponent, the decision
// itself and the table that carries it out. CTonwell over a whole buffer and
// CTonwellRows over bands of rows both go through these, which is what makes
// their bytes the same.
#pragma once

#include "Tonwell.h"

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

// The automatic mode's decision for a 256-bin luminance histogram at strength
// dStrength (the value the engine holds: 1.0 unless set).
void DecideFromHistogram(const ULONGLONG* pHistogram, double dStrength, ExposureDecision* pDecision);

// The byte table that carries out a decision, as Fix(0) applies it through
// TonwellWithGammaCurve or AutoBalance: returns the number of bytes of each
// pixel it maps (3 for the curves, dwBytesPerPixel for the stretch), 0 for
// CorrectionNone (pTable is then left as it was).
DWORD CorrectionTable(const ExposureDecision& decision, DWORD dwBytesPerPixel, BYTE* pTable);

// The statistics line ClassifyExposureType traces.
void TraceDecision(const ExposureDecision& decision);

} // namespace tonwell::stats
