/* The process environment. Variable names compare without regard to case;
 * %SystemRoot% and %windir% name the machine root's system folder. */
#ifndef TONWELL_PROCESSENV_H
#define TONWELL_PROCESSENV_H

#include "windef.h"
#include "winerror.h"


/* Replaces each %NAME% by the variable's value; unknown names stay as written.
 * Returns the characters (bytes for the A form) the result needs, its
 * terminator included; when that exceeds nSize nothing is written. 0 on failure. */
WINBASEAPI DWORD WINAPI ExpandEnvironmentStringsW(LPCWSTR lpSrc, LPWSTR lpDst, DWORD nSize);
WINBASEAPI DWORD WINAPI ExpandEnvironmentStringsA(LPCSTR lpSrc, LPSTR lpDst, DWORD nSize);

/* The characters copied (terminator excluded), or, when nSize is too small,
 * the size needed with the terminator. 0 and ERROR_ENVVAR_NOT_FOUND when unset. */
WINBASEAPI DWORD WINAPI GetEnvironmentVariableW(LPCWSTR lpName, LPWSTR lpBuffer, DWORD nSize);
WINBASEAPI DWORD WINAPI GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize);
/* A null value removes the variable. */
WINBASEAPI BOOL WINAPI SetEnvironmentVariableW(LPCWSTR lpName, LPCWSTR lpValue);
WINBASEAPI BOOL WINAPI SetEnvironmentVariableA(LPCSTR lpName, LPCSTR lpValue);

#endif
