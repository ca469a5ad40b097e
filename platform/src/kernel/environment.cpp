// The process environment seen through the platform's rules: names compare
// without regard to case, and %SystemRoot% / %windir% always name the machine
// root's system folder, which defines the system here.
#include "machine_root.h"
#include "wide.h"

#include <winbase.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <unistd.h>

extern char** environ;

namespace {

std::mutex g_environmentLock;

char16_t FoldAscii(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }

bool EqualNoCase(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (FoldAscii(a[i]) != FoldAscii(b[i]))
            return false;
    }
    return true;
}

// The spelling under which `name` is set: the exact one if present, else the
// first that differs only in case. Caller holds the lock.
std::optional<std::string> FindSetName(const std::string& name)
{
    if (getenv(name.c_str()))
        return name;
    std::u16string wanted = tonwell::platform::kernel::Utf8ToUtf16(name);
    for (char** entry = environ; entry && *entry; ++entry) {
        const char* eq = std::strchr(*entry, '=');
        if (!eq)
            continue;
        std::string candidate(*entry, static_cast<size_t>(eq - *entry));
        if (EqualNoCase(tonwell::platform::kernel::Utf8ToUtf16(candidate), wanted))
            return candidate;
    }
    return std::nullopt;
}

std::optional<std::u16string> Lookup(std::u16string_view name)
{
    if (EqualNoCase(name, u"SystemRoot") || EqualNoCase(name, u"windir"))
        return tonwell::platform::kernel::Utf8ToUtf16(tonwell::platform::SystemFolder().string());
    std::string utf8;
    if (!tonwell::platform::kernel::Utf16ToUtf8(name, utf8) || utf8.find('=') != std::string::npos)
        return std::nullopt;
    std::lock_guard lock(g_environmentLock);
    std::optional<std::string> setName = FindSetName(utf8);
    if (!setName)
        return std::nullopt;
    return tonwell::platform::kernel::Utf8ToUtf16(getenv(setName->c_str()));
}

// A name runs from one '%' to the next. When it is not set, its opening '%'
// and the name stay as written and the closing '%' may open the next name.
std::u16string Expand(std::u16string_view source)
{
    std::u16string out;
    size_t i = 0;
    while (i < source.size()) {
        if (source[i] != u'%') {
            out += source[i++];
            continue;
        }
        size_t close = source.find(u'%', i + 1);
        if (close == std::u16string_view::npos) {
            out.append(source.substr(i));
            break;
        }
        std::u16string_view name = source.substr(i + 1, close - i - 1);
        std::optional<std::u16string> value;
        if (!name.empty())
            value = Lookup(name);
        if (value) {
            out += *value;
            i = close + 1;
        } else {
            out.append(source.substr(i, close - i));
            i = close;
        }
    }
    return out;
}

bool SetVariable(const std::string& name, const std::string* value)
{
    if (name.empty() || name.find('=') != std::string::npos) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::lock_guard lock(g_environmentLock);
    std::optional<std::string> setName = FindSetName(name);
    if (!value) {
        if (setName)
            unsetenv(setName->c_str());
        return true;
    }
    if (setenv(setName ? setName->c_str() : name.c_str(), value->c_str(), 1) != 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    return true;
}

} // namespace

using tonwell::platform::kernel::Utf16ToUtf8;
using tonwell::platform::kernel::Utf8ToUtf16;

DWORD WINAPI ExpandEnvironmentStringsW(LPCWSTR lpSrc, LPWSTR lpDst, DWORD nSize)
{
    if (!lpSrc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::u16string result = Expand(lpSrc);
    size_t needed = result.size() + 1;
    if (needed > 0xFFFFFFFFu) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (lpDst && nSize >= needed)
        std::memcpy(lpDst, result.c_str(), needed * sizeof(WCHAR));
    return static_cast<DWORD>(needed);
}

DWORD WINAPI ExpandEnvironmentStringsA(LPCSTR lpSrc, LPSTR lpDst, DWORD nSize)
{
    if (!lpSrc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string result;
    Utf16ToUtf8(Expand(Utf8ToUtf16(lpSrc)), result, true);
    size_t needed = result.size() + 1;
    if (needed > 0xFFFFFFFFu) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (lpDst && nSize >= needed)
        std::memcpy(lpDst, result.c_str(), needed);
    return static_cast<DWORD>(needed);
}

DWORD WINAPI GetEnvironmentVariableW(LPCWSTR lpName, LPWSTR lpBuffer, DWORD nSize)
{
    if (!lpName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::optional<std::u16string> value = Lookup(lpName);
    if (!value) {
        SetLastError(ERROR_ENVVAR_NOT_FOUND);
        return 0;
    }
    if (lpBuffer && nSize > value->size()) {
        std::memcpy(lpBuffer, value->c_str(), (value->size() + 1) * sizeof(WCHAR));
        if (value->empty())
            SetLastError(ERROR_SUCCESS);
        return static_cast<DWORD>(value->size());
    }
    return static_cast<DWORD>(value->size() + 1);
}

DWORD WINAPI GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize)
{
    if (!lpName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::optional<std::u16string> value = Lookup(Utf8ToUtf16(lpName));
    if (!value) {
        SetLastError(ERROR_ENVVAR_NOT_FOUND);
        return 0;
    }
    std::string utf8;
    Utf16ToUtf8(*value, utf8, true);
    if (lpBuffer && nSize > utf8.size()) {
        std::memcpy(lpBuffer, utf8.c_str(), utf8.size() + 1);
        if (utf8.empty())
            SetLastError(ERROR_SUCCESS);
        return static_cast<DWORD>(utf8.size());
    }
    return static_cast<DWORD>(utf8.size() + 1);
}

BOOL WINAPI SetEnvironmentVariableW(LPCWSTR lpName, LPCWSTR lpValue)
{
    std::string name, value;
    if (!lpName || !Utf16ToUtf8(lpName, name) || (lpValue && !Utf16ToUtf8(lpValue, value))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return SetVariable(name, lpValue ? &value : nullptr) ? TRUE : FALSE;
}

BOOL WINAPI SetEnvironmentVariableA(LPCSTR lpName, LPCSTR lpValue)
{
    if (!lpName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string value = lpValue ? lpValue : "";
    return SetVariable(lpName, lpValue ? &value : nullptr) ? TRUE : FALSE;
}
