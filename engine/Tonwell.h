// CTonwell: the exposure-correction engine. Built over a caller's pixel buffer,
// it measures the luminance histogram, classifies the exposure and rewrites the
// pixels in place through a tone curve or a linear stretch.
//
// Results are defined to the bit: every fast pixel pass gives exactly the bytes
// of the plain per-pixel walk. The engine never copies the image and allocates
// no buffer (the histogram lives in the object, the tone table on the stack).
// What it does cause to be allocated: a trace record for every scope it opens
// and every line it writes (TraceClient.h), and, once per process, whatever the
// platform needs to read TONWELL_ENGINE_PORTABLE (TonwellKernels.h).
//
// Threads: an engine belongs to one thread for its whole life and takes no
// lock; the caller keeps the buffer alive and untouched by others meanwhile.
// Separate engines on separate buffers may run on separate threads at once.
// The engine starts no thread.
#pragma once

#include <windows.h>

#include "TraceClient.h"

namespace tonwell::kernels {
struct PixelBuffer;
}

enum ExposureType : DWORD {
    ExposureNormal = 0,
    ExposureLowContrast = 1,
    ExposureDark = 2,
    ExposureBright = 3,
};

// What the classification measured over luminance bins 0..249.
struct ExposureStatistics {
    LONG lCentroid;
    double dScale;    // 255 / (high edge - low edge), or 1.0 when high <= low
    LONG lLowEdge;
    LONG lHighEdge;
    LONG lMidPoint;   // (low edge + high edge) >> 1
    ExposureType type;
};

// What the automatic mode of Fix does with an image.
enum ExposureCorrection : DWORD {
    CorrectionNone = 0,          // normal exposure and strength below 1.05: S_FALSE, no byte changes
    CorrectionStrengthCurve = 1, // normal exposure: brightening curve, exponent = the strength
    CorrectionBrighten = 2,      // dark: brightening curve, exponent 2.5
    CorrectionDarken = 3,        // bright: darkening curve, exponent 2.5
    CorrectionStretch = 4,       // low contrast: stretch by dScale about lMidPoint
};

// The whole answer of the automatic mode: the measurements, the correction they
// lead to and its parameter. Fix(0) acts on exactly this, so a caller that only
// reports (tonwell analyze) says what Fix would do.
struct ExposureDecision {
    ExposureStatistics stats;
    ExposureCorrection correction;
    double dExponent; // the curve's exponent for the three curves, 0 for the others
    // The luminance bins at which 1, 5, 20, 80, 95 and 99 % of the band's pixels
    // are reached: where the edges were chosen from.
    LONG lPercentile[6];
};

// The thresholds of the classification, for hosts that explain a decision:
// bright above c_BrightCentroid; else low in contrast when the scale is above
// c_LowContrastScale; else dark when the centroid is below c_DarkCentroid and
// below the mid-point; else normal.
inline constexpr LONG c_BrightCentroid = 200;
inline constexpr double c_LowContrastScale = 2.618;
inline constexpr LONG c_DarkCentroid = 98;
// Luminance bins 0..c_BandBins-1 make the band every statistic is taken over.
inline constexpr LONG c_BandBins = 250;

// The 256-entry table through which Fix(0) maps each byte under this decision
// (the identity for CorrectionNone): what a host draws as the tone curve.
void DecisionToneTable(const ExposureDecision& decision, BYTE* pTable);

// The strength that a component's Initialize(dwFlags) stands for: the flags read
// as a signed 32-bit number, times 0.1. Pass it to SetStrength, which refuses
// (and so leaves 1.0 for) anything not above 0.
double StrengthFromFlags(DWORD dwFlags);

class CTonwell {
public:
    // Holds pImage for the engine's whole life; rows are dwStride bytes apart
    // (a stride that reads negative as 32 bits walks upwards; offsets wrap at 32
    // bits) and the caller guarantees every byte the layout addresses.
    // dwBytesPerPixel is 3 (red, green, blue) or 4 (blue, green, red, x); anything
    // else, or a null buffer, makes an empty engine on which every operation fails.
    CTonwell(BYTE* pImage, DWORD dwWidth, DWORD dwHeight, DWORD dwStride, DWORD dwBytesPerPixel);
    ~CTonwell();

    CTonwell(const CTonwell&) = delete;
    CTonwell& operator=(const CTonwell&) = delete;

    // The exponent of the strength curve, 1.0 until set. S_OK; E_INVALIDARG for a
    // value not above 0 (NaN included), which leaves the strength as it was.
    HRESULT SetStrength(double dStrength);

    // Reads the buffer into the histogram. S_OK; E_INVALIDARG on an empty engine.
    HRESULT GetHistogram();

    // The exposure type of the buffer as it is now. S_OK; E_INVALIDARG on an
    // empty engine, E_POINTER for a null pType (nothing written on failure).
    HRESULT ClassifyExposureType(ExposureType* pType);

