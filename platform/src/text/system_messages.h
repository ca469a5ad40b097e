// The system's message texts, one table for every status code the platform reports.
#pragma once

#include <windef.h>

namespace tonwell::platform::text {

// The text for a Win32 error code or an HRESULT, with the "\r\n" that ends
// every system message, or null when the system has none. An HRESULT of
// FACILITY_WIN32 has the text of its Win32 code.
const char* FindSystemMessage(DWORD dwMessageId);

} // namespace tonwell::platform::text
