/* UTF-8 <-> UTF-16 for C++ code outside the platform (tools, tests), as
 * std::string and std::u16string. Inline wrappers over the platform's own
 * conversions (MultiByteToWideChar, WideCharToMultiByte), so that every
 * conversion in the system goes through its one codec; not part of the
 * platform's Windows API.
 *
 * Lenient forms replace ill-formed text (bytes that are not UTF-8, unpaired
 * surrogates) with U+FFFD, as the platform does by default. Strict forms
 * return false for it instead, and leave `out` empty. Empty input gives empty
 * output. Input above INT_MAX units throws std::length_error; allocation
 * failure throws std::bad_alloc. Safe from any thread. */
#ifndef TONWELL_TEXT_H
#define TONWELL_TEXT_H

#include "winnls.h"

#include <climits>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tonwell::text {

inline bool Utf8ToUtf16(std::string_view in, std::u16string& out, bool strict)
{
    out.clear();
    if (in.empty())
        return true;
    if (in.size() > static_cast<size_t>(INT_MAX))
        throw std::length_error("text too long to convert");
    DWORD flags = strict ? MB_ERR_INVALID_CHARS : 0;
    int units = MultiByteToWideChar(CP_UTF8, flags, in.data(), static_cast<int>(in.size()), nullptr, 0);
    if (units <= 0)
        return false;
    out.resize(static_cast<size_t>(units));
    if (MultiByteToWideChar(CP_UTF8, flags, in.data(), static_cast<int>(in.size()), out.data(), units) != units) {
        out.clear();
        return false;
    }
    return true;
}

inline bool Utf16ToUtf8(std::u16string_view in, std::string& out, bool strict)
{
    out.clear();
    if (in.empty())
        return true;
    if (in.size() > static_cast<size_t>(INT_MAX))
        throw std::length_error("text too long to convert");
    DWORD flags = strict ? WC_ERR_INVALID_CHARS : 0;
    int bytes = WideCharToMultiByte(CP_UTF8, flags, in.data(), static_cast<int>(in.size()), nullptr, 0, nullptr,
                                    nullptr);
    if (bytes <= 0)
        return false;
    out.resize(static_cast<size_t>(bytes));
    if (WideCharToMultiByte(CP_UTF8, flags, in.data(), static_cast<int>(in.size()), out.data(), bytes, nullptr,
                            nullptr) != bytes) {
        out.clear();
        return false;
    }
    return true;
}

inline std::u16string Utf8ToUtf16(std::string_view in)
{
    std::u16string out;
    Utf8ToUtf16(in, out, false);
    return out;
}

inline std::string Utf16ToUtf8(std::u16string_view in)
{
    std::string out;
    Utf16ToUtf8(in, out, false);
    return out;
}

} // namespace tonwell::text

#endif
