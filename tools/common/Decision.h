// The engine's decision put into words for the user: the names analyze and
// fix print, and the one-line explanation of why a photo was judged as it
// was and what is done about it. Presentation only: the decision itself is
// the engine's (CTonwell::Decide). Thread-safe.
#pragma once

#include "Tonwell.h"

#include <string>

namespace tonwell::tools {

// "normal", "low_contrast", "dark", "bright": the JSON names.
const char* TypeName(ExposureType type);
// "normally exposed", "low in contrast", "dark", "bright": for sentences.
const char* TypeWords(ExposureType type);
// "none", "strength_curve", "brighten", "darken", "stretch": the JSON names.
const char* CorrectionName(ExposureCorrection correction);

// Why: "dark: centroid 62 below 98 and below the mid-point 121; scale 1.08
// not above 2.618; edges 6..242".
std::string ExplainClassification(const ExposureDecision& decision);
// What: "brightening curve 1-(1-x)^2.5", "linear stretch x2.74 about 121
// (edges 80..173 to 0..255)", "no correction (strength below 1.05)".
std::string ExplainCorrection(const ExposureDecision& decision);
// Both, as one line: "dark (...), so: brightening curve 1-(1-x)^2.5".
std::string ExplainDecision(const ExposureDecision& decision);

} // namespace tonwell::tools
