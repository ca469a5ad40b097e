#include "TraceFormat.h"

#include <strsafe.h>

namespace tonwell::trace {
namespace {

template <class C, class Fn>
size_t Run(C* pszBuffer, size_t cchBuffer, const C* pszFormat, va_list args, Fn pfnPrintf)
{
    if (!pszBuffer || !cchBuffer)
        return 0;
    C* pszEnd = pszBuffer;
    va_list ap;
    va_copy(ap, args);
    // A cut line is still a line: the truncated text is kept, whatever the result.
    pfnPrintf(pszBuffer, cchBuffer, &pszEnd, nullptr, STRSAFE_IGNORE_NULLS, pszFormat, ap);
    va_end(ap);
    return pszEnd ? static_cast<size_t>(pszEnd - pszBuffer) : 0;
}

} // namespace

size_t FormatTextA(char* pszBuffer, size_t cchBuffer, const char* pszFormat, va_list args)
{
    return Run(pszBuffer, cchBuffer, pszFormat, args, StringCchVPrintfExA);
}

size_t FormatTextW(char16_t* pszBuffer, size_t cchBuffer, const char16_t* pszFormat, va_list args)
{
    return Run(pszBuffer, cchBuffer, pszFormat, args, StringCchVPrintfExW);
}

// A variadic function cannot hand its arguments on: each form opens its own va_list.
size_t FormatTextA(char* pszBuffer, size_t cchBuffer, const char* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    size_t n = FormatTextA(pszBuffer, cchBuffer, pszFormat, args);
    va_end(args);
    return n;
}

size_t FormatTextW(char16_t* pszBuffer, size_t cchBuffer, const char16_t* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    size_t n = FormatTextW(pszBuffer, cchBuffer, pszFormat, args);
    va_end(args);
    return n;
}

} // namespace tonwell::trace
