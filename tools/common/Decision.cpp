#include "common/Decision.h"

#include <cstdio>

namespace tonwell::tools {
namespace {

std::string Format(const char* format, auto... args)
{
    char text[256];
    std::snprintf(text, sizeof text, format, args...);
    return text;
}

} // namespace

const char* TypeName(ExposureType type)
{
    switch (type) {
    case ExposureNormal: return "normal";
    case ExposureLowContrast: return "low_contrast";
    case ExposureDark: return "dark";
    case ExposureBright: return "bright";
    }
    return "unknown";
}

const char* TypeWords(ExposureType type)
{
    switch (type) {
    case ExposureNormal: return "normally exposed";
    case ExposureLowContrast: return "low in contrast";
    case ExposureDark: return "dark";
    case ExposureBright: return "bright";
    }
    return "unknown";
}

const char* CorrectionName(ExposureCorrection correction)
{
    switch (correction) {
    case CorrectionNone: return "none";
    case CorrectionStrengthCurve: return "strength_curve";
    case CorrectionBrighten: return "brighten";
    case CorrectionDarken: return "darken";
    case CorrectionStretch: return "stretch";
    }
    return "unknown";
}

std::string ExplainClassification(const ExposureDecision& decision)
{
    const ExposureStatistics& s = decision.stats;
    const long centroid = s.lCentroid;
    const long mid = s.lMidPoint;
    // The thresholds are tested in the engine's order; each type names the
    // tests that led to it, with the values measured.
    const std::string scale = Format("scale %.2f %s %.3f", s.dScale,
                                     s.dScale > c_LowContrastScale ? "above" : "not above", c_LowContrastScale);
    std::string why;
    switch (s.type) {
    case ExposureBright:
        why = Format("centroid %ld above %ld", centroid, long(c_BrightCentroid));
        break;
    case ExposureLowContrast:
        why = Format("centroid %ld not above %ld; ", centroid, long(c_BrightCentroid)) + scale;
        break;
    case ExposureDark:
        why = Format("centroid %ld below %ld and below the mid-point %ld; ", centroid, long(c_DarkCentroid), mid) + scale;
        break;
    case ExposureNormal:
        why = centroid >= c_DarkCentroid
                  ? Format("centroid %ld within %ld..%ld; ", centroid, long(c_DarkCentroid), long(c_BrightCentroid))
                  : Format("centroid %ld below %ld but not below the mid-point %ld; ", centroid, long(c_DarkCentroid), mid);
        why += scale;
        break;
    }
    return std::string(TypeWords(s.type)) + ": " + why +
           Format("; edges %ld..%ld", long(s.lLowEdge), long(s.lHighEdge));
}

std::string ExplainCorrection(const ExposureDecision& decision)
{
    const ExposureStatistics& s = decision.stats;
    switch (decision.correction) {
    case CorrectionBrighten:
        return Format("brightening curve 1-(1-x)^%g", decision.dExponent);
    case CorrectionDarken:
        return Format("darkening curve x^%g", decision.dExponent);
    case CorrectionStrengthCurve:
        return Format("brightening curve 1-(1-x)^%g (the strength)", decision.dExponent);
    case CorrectionStretch:
        return Format("linear stretch x%.2f about %ld (edges %ld..%ld to 0..255)", s.dScale, long(s.lMidPoint),
                      long(s.lLowEdge), long(s.lHighEdge));
    case CorrectionNone:
        break;
    }
    return "no correction (the strength is below 1.05)";
}

std::string ExplainDecision(const ExposureDecision& decision)
{
    return ExplainClassification(decision) + "; so: " + ExplainCorrection(decision);
}

} // namespace tonwell::tools
