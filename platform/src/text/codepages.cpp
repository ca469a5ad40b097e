// Conversions between the 8-bit code pages and UTF-16. Every 8-bit code page
// this system offers is UTF-8: the ANSI and OEM pages are UTF-8 here.
#include <errhandlingapi.h>
#include <winnls.h>

#include "text/utf.h"

#include <cstring>

using namespace tonwell::platform::text;

namespace {

enum class Page { Utf8, Ansi, Unsupported };

Page Classify(UINT codePage)
{
    switch (codePage) {
    case CP_UTF8:
        return Page::Utf8;
    case CP_ACP:
    case CP_OEMCP:
    case CP_THREAD_ACP:
        return Page::Ansi;
    default:
        return Page::Unsupported;
    }
}

int Fail(DWORD error)
{
    SetLastError(error);
    return 0;
}

} // namespace

UINT WINAPI GetACP(void) { return CP_UTF8; }
UINT WINAPI GetOEMCP(void) { return CP_UTF8; }

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar)
{
    Page page = Classify(CodePage);
    if (page == Page::Unsupported)
        return Fail(ERROR_INVALID_PARAMETER);
    if (!lpMultiByteStr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
        (cchWideChar > 0 && !lpWideCharStr))
        return Fail(ERROR_INVALID_PARAMETER);
    // UTF-8 takes no flag but MB_ERR_INVALID_CHARS; the ANSI page, as a real
    // ANSI page would, also accepts the composition flags, which change nothing here.
    DWORD allowed = MB_ERR_INVALID_CHARS;
    if (page == Page::Ansi)
        allowed |= MB_PRECOMPOSED | MB_COMPOSITE | MB_USEGLYPHCHARS;
    if ((dwFlags & ~allowed) != 0 || (dwFlags & (MB_PRECOMPOSED | MB_COMPOSITE)) == (MB_PRECOMPOSED | MB_COMPOSITE))
        return Fail(ERROR_INVALID_FLAGS);

    size_t n = cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : size_t(cbMultiByte);
    auto* src = reinterpret_cast<const unsigned char*>(lpMultiByteStr);
    bool strict = (dwFlags & MB_ERR_INVALID_CHARS) != 0;
    size_t written = 0;
    size_t i = 0;
    while (i < n) {
        char32_t cp;
        bool ok;
        i += DecodeUtf8(src + i, n - i, cp, ok);
        if (!ok && strict)
            return Fail(ERROR_NO_UNICODE_TRANSLATION);
        size_t len = Utf16Length(cp);
        if (cchWideChar > 0) {
            if (written + len > size_t(cchWideChar))
                return Fail(ERROR_INSUFFICIENT_BUFFER);
            EncodeUtf16(cp, lpWideCharStr + written);
        }
        written += len;
        if (written > 0x7FFFFFFF)
            return Fail(ERROR_INVALID_PARAMETER);
    }
    return int(written);
}

int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                               LPBOOL lpUsedDefaultChar)
{
    Page page = Classify(CodePage);
    if (page == Page::Unsupported)
        return Fail(ERROR_INVALID_PARAMETER);
    if (!lpWideCharStr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
        (cbMultiByte > 0 && !lpMultiByteStr))
        return Fail(ERROR_INVALID_PARAMETER);
    DWORD allowed = WC_ERR_INVALID_CHARS;
    if (page == Page::Utf8) {
        // As on the platform, UTF-8 has no default character.
        if (lpDefaultChar || lpUsedDefaultChar)
            return Fail(ERROR_INVALID_PARAMETER);
    } else {
        allowed |= WC_COMPOSITECHECK | WC_DISCARDNS | WC_SEPCHARS | WC_DEFAULTCHAR | WC_NO_BEST_FIT_CHARS;
    }
    if ((dwFlags & ~allowed) != 0)
        return Fail(ERROR_INVALID_FLAGS);

    size_t n = 0;
    if (cchWideChar == -1) {
        while (lpWideCharStr[n])
            ++n;
        ++n;
    } else {
        n = size_t(cchWideChar);
    }
    bool strict = (dwFlags & WC_ERR_INVALID_CHARS) != 0;
    bool replaced = false;
    size_t written = 0;
    size_t i = 0;
    while (i < n) {
        char32_t cp;
        bool ok;
        i += DecodeUtf16(lpWideCharStr + i, n - i, cp, ok);
        if (!ok) {
            if (strict)
                return Fail(ERROR_NO_UNICODE_TRANSLATION);
            replaced = true;
        }
        size_t len = Utf8Length(cp);
        if (cbMultiByte > 0) {
            if (written + len > size_t(cbMultiByte))
                return Fail(ERROR_INSUFFICIENT_BUFFER);
            EncodeUtf8(cp, lpMultiByteStr + written);
        }
        written += len;
        if (written > 0x7FFFFFFF)
            return Fail(ERROR_INVALID_PARAMETER);
    }
    if (lpUsedDefaultChar)
        *lpUsedDefaultChar = replaced ? TRUE : FALSE;
    return int(written);
}
