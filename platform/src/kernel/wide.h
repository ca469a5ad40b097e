// UTF-16 <-> UTF-8 for the kernel services: the A forms take UTF-8 (the
// process code page here), POSIX takes bytes.
#pragma once

#include <windef.h>

#include <string>
#include <string_view>

namespace tonwell::platform::kernel {

// False for an unpaired surrogate (strict) unless replace is set, in which
// case it becomes U+FFFD.
bool Utf16ToUtf8(std::u16string_view in, std::string& out, bool replace = false);
// Malformed bytes become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view in);

size_t WideLength(LPCWSTR text);

} // namespace tonwell::platform::kernel
