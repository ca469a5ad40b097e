/* Text services: code pages and conversions, character case, string
 * comparison and the system's message texts. CP_ACP, CP_OEMCP and
 * CP_THREAD_ACP are UTF-8 on this system. */
#ifndef TONWELL_WINNLS_H
#define TONWELL_WINNLS_H

#include <stdarg.h>

#include "windef.h"
#include "winerror.h"

#define CP_ACP 0
#define CP_OEMCP 1
#define CP_MACCP 2
#define CP_THREAD_ACP 3
#define CP_SYMBOL 42
#define CP_UTF7 65000
#define CP_UTF8 65001

#define MB_PRECOMPOSED 0x00000001
#define MB_COMPOSITE 0x00000002
#define MB_USEGLYPHCHARS 0x00000004
#define MB_ERR_INVALID_CHARS 0x00000008

#define WC_COMPOSITECHECK 0x00000200
#define WC_DISCARDNS 0x00000010
#define WC_SEPCHARS 0x00000020
#define WC_DEFAULTCHAR 0x00000040
#define WC_ERR_INVALID_CHARS 0x00000080
#define WC_NO_BEST_FIT_CHARS 0x00000400

WINBASEAPI int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                                          LPWSTR lpWideCharStr, int cchWideChar);
WINBASEAPI int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                                          LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                                          LPBOOL lpUsedDefaultChar);
WINBASEAPI UINT WINAPI GetACP(void);
WINBASEAPI UINT WINAPI GetOEMCP(void);

/* Case conversion in place. A pointer whose upper bits are zero carries a
 * single character in its low word instead, and the result carries it back.
 * Here and below, each A form is declared beside its W form: both are exports. */
WINBASEAPI LPSTR WINAPI CharUpperA(LPSTR lpsz);
WINBASEAPI LPWSTR WINAPI CharUpperW(LPWSTR lpsz);
WINBASEAPI LPSTR WINAPI CharLowerA(LPSTR lpsz);
WINBASEAPI LPWSTR WINAPI CharLowerW(LPWSTR lpsz);
WINBASEAPI DWORD WINAPI CharUpperBuffA(LPSTR lpsz, DWORD cchLength);
WINBASEAPI DWORD WINAPI CharUpperBuffW(LPWSTR lpsz, DWORD cchLength);
WINBASEAPI DWORD WINAPI CharLowerBuffA(LPSTR lpsz, DWORD cchLength);
WINBASEAPI DWORD WINAPI CharLowerBuffW(LPWSTR lpsz, DWORD cchLength);

/* Steps over one character of the ANSI (UTF-8) code page. */
WINBASEAPI LPSTR WINAPI CharNextA(LPCSTR lpsz);
WINBASEAPI LPSTR WINAPI CharPrevA(LPCSTR lpszStart, LPCSTR lpszCurrent);
WINBASEAPI LPWSTR WINAPI CharNextW(LPCWSTR lpsz);

/* Comparisons order by code point, after upper-casing for the lstrcmpi forms,
 * rather than by the locale's linguistic order; equality is as on the platform. */
WINBASEAPI int WINAPI lstrlenA(LPCSTR lpString);
WINBASEAPI int WINAPI lstrlenW(LPCWSTR lpString);
WINBASEAPI int WINAPI lstrcmpA(LPCSTR lpString1, LPCSTR lpString2);
WINBASEAPI int WINAPI lstrcmpW(LPCWSTR lpString1, LPCWSTR lpString2);
WINBASEAPI int WINAPI lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2);
WINBASEAPI int WINAPI lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2);
WINBASEAPI LPSTR WINAPI lstrcpynA(LPSTR lpString1, LPCSTR lpString2, int iMaxLength);
WINBASEAPI LPWSTR WINAPI lstrcpynW(LPWSTR lpString1, LPCWSTR lpString2, int iMaxLength);

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_STRING 0x00000400
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FF

/* The system's message texts for its status codes and HRESULTs. Module
 * message tables are not supported: FORMAT_MESSAGE_FROM_HMODULE alone finds
 * no table, and with FORMAT_MESSAGE_FROM_SYSTEM falls through to the system's. */
WINBASEAPI DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                                       LPSTR lpBuffer, DWORD nSize, va_list* Arguments);
WINBASEAPI DWORD WINAPI FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                                       LPWSTR lpBuffer, DWORD nSize, va_list* Arguments);

#endif
