/* Bounded string formatting: printf-style output into a buffer of a stated
 * size, always terminated. The platform's one formatter stands behind these and
 * behind FormatMessage's inserts; its conventions are the runtime's ("l" is 32
 * bits; "%hs"/"%ls" name the string width, "%s" is the format's own; "%p" is
 * every digit of a pointer in upper case; "%n" is ignored). Text of the other
 * width is converted as UTF-8/UTF-16, ill-formed parts becoming U+FFFD.
 *
 * Results: S_OK; STRSAFE_E_INSUFFICIENT_BUFFER when the output was cut (the
 * buffer then holds what fits, cut on a whole character, and is terminated);
 * STRSAFE_E_INVALID_PARAMETER for a size of 0 or above STRSAFE_MAX_CCH, a null
 * buffer or format (unless STRSAFE_IGNORE_NULLS), or unknown flags. Safe from
 * any thread. */
#ifndef TONWELL_STRSAFE_H
#define TONWELL_STRSAFE_H

#include <stdarg.h>
#include <stddef.h>

#include "windef.h"
#include "winerror.h"

#define STRSAFE_MAX_CCH 2147483647
#define STRSAFE_E_INSUFFICIENT_BUFFER ((HRESULT)0x8007007Au)
#define STRSAFE_E_INVALID_PARAMETER ((HRESULT)0x80070057u)

/* Flags of the Ex forms. */
#define STRSAFE_IGNORE_NULLS 0x00000100   /* a null format counts as "" */
#define STRSAFE_NULL_ON_FAILURE 0x00000800 /* on failure the buffer holds "" */
#define STRSAFE_NO_TRUNCATION 0x00001000  /* on a cut the buffer holds "" */

WINBASEAPI HRESULT WINAPI StringCchVPrintfA(LPSTR pszDest, size_t cchDest, LPCSTR pszFormat, va_list argList);
WINBASEAPI HRESULT WINAPI StringCchVPrintfW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszFormat, va_list argList);
WINBASEAPI HRESULT WINAPI StringCchPrintfA(LPSTR pszDest, size_t cchDest, LPCSTR pszFormat, ...);
WINBASEAPI HRESULT WINAPI StringCchPrintfW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszFormat, ...);

/* As above; *ppszDestEnd (if given) receives the terminator's address and
 * *pcchRemaining the units left, terminator included. */
WINBASEAPI HRESULT WINAPI StringCchVPrintfExA(LPSTR pszDest, size_t cchDest, LPSTR* ppszDestEnd,
                                              size_t* pcchRemaining, DWORD dwFlags, LPCSTR pszFormat,
                                              va_list argList);
WINBASEAPI HRESULT WINAPI StringCchVPrintfExW(LPWSTR pszDest, size_t cchDest, LPWSTR* ppszDestEnd,
                                              size_t* pcchRemaining, DWORD dwFlags, LPCWSTR pszFormat,
                                              va_list argList);

#endif
