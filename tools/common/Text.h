// UTF-8 and UTF-16 text for the host, converted by the platform's one codec
// (MultiByteToWideChar / WideCharToMultiByte), and GUIDs as text by its
// StringFromGUID2. Thread-safe.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace tonwell::tools {

// Ill-formed input never fails: each maximal ill-formed sequence (or unpaired
// surrogate) becomes one U+FFFD, as the platform's codec replaces it.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

// False when the input is not well-formed (a UTF-8 sequence, or a lone
// surrogate in UTF-16): nothing is replaced.
bool WidenExactly(std::string_view text, std::u16string& wide);
bool NarrowExactly(std::u16string_view text, std::string& narrow);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case digits.
std::string GuidText(const GUID& guid);

} // namespace tonwell::tools
