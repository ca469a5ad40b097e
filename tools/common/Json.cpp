#include "common/Json.h"

#include "common/Text.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace tonwell::tools {

std::string JsonString(const std::string& text)
{
    // Through UTF-16 and back with the platform's codec, so that what is not
    // valid UTF-8 arrives here as U+FFFD.
    const std::u16string wide = Utf8ToUtf16(text);
    std::string out = "\"";
    size_t runStart = 0;
    const auto flush = [&](size_t end) {
        out += Utf16ToUtf8(std::u16string_view(wide).substr(runStart, end - runStart));
        runStart = end + 1;
    };
    for (size_t i = 0; i < wide.size(); ++i) {
        const char16_t c = wide[i];
        const char* escape = nullptr;
        char numeric[8];
        switch (c) {
        case u'"': escape = "\\\""; break;
        case u'\\': escape = "\\\\"; break;
        case u'\b': escape = "\\b"; break;
        case u'\f': escape = "\\f"; break;
        case u'\n': escape = "\\n"; break;
        case u'\r': escape = "\\r"; break;
        case u'\t': escape = "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7F || c == 0xFFFD) {
                std::snprintf(numeric, sizeof numeric, "\\u%04x", unsigned(c));
                escape = numeric;
            }
            break;
        }
        if (escape) {
            flush(i);
            out += escape;
        }
    }
    flush(wide.size());
    out += '"';
    return out;
}

std::string JsonNumber(double value)
{
    if (!std::isfinite(value))
        return "null";
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

} // namespace tonwell::tools
