/* Version resources: the VS_VERSIONINFO block a module carries as resource
 * RT_VERSION 1, and the functions that read it from a module file without
 * loading it. */
#ifndef TONWELL_WINVER_H
#define TONWELL_WINVER_H

#include "windef.h"

#define VS_FFI_SIGNATURE 0xFEEF04BDL
#define VS_FFI_STRUCVERSION 0x00010000L
#define VS_FFI_FILEFLAGSMASK 0x0000003FL
#define VS_VERSION_INFO 1

#define VS_FF_DEBUG 0x00000001L
#define VS_FF_PRERELEASE 0x00000002L
#define VS_FF_PATCHED 0x00000004L
#define VS_FF_PRIVATEBUILD 0x00000008L
#define VS_FF_INFOINFERRED 0x00000010L
#define VS_FF_SPECIALBUILD 0x00000020L

#define VOS_UNKNOWN 0x00000000L
#define VOS_NT_WINDOWS32 0x00040004L

#define VFT_UNKNOWN 0x00000000L
#define VFT_APP 0x00000001L
#define VFT_DLL 0x00000002L
#define VFT2_UNKNOWN 0x00000000L

typedef struct tagVS_FIXEDFILEINFO {
    DWORD dwSignature;
    DWORD dwStrucVersion;
    DWORD dwFileVersionMS;
    DWORD dwFileVersionLS;
    DWORD dwProductVersionMS;
    DWORD dwProductVersionLS;
    DWORD dwFileFlagsMask;
    DWORD dwFileFlags;
    DWORD dwFileOS;
    DWORD dwFileType;
    DWORD dwFileSubtype;
    DWORD dwFileDateMS;
    DWORD dwFileDateLS;
} VS_FIXEDFILEINFO;

/* Size of the version block of the file, 0 with the last error set when it has none
 * (ERROR_RESOURCE_TYPE_NOT_FOUND, ERROR_RESOURCE_DATA_NOT_FOUND, ERROR_BAD_EXE_FORMAT, ...)
 * or a malformed one (ERROR_INVALID_DATA). The file is read as LoadLibraryEx's data-file
 * form reads it. GetFileVersionInfoW copies the whole block; a smaller dwLen gives
 * ERROR_INSUFFICIENT_BUFFER and copies nothing, since a cut block would claim bytes the
 * caller does not hold. */
WINBASEAPI DWORD WINAPI GetFileVersionInfoSizeW(LPCWSTR lptstrFilename, LPDWORD lpdwHandle);
WINBASEAPI BOOL WINAPI GetFileVersionInfoW(LPCWSTR lptstrFilename, DWORD dwHandle, DWORD dwLen, LPVOID lpData);
/* Paths: "\" (the VS_FIXEDFILEINFO), "\StringFileInfo\040904B0\FileVersion",
 * "\VarFileInfo\Translation"; keys compare without regard to case. A text value's
 * length counts characters, its terminator included as stored; an empty value is an
 * empty string. The block is checked as it is walked (its root's own length bounds it):
 * a malformed one gives FALSE with ERROR_INVALID_DATA, a missing path
 * ERROR_RESOURCE_TYPE_NOT_FOUND. */
WINBASEAPI BOOL WINAPI VerQueryValueW(LPCVOID pBlock, LPCWSTR lpSubBlock, LPVOID* lplpBuffer, PUINT puLen);

#endif
