// CTonwell: the exposure-correction engine. Built over a caller's pixel buffer,
// it measures the luminance histogram, classifies the exposure and rewrites the
// pixels in place through a tone curve or a linear stretch. It never copies the
// image, allocates nothing and starts no thread.
#pragma once

#include <windows.h>

#include "TraceClient.h"

enum ExposureType : DWORD {
    ExposureNormal = 0,
    ExposureLowContrast = 1,
    ExposureDark = 2,
    ExposureBright = 3,
};

// What the classification measured; reported by hosts that show it.
struct ExposureStatistics {
    LONG lCentroid;
    double dScale;
    LONG lLowEdge;
    LONG lHighEdge;
    LONG lMidPoint;
    ExposureType type;
};

class CTonwell {
public:
    // dwBytesPerPixel is 3 (red, green, blue) or 4 (blue, green, red, x); anything
    // else, or a null buffer, makes an empty engine on which every operation fails.
    CTonwell(BYTE* pImage, DWORD dwWidth, DWORD dwHeight, DWORD dwStride, DWORD dwBytesPerPixel);
    ~CTonwell();

    CTonwell(const CTonwell&) = delete;
    CTonwell& operator=(const CTonwell&) = delete;

    HRESULT SetStrength(double dStrength);
    HRESULT GetHistogram();
    HRESULT ClassifyExposureType(ExposureType* pType);
    HRESULT GetStatistics(ExposureStatistics* pStats);
    HRESULT Fix(DWORD dwMode);
    HRESULT TonwellWithGammaCurve(ExposureType type);
    HRESULT AutoBalance();

private:
    void FillHistogram();
    void ComputeStatistics(ExposureStatistics* pStats) const;

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
