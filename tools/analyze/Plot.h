// The picture `tonwell analyze --plot` draws of one decision: the luminance
// histogram before and after the correction over the band, the percentiles,
// edges, centroid and mid-point, the tone curve, both photos and the
// classification in words. Drawn with cairo. Thread-safe (nothing shared).
#pragma once

#include "Tonwell.h"
#include "imageio/Image.h"

#include <string>

namespace tonwell::tools {

struct PlotInput {
    std::string title;              // the photo's name
    ExposureDecision decision;      // the engine's decision for the photo
    ULONGLONG before[256];          // luminance histogram of the photo
    ULONGLONG after[256];           // and of the corrected photo
    BYTE curve[256];                // the tone table the correction applies
    const imageio::Image* original; // the photo and the corrected photo
    const imageio::Image* corrected;
};

// Writes the picture as a PNG to path, whole or not at all
// (imageio::OutputFile). Throws imageio::ImageError.
void WritePlot(const PlotInput& input, const std::string& path);

// Releases the font caches that cairo and fontconfig keep for the whole process once text
// is drawn, so that nothing of a plot outlives the command (and a leak checker finds
// nothing). Call it only when no plot is being drawn on any thread.
void ReleasePlotResources();

} // namespace tonwell::tools
