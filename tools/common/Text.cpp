#include "common/Text.h"

#include <windows.h>

#include <climits>

namespace tonwell::tools {
namespace {

bool ToWide(std::string_view text, DWORD flags, std::u16string& wide)
{
    wide.clear();
    if (text.empty())
        return true;
    if (text.size() > INT_MAX)
        return false;
    int size = static_cast<int>(text.size());
    int cch = MultiByteToWideChar(CP_UTF8, flags, text.data(), size, nullptr, 0);
    if (cch <= 0)
        return false;
    wide.resize(static_cast<size_t>(cch));
    return MultiByteToWideChar(CP_UTF8, flags, text.data(), size, wide.data(), cch) == cch;
}

bool ToNarrow(std::u16string_view text, DWORD flags, std::string& narrow)
{
    narrow.clear();
    if (text.empty())
        return true;
    if (text.size() > INT_MAX)
        return false;
    int size = static_cast<int>(text.size());
    int cb = WideCharToMultiByte(CP_UTF8, flags, text.data(), size, nullptr, 0, nullptr, nullptr);
    if (cb <= 0)
        return false;
    narrow.resize(static_cast<size_t>(cb));
    return WideCharToMultiByte(CP_UTF8, flags, text.data(), size, narrow.data(), cb, nullptr, nullptr) == cb;
}

} // namespace

std::u16string Utf8ToUtf16(std::string_view text)
{
    std::u16string wide;
    ToWide(text, 0, wide);
    return wide;
}

std::string Utf16ToUtf8(std::u16string_view text)
{
    std::string narrow;
    ToNarrow(text, 0, narrow);
    return narrow;
}

bool WidenExactly(std::string_view text, std::u16string& wide) { return ToWide(text, MB_ERR_INVALID_CHARS, wide); }

bool NarrowExactly(std::u16string_view text, std::string& narrow)
{
    return ToNarrow(text, WC_ERR_INVALID_CHARS, narrow);
}

std::string GuidText(const GUID& guid)
{
    WCHAR szGuid[40] = {};
    const int cch = StringFromGUID2(guid, szGuid, 40);
    return cch > 1 ? Utf16ToUtf8(std::u16string_view(szGuid, size_t(cch - 1))) : "?";
}

} // namespace tonwell::tools
