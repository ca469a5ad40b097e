// Text between the tools' UTF-8 and the platform's UTF-16, through the
// platform's one codec (MultiByteToWideChar / WideCharToMultiByte).
#pragma once

#include <string>
#include <string_view>

namespace tonwell::tools {

// Ill-formed input becomes U+FFFD.
std::u16string Widen(std::string_view text);
std::string Narrow(std::u16string_view text);

// False when the input is not well-formed (a UTF-8 sequence, or a lone
// surrogate in UTF-16): nothing is replaced.
bool WidenExactly(std::string_view text, std::u16string& wide);
bool NarrowExactly(std::u16string_view text, std::string& narrow);

} // namespace tonwell::tools
