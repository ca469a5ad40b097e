#include "common/Text.h"

#include <climits>

namespace tonwell::tools {

std::u16string Utf8ToUtf16(std::string_view text)
{
    if (text.empty() || text.size() > size_t(INT_MAX))
        return {};
    const int cb = static_cast<int>(text.size());
    const int cch = MultiByteToWideChar(CP_UTF8, 0, text.data(), cb, nullptr, 0);
    if (cch <= 0)
        return {};
    std::u16string wide(static_cast<size_t>(cch), u'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), cb, wide.data(), cch);
    return wide;
}

std::string Utf16ToUtf8(std::u16string_view text)
{
    if (text.empty() || text.size() > size_t(INT_MAX))
        return {};
    const int cch = static_cast<int>(text.size());
    const int cb = WideCharToMultiByte(CP_UTF8, 0, text.data(), cch, nullptr, 0, nullptr, nullptr);
    if (cb <= 0)
        return {};
    std::string narrow(static_cast<size_t>(cb), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), cch, narrow.data(), cb, nullptr, nullptr);
    return narrow;
}

} // namespace tonwell::tools
