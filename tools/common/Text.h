// UTF-8 and UTF-16 text for the host, converted by the platform's one codec
// (MultiByteToWideChar / WideCharToMultiByte). Thread-safe.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace tonwell::tools {

// Ill-formed input never fails: each maximal ill-formed sequence (or unpaired
// surrogate) becomes one U+FFFD, as the platform's codec replaces it.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

} // namespace tonwell::tools
