// Character case, stepping and comparison of NUL-terminated strings. 8-bit
// strings are in the ANSI code page, UTF-8 here: a letter whose other case has
// a different encoded length is left as it is, so conversions stay in place.
#include <winnls.h>

#include "text/utf.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <type_traits>

using namespace tonwell::platform::text;

namespace {

bool IsSingleCharacter(const void* p) { return (reinterpret_cast<uintptr_t>(p) >> 16) == 0; }

// Maps each character in place; one whose mapping takes another number of
// units, and anything that is not a character, stays as it is.
template <char32_t (*Map)(char32_t), class C>
DWORD MapInPlace(C* s, size_t n)
{
    size_t i = 0;
    while (i < n) {
        char32_t cp;
        bool ok;
        size_t len = Decode(s + i, n - i, cp, ok);
        C units[4];
        if (ok && Map(cp) != cp && Encode(Map(cp), units) == len)
            std::copy(units, units + len, s + i);
        i += len;
    }
    return DWORD(n);
}

template <char32_t (*Map)(char32_t)>
LPSTR CharMapA(LPSTR lpsz)
{
    if (IsSingleCharacter(lpsz)) {
        // Only the low byte is a character; a lone byte above 0x7F is not one in UTF-8.
        auto c = static_cast<unsigned char>(reinterpret_cast<uintptr_t>(lpsz) & 0xFF);
        char32_t mapped = c < 0x80 ? Map(c) : c;
        return reinterpret_cast<LPSTR>(static_cast<uintptr_t>(mapped));
    }
    MapInPlace<Map>(lpsz, std::strlen(lpsz));
    return lpsz;
}

template <char32_t (*Map)(char32_t)>
LPWSTR CharMapW(LPWSTR lpsz)
{
    if (IsSingleCharacter(lpsz)) {
        auto c = static_cast<char16_t>(reinterpret_cast<uintptr_t>(lpsz) & 0xFFFF);
        char32_t mapped = (c >= 0xD800 && c <= 0xDFFF) ? c : Map(c);
        if (mapped > 0xFFFF)
            mapped = c;
        return reinterpret_cast<LPWSTR>(static_cast<uintptr_t>(mapped));
    }
    size_t n = 0;
    while (lpsz[n])
        ++n;
    MapInPlace<Map>(lpsz, n);
    return lpsz;
}

template <typename Ch>
int Compare(const Ch* a, const Ch* b, bool ignoreCase)
{
    // A null string orders before every other string, as on the platform.
    if (!a || !b)
        return a == b ? 0 : (a ? 1 : -1);
    for (;; ++a, ++b) {
        char32_t ca = static_cast<std::make_unsigned_t<Ch>>(*a);
        char32_t cb = static_cast<std::make_unsigned_t<Ch>>(*b);
        // 8-bit strings get here only when they are not UTF-8 text: their
        // ASCII letters still fold, the other bytes compare as they are.
        if (ignoreCase && (sizeof(Ch) == 2 || ca < 0x80))
            ca = FoldUnit(char16_t(ca));
        if (ignoreCase && (sizeof(Ch) == 2 || cb < 0x80))
            cb = FoldUnit(char16_t(cb));
        if (ca != cb)
            return ca < cb ? -1 : 1;
        if (!*a)
            return 0;
    }
}

template <typename Ch>
Ch* CopyBounded(Ch* dest, const Ch* source, int maxLength)
{
    if (!dest || !source || maxLength <= 0)
        return dest;
    int i = 0;
    for (; i < maxLength - 1 && source[i]; ++i)
        dest[i] = source[i];
    dest[i] = 0;
    return dest;
}

} // namespace

LPSTR WINAPI CharUpperA(LPSTR lpsz) { return CharMapA<ToUpper>(lpsz); }
LPSTR WINAPI CharLowerA(LPSTR lpsz) { return CharMapA<ToLower>(lpsz); }
LPWSTR WINAPI CharUpperW(LPWSTR lpsz) { return CharMapW<ToUpper>(lpsz); }
LPWSTR WINAPI CharLowerW(LPWSTR lpsz) { return CharMapW<ToLower>(lpsz); }