    // The decision the automatic mode of Fix takes for the buffer as it is now and
    // the current strength; changes no byte. S_OK; E_INVALIDARG on an empty
    // engine, E_POINTER for a null pDecision (nothing written on failure).
    // Traced as ClassifyExposureType, whose statistics line it writes.
    HRESULT Decide(ExposureDecision* pDecision);

    // The 256-bin luminance histogram of the buffer as it is now, measured when
    // needed. S_OK; E_INVALIDARG on an empty engine, E_POINTER for a null
    // pHistogram (nothing written on failure).
    HRESULT GetLuminanceHistogram(ULONGLONG* pHistogram);

    // Mode 0 corrects as Decide says: S_OK when the buffer was rewritten, S_FALSE
    // for CorrectionNone. Mode 2 forces the brightening curve, mode 3 the
    // darkening curve, any other mode the stretch (S_OK). An empty engine gives
    // HRESULT_FROM_WIN32(ERROR_INVALID_DATA) and touches nothing.
    HRESULT Fix(DWORD dwMode);

    // The tone curve through a 256-entry table over bytes 0..2 of every pixel:
    // ExposureNormal the strength curve (S_FALSE and no byte touched below 1.05),
    // ExposureBright the darkening curve, every other value the brightening one.
    // S_OK; E_INVALIDARG on an empty engine.
    HRESULT TonwellWithGammaCurve(ExposureType type);

    // The linear stretch about the mid-point over every byte of every pixel (the
    // fourth byte of 4-byte pixels too). S_OK; E_INVALIDARG on an empty engine.
    HRESULT AutoBalance();

    // After either correction the engine measures the buffer afresh on its next
    // analysis: its statistics always describe the bytes as they are.

private:
    // The caller's pixels as the kernels take them.
    tonwell::kernels::PixelBuffer Pixels() const;

    TrackedObjectMarker m_Marker;
    BOOL m_bHistogramValid;
    ULONGLONG m_Histogram[256];
    BYTE* m_pImage;
    DWORD m_dwBytesPerPixel;
    DWORD m_dwWidth;
    DWORD m_dwHeight;
    DWORD m_dwStride;
    double m_dStrength;
};

// The automatic mode of Fix for an image that is never whole in memory: the
// caller shows it the rows once, a band at a time, to measure, then once more
// to correct. The histogram, the decision and the tables are those of CTonwell
// (TonwellStatistics.h), so every byte comes out as Fix(0) of CTonwell over the
// whole image would leave it, however the rows are split into bands.
//
// Pixels as for CTonwell (3 or 4 bytes, the same channel order); a band is
// dwRows rows of dwWidth pixels, dwStride bytes apart (positive, so that the
// band walks down), and must span less than 2 GiB. No buffer is kept between
// calls and none is allocated (the histogram lives in the object). Threads as
// for CTonwell: one thread at a time, no lock, no thread started.
class CTonwellRows {
public:
    // dwBytesPerPixel other than 3 or 4, or a width of 0, makes an object on
    // which every operation fails with E_INVALIDARG.
    CTonwellRows(DWORD dwWidth, DWORD dwBytesPerPixel);

    CTonwellRows(const CTonwellRows&) = delete;
    CTonwellRows& operator=(const CTonwellRows&) = delete;

    // As CTonwell::SetStrength. Takes effect at the next Decide.
    HRESULT SetStrength(double dStrength);

    // Adds the luminance of a band to the histogram. S_OK; E_INVALIDARG for an
    // unusable object or band, E_UNEXPECTED once Decide has been called.
    HRESULT AddRows(const BYTE* pRows, DWORD dwRows, DWORD dwStride);

    // The decision for every row added so far, as CTonwell::Decide takes it;
    // from now on ApplyRows carries it out and AddRows is refused. May be called
    // again (the same answer). S_OK; E_INVALIDARG for an unusable object,
    // E_POINTER for a null pDecision. Traced as ClassifyExposureType.
    HRESULT Decide(ExposureDecision* pDecision);

    // Corrects a band in place as decided: S_OK when its bytes were rewritten,
    // S_FALSE for CorrectionNone (nothing touched). E_INVALIDARG for an
    // unusable object or band, E_UNEXPECTED before Decide.
    HRESULT ApplyRows(BYTE* pRows, DWORD dwRows, DWORD dwStride);

private:
    bool BandUsable(const BYTE* pRows, DWORD dwRows, DWORD dwStride) const;

    ULONGLONG m_Histogram[256];
    BYTE m_Table[256];
    DWORD m_dwBytesMapped; // 0: nothing to apply
    BOOL m_bDecided;
    DWORD m_dwWidth;
    DWORD m_dwBytesPerPixel;
    double m_dStrength;
};
