// ASCII test text as the platform's UTF-16 strings: each char becomes one unit, so only
// 7-bit text belongs here (real conversions go through the platform's codec).
#pragma once

#include <string>

namespace tonwell::test {

inline std::u16string Wide(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

} // namespace tonwell::test
