// Text helpers of the registry and the security code: UTF-16 <-> UTF-8 and the
// one-to-one upper-casing by which names are compared.
#pragma once

#include <windef.h>

#include <string>
#include <string_view>

namespace tonwell::platform::regtext {

// Lossless: lone surrogates are carried through as their three-byte forms
// (generalised UTF-8), so every UTF-16 name survives the round trip exactly.
std::string ToStorage(std::u16string_view s);
std::u16string FromStorage(std::string_view s);

// The ANSI code page here is UTF-8. Malformed input becomes U+FFFD, as the
// platform's conversions do by default; lone surrogates become U+FFFD too.
std::u16string Utf8ToUtf16(std::string_view s);
std::string Utf16ToUtf8(std::u16string_view s);

// Simple one-to-one upper-casing: ASCII, Latin-1, Latin Extended-A, Greek,
// Cyrillic, Armenian and the full-width forms. Other characters fold to
// themselves.
char16_t Upcase(char16_t c);
std::u16string Upcase(std::u16string_view s);

// Length of a NUL-terminated UTF-16 string.
size_t Length(const char16_t* s);

} // namespace tonwell::platform::regtext
