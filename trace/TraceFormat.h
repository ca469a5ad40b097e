// The formatters' printf engine, for 8-bit and UTF-16 formats alike. It follows
// the platform runtime's conventions, which the trace lines rely on: "l" means
// 32 bits, "%hs"/"%ls" name the string width explicitly, "%s" is the format's
// own width, "%p" is a zero-padded upper-case pointer of the build's width.
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
