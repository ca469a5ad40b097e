// Result codes as the host shows them to its user: the one place that turns
// an HRESULT or a system error code into text. Thread-safe.
#pragma once

#include <windows.h>

#include <string>

namespace tonwell::tools {

// "0x80004005": the code alone, for machine-readable output.
std::string HResultCode(HRESULT hr);

// The system's message for a code (FormatMessage, without its line break),
// or "" when the system has none.
std::string SystemMessage(DWORD dwCode);

// "0x80004005 (Unspecified error)": the code followed by the system's message
// when it has one, else the code alone.
std::string HResultText(HRESULT hr);

} // namespace tonwell::tools
