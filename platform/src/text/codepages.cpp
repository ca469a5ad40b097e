// Conversions between the 8-bit code pages and UTF-16. Every 8-bit code page
// this system offers is UTF-8: the ANSI and OEM pages are UTF-8 here.
#include <errhandlingapi.h>
#include <winnls.h>

#include "text/utf.h"

#include <algorithm>
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

// Converts src[0..n) into dest (cchDest units; 0 counts only). Ill-formed
// text fails under `strict`, else becomes U+FFFD and sets `replaced`.
template <class From, class To>
int Convert(const From* src, size_t n, bool strict, To* dest, int cchDest, bool& replaced)
{
    size_t written = 0;
    size_t i = 0;
    while (i < n) {
        char32_t cp;
        bool ok;
        i += Decode(src + i, n - i, cp, ok);
        if (!ok) {
            if (strict)
                return Fail(ERROR_NO_UNICODE_TRANSLATION);
            replaced = true;
        }
        To units[4];
        size_t len = Encode(cp, units);
        if (cchDest > 0) {
            if (written + len > size_t(cchDest))
                return Fail(ERROR_INSUFFICIENT_BUFFER);
            std::copy(units, units + len, dest + written);
        }
        written += len;
        if (written > 0x7FFFFFFF)
            return Fail(ERROR_INVALID_PARAMETER);
    }
    return written;
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
    bool replaced = false;
    return Convert(lpMultiByteStr, n, (dwFlags & MB_ERR_INVALID_CHARS) != 0, lpWideCharStr, cchWideChar, replaced);
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
    bool replaced = false;
    int written = Convert(lpWideCharStr, n, (dwFlags & WC_ERR_INVALID_CHARS) != 0, lpMultiByteStr, cbMultiByte,
                          replaced);
    if (written == 0)
        return 0;
    if (lpUsedDefaultChar)
        *lpUsedDefaultChar = replaced ? TRUE : FALSE;
    return written;
}
