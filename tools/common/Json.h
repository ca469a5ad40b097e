// Just enough JSON for one-object-per-line output.
#pragma once

#include <string>

namespace tonwell::tools {

// A JSON string literal, quotes included. File names are bytes, not always
// UTF-8: a byte that does not belong to a valid UTF-8 sequence becomes U+FFFD.
std::string JsonString(const std::string& text);

// The shortest text that reads back as the same double.
std::string JsonNumber(double value);

} // namespace tonwell::tools
