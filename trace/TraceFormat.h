// The trace formatters' bounded printf, for 8-bit and UTF-16 formats alike: the
// platform's StringCchVPrintfEx (<strsafe.h>) with the runtime's conventions
// the trace lines rely on ("l" means 32 bits, "%hs"/"%ls" name the string
// width, "%s" is the format's own, "%p" is every digit in upper case).
#pragma once

#include <windows.h>

#include <cstdarg>
#include <cstddef>

namespace tonwell::trace {

// Formats into pszBuffer (cchBuffer units, terminator included); output that
// does not fit is cut on a whole character. Returns the units written.
size_t FormatTextA(char* pszBuffer, size_t cchBuffer, const char* pszFormat, va_list args);
size_t FormatTextW(char16_t* pszBuffer, size_t cchBuffer, const char16_t* pszFormat, va_list args);

size_t FormatTextA(char* pszBuffer, size_t cchBuffer, const char* pszFormat, ...);
size_t FormatTextW(char16_t* pszBuffer, size_t cchBuffer, const char16_t* pszFormat, ...);

} // namespace tonwell::trace
