// The StringCch*Printf* exports over the platform's one formatter.
#include <strsafe.h>

#include "text/format.h"

using namespace tonwell::platform::text;

namespace {

constexpr DWORD kKnownFlags = STRSAFE_IGNORE_NULLS | STRSAFE_NULL_ON_FAILURE | STRSAFE_NO_TRUNCATION;

template <class C>
HRESULT PrintfEx(C* dest, size_t cchDest, C** destEnd, size_t* remaining, DWORD flags, const C* format, va_list args)
{
    if (destEnd)
        *destEnd = nullptr;
    if (remaining)
        *remaining = 0;
    if (!dest || cchDest == 0 || cchDest > STRSAFE_MAX_CCH || (flags & ~kKnownFlags) ||
        (!format && !(flags & STRSAFE_IGNORE_NULLS))) {
        if (dest && cchDest && cchDest <= STRSAFE_MAX_CCH)
            dest[0] = 0;
        return STRSAFE_E_INVALID_PARAMETER;
    }
    FormatOutput<C> out(dest, cchDest);
    va_list ap;
    va_copy(ap, args);
    VaListArguments source(ap);
    // Writing into a buffer allocates nothing; nothing here can throw.
    Format(out, format, source, FormatMode::Lenient);
    va_end(ap);
    size_t written = out.Finish();
    HRESULT hr = out.Cut() ? STRSAFE_E_INSUFFICIENT_BUFFER : S_OK;
    if (FAILED(hr) && (flags & (STRSAFE_NULL_ON_FAILURE | STRSAFE_NO_TRUNCATION))) {
        dest[0] = 0;
        written = 0;
    }
    if (destEnd)
        *destEnd = dest + written;
    if (remaining)
        *remaining = cchDest - written;
    return hr;
}

} // namespace

HRESULT WINAPI StringCchVPrintfExA(LPSTR pszDest, size_t cchDest, LPSTR* ppszDestEnd, size_t* pcchRemaining,
                                   DWORD dwFlags, LPCSTR pszFormat, va_list argList)
{
    return PrintfEx(pszDest, cchDest, ppszDestEnd, pcchRemaining, dwFlags, pszFormat, argList);
}

HRESULT WINAPI StringCchVPrintfExW(LPWSTR pszDest, size_t cchDest, LPWSTR* ppszDestEnd, size_t* pcchRemaining,
                                   DWORD dwFlags, LPCWSTR pszFormat, va_list argList)
{
    return PrintfEx(pszDest, cchDest, ppszDestEnd, pcchRemaining, dwFlags, pszFormat, argList);
}

HRESULT WINAPI StringCchVPrintfA(LPSTR pszDest, size_t cchDest, LPCSTR pszFormat, va_list argList)
{
    return PrintfEx<char>(pszDest, cchDest, nullptr, nullptr, 0, pszFormat, argList);
}

HRESULT WINAPI StringCchVPrintfW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszFormat, va_list argList)
{
    return PrintfEx<char16_t>(pszDest, cchDest, nullptr, nullptr, 0, pszFormat, argList);
}

// The variadic forms only hand their arguments on as a va_list; nothing else can be shared.
HRESULT WINAPI StringCchPrintfA(LPSTR pszDest, size_t cchDest, LPCSTR pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    HRESULT hr = StringCchVPrintfA(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return hr;
}

HRESULT WINAPI StringCchPrintfW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    HRESULT hr = StringCchVPrintfW(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return hr;
}