DWORD WINAPI CharUpperBuffA(LPSTR lpsz, DWORD cchLength) { return lpsz ? MapInPlace<ToUpper>(lpsz, cchLength) : 0; }
DWORD WINAPI CharLowerBuffA(LPSTR lpsz, DWORD cchLength) { return lpsz ? MapInPlace<ToLower>(lpsz, cchLength) : 0; }
DWORD WINAPI CharUpperBuffW(LPWSTR lpsz, DWORD cchLength) { return lpsz ? MapInPlace<ToUpper>(lpsz, cchLength) : 0; }
DWORD WINAPI CharLowerBuffW(LPWSTR lpsz, DWORD cchLength) { return lpsz ? MapInPlace<ToLower>(lpsz, cchLength) : 0; }

LPSTR WINAPI CharNextA(LPCSTR lpsz)
{
    if (!lpsz)
        return nullptr;
    if (!*lpsz)
        return const_cast<LPSTR>(lpsz);
    // Never step past the terminator, even inside a truncated sequence.
    auto* p = reinterpret_cast<const unsigned char*>(lpsz);
    size_t avail = 1;
    while (avail < 4 && p[avail])
        ++avail;
    char32_t cp;
    bool ok;
    return const_cast<LPSTR>(lpsz + DecodeUtf8(p, avail, cp, ok));
}

LPSTR WINAPI CharPrevA(LPCSTR lpszStart, LPCSTR lpszCurrent)
{
    if (!lpszStart || !lpszCurrent || lpszCurrent <= lpszStart)
        return const_cast<LPSTR>(lpszStart);
    // Step back to the start of the character that ends just before lpszCurrent.
    const char* p = lpszStart;
    const char* prev = lpszStart;
    while (p < lpszCurrent) {
        prev = p;
        const char* next = CharNextA(p);
        if (next == p)
            break;
        p = next;
    }
    return const_cast<LPSTR>(prev);
}

LPWSTR WINAPI CharNextW(LPCWSTR lpsz)
{
    if (!lpsz)
        return nullptr;
    if (!*lpsz)
        return const_cast<LPWSTR>(lpsz);
    return const_cast<LPWSTR>(lpsz + 1);
}

int WINAPI lstrlenA(LPCSTR lpString) { return lpString ? int(std::strlen(lpString)) : 0; }

int WINAPI lstrlenW(LPCWSTR lpString)
{
    if (!lpString)
        return 0;
    int n = 0;
    while (lpString[n])
        ++n;
    return n;
}

int WINAPI lstrcmpA(LPCSTR lpString1, LPCSTR lpString2) { return Compare(lpString1, lpString2, false); }
int WINAPI lstrcmpW(LPCWSTR lpString1, LPCWSTR lpString2) { return Compare(lpString1, lpString2, false); }
// Text compares as its UTF-16 form does. Strings that are not UTF-8 text
// compare by their bytes (ASCII letters folded), so that two different
// ill-formed strings never compare equal as they would through U+FFFD.
int WINAPI lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2)
{
    if (!lpString1 || !lpString2)
        return Compare(lpString1, lpString2, true);
    try {
        std::u16string a, b;
        if (Utf8ToUtf16(lpString1, a, Invalid::Refuse) && Utf8ToUtf16(lpString2, b, Invalid::Refuse))
            return lstrcmpiW(a.c_str(), b.c_str());
    } catch (...) {
        // Without memory for the conversion the strings still compare, by their bytes.
    }
    return Compare(lpString1, lpString2, true);
}
int WINAPI lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2) { return Compare(lpString1, lpString2, true); }

LPSTR WINAPI lstrcpynA(LPSTR lpString1, LPCSTR lpString2, int iMaxLength)
{
    return CopyBounded(lpString1, lpString2, iMaxLength);
}

LPWSTR WINAPI lstrcpynW(LPWSTR lpString1, LPCWSTR lpString2, int iMaxLength)
{
    return CopyBounded(lpString1, lpString2, iMaxLength);
}
