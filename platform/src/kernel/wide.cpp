#include "wide.h"

#include "text/utf.h"

namespace tonwell::platform::kernel {

bool Utf16ToUtf8(std::u16string_view in, std::string& out, bool replace)
{
    out.clear();
    if (!replace) {
        for (size_t i = 0; i < in.size();) {
            char32_t cp;
            bool ok = true;
            i += text::DecodeUtf16(in.data() + i, in.size() - i, cp, ok);
            if (!ok)
                return false;
        }
    }
    out = text::Utf16ToUtf8(in);
    return true;
}

std::u16string Utf8ToUtf16(std::string_view in) { return text::Utf8ToUtf16(in); }

size_t WideLength(LPCWSTR text)
{
    size_t n = 0;
    while (text[n])
        ++n;
    return n;
}

} // namespace tonwell::platform::kernel
