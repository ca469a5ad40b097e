// Just enough JSON for one-object-per-line output.
#pragma once

#include <string>

namespace tonwell::tools {

// A JSON string literal, quotes included. File names are bytes, not always
// UTF-8: each ill-formed sequence becomes U+FFFD, written "\ufffd" as is a
// U+FFFD of the name itself. Thread-safe.
std::string JsonString(const std::string& text);

// The shortest text that reads back as the same double.
std::string JsonNumber(double value);

} // namespace tonwell::tools
