#include "text.h"

namespace tonwell::platform::regtext {
namespace {

void AppendUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string Encode(std::u16string_view s, bool keepLoneSurrogates)
{
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        char32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF && !keepLoneSurrogates) {
            c = 0xFFFD;
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::u16string Decode(std::string_view s, bool acceptSurrogates)
{
    std::u16string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        unsigned char b = static_cast<unsigned char>(s[i]);
        char32_t cp;
        size_t n;
        if (b < 0x80) {
            cp = b;
            n = 1;
        } else if (b >= 0xC2 && b <= 0xDF) {
            cp = b & 0x1F;
            n = 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            cp = b & 0x0F;
            n = 3;
        } else if (b >= 0xF0 && b <= 0xF4) {
            cp = b & 0x07;
            n = 4;
        } else {
            out += u'\xFFFD';
            ++i;
            continue;
        }
        bool ok = i + n <= s.size();
        for (size_t k = 1; ok && k < n; ++k) {
            unsigned char cb = static_cast<unsigned char>(s[i + k]);
            if ((cb & 0xC0) != 0x80)
                ok = false;
            else
                cp = (cp << 6) | (cb & 0x3F);
        }
        if (ok) {
            // Overlong forms and out-of-range values are malformed.
            if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
                ok = false;
            else if (cp >= 0xD800 && cp <= 0xDFFF && !acceptSurrogates)
                ok = false;
        }
        if (!ok) {
            out += u'\xFFFD';
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
        i += n;
    }
    return out;
}

} // namespace

std::string ToStorage(std::u16string_view s) { return Encode(s, true); }
std::u16string FromStorage(std::string_view s) { return Decode(s, true); }
std::string Utf16ToUtf8(std::u16string_view s) { return Encode(s, false); }
std::u16string Utf8ToUtf16(std::string_view s) { return Decode(s, false); }

char16_t Upcase(char16_t c)
{
    if (c < 0x80)
        return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
    auto odd = [](char16_t x) { return (x & 1) != 0; };
    if (c == 0xB5)
        return 0x39C;
    if ((c >= 0xE0 && c <= 0xFE && c != 0xF7))
        return static_cast<char16_t>(c - 0x20);
    if (c == 0xFF)
        return 0x178;
    if ((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177))
        return odd(c) ? static_cast<char16_t>(c - 1) : c;
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E))
        return odd(c) ? c : static_cast<char16_t>(c - 1);
    if ((c >= 0x3B1 && c <= 0x3C1) || (c >= 0x3C3 && c <= 0x3CB))
        return static_cast<char16_t>(c - 0x20);
    if (c == 0x3C2)
        return 0x3A3;
    if (c == 0x3AC)
        return 0x386;
    if (c >= 0x3AD && c <= 0x3AF)
        return static_cast<char16_t>(c - 0x25);
    if (c == 0x3CC)
        return 0x38C;
    if (c == 0x3CD || c == 0x3CE)
        return static_cast<char16_t>(c - 0x3F);
    if (c >= 0x430 && c <= 0x44F)
        return static_cast<char16_t>(c - 0x20);
    if (c >= 0x450 && c <= 0x45F)
        return static_cast<char16_t>(c - 0x50);
    if ((c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF) || (c >= 0x4D0 && c <= 0x52F))
        return odd(c) ? static_cast<char16_t>(c - 1) : c;
    if (c >= 0x4C1 && c <= 0x4CE)
        return odd(c) ? c : static_cast<char16_t>(c - 1);
    if (c == 0x4CF)
        return 0x4C0;
    if (c >= 0x561 && c <= 0x586)
        return static_cast<char16_t>(c - 0x30);
    if ((c >= 0x1E00 && c <= 0x1E95) || (c >= 0x1EA0 && c <= 0x1EFF))
        return odd(c) ? static_cast<char16_t>(c - 1) : c;
    if (c >= 0xFF41 && c <= 0xFF5A)
        return static_cast<char16_t>(c - 0x20);
    return c;
}

std::u16string Upcase(std::u16string_view s)
{
    std::u16string out(s);
    for (auto& c : out)
        c = Upcase(c);
    return out;
}

size_t Length(const char16_t* s)
{
    size_t n = 0;
    while (s[n])
        ++n;
    return n;
}

} // namespace tonwell::platform::regtext
