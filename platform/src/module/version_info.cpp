// GetFileVersionInfoSizeW, GetFileVersionInfoW and VerQueryValueW: the
// version resource (RT_VERSION 1, any language) of a module file read as
// data, and the walk over its blocks (module/version_block.h).
#include "boundary.h"
#include "module/version_block.h"

#include <errhandlingapi.h>
#include <libloaderapi.h>
#include <winver.h>

#include <cstring>
#include <string_view>

using namespace tonwell::platform::module;
using tonwell::platform::GuardLastError;

namespace {

// Calls use(block, length) with the file's version block, checked; FALSE with the last error set otherwise.
template <typename F>
BOOL WithVersionBlock(LPCWSTR lptstrFilename, F&& use)
{
    if (!lptstrFilename) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    HMODULE hModule = LoadLibraryExW(lptstrFilename, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!hModule)
        return FALSE;
    BOOL ok = FALSE;
    DWORD error = ERROR_SUCCESS;
    HRSRC hRes = FindResourceW(hModule, MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION);
    HGLOBAL hData = hRes ? LoadResource(hModule, hRes) : nullptr;
    if (!hData) {
        error = GetLastError();
    } else {
        auto* block = static_cast<const uint8_t*>(LockResource(hData));
        size_t length = VersionBlockLength(block, SizeofResource(hModule, hRes));
        if (length == 0)
            error = ERROR_INVALID_DATA;
        else
            ok = use(block, length);
        if (!ok && error == ERROR_SUCCESS)
            error = GetLastError();
    }
    FreeLibrary(hModule);
    if (!ok)
        SetLastError(error);
    return ok;
}

} // namespace

DWORD WINAPI GetFileVersionInfoSizeW(LPCWSTR lptstrFilename, LPDWORD lpdwHandle)
{
    if (lpdwHandle)
        *lpdwHandle = 0;
    DWORD size = 0;
    GuardLastError(FALSE, [&] {
        return WithVersionBlock(lptstrFilename, [&](const uint8_t*, size_t length) {
            size = DWORD(length);
            return TRUE;
        });
    });
    return size;
}

BOOL WINAPI GetFileVersionInfoW(LPCWSTR lptstrFilename, DWORD dwHandle, DWORD dwLen, LPVOID lpData)
{
    if (!lpData) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return GuardLastError(FALSE, [&] {
        return WithVersionBlock(lptstrFilename, [&](const uint8_t* block, size_t length) {
            // A cut copy would claim more bytes than the caller holds, so nothing is copied then.
            if (dwLen < length) {
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return FALSE;
            }
            std::memcpy(lpData, block, length);
            return TRUE;
        });
    });
}

BOOL WINAPI VerQueryValueW(LPCVOID pBlock, LPCWSTR lpSubBlock, LPVOID* lplpBuffer, PUINT puLen)
{
    if (lplpBuffer)
        *lplpBuffer = nullptr;
    if (puLen)
        *puLen = 0;
    if (!pBlock || !lpSubBlock || !lplpBuffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The caller's buffer size is not known: the root's own length is all the block there is.
    auto* block = static_cast<const uint8_t*>(pBlock);
    size_t available = size_t(block[0]) | size_t(block[1]) << 8;
    VersionValue value;
    VersionQuery result = GuardLastError(VersionQuery::Malformed, [&] {
    return QueryVersionBlock(block, available, std::u16string_view(lpSubBlock), value);
});
switch (result) {
case VersionQuery::Found:
    *lplpBuffer = const_cast<uint8_t*>(value.data);
    if (puLen)
        *puLen = value.length;
    return TRUE;
case VersionQuery::NotFound:
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return FALSE;
case VersionQuery::Malformed:
    break;
}
SetLastError(ERROR_INVALID_DATA);
return FALSE;
}
