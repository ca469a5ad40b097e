// The A forms: names and string data in the ANSI code page, which is UTF-8
// here, converted to and from the UTF-16 the registry keeps.
#include "registry/registry_core.h"
#include "registry/text.h"

#include <cstring>
#include <optional>

using namespace tonwell::platform;
using namespace tonwell::platform::registry;

namespace {

std::optional<std::u16string> Wide(LPCSTR s)
{
    if (!s)
        return std::nullopt;
    return regtext::Utf8ToUtf16(s);
}

std::u16string WideOrEmpty(LPCSTR s) { return s ? regtext::Utf8ToUtf16(s) : std::u16string(); }

// String data as stored (UTF-16, any length) to UTF-8 bytes.
std::vector<uint8_t> NarrowData(DWORD type, const std::vector<uint8_t>& data)
{
    if (!IsStringType(type))
        return data;
    std::u16string units(data.size() / 2, u'\0');
    if (!units.empty())
        std::memcpy(units.data(), data.data(), units.size() * 2);
    std::string narrow = regtext::Utf16ToUtf8(units);
    return std::vector<uint8_t>(narrow.begin(), narrow.end());
}

LONG PutName(const std::string& name, LPSTR buffer, LPDWORD cch)
{
    if (name.size() + 1 > *cch)
        return ERROR_MORE_DATA;
    std::memcpy(buffer, name.data(), name.size());
    buffer[name.size()] = 0;
    *cch = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

LONG PutData(const std::vector<uint8_t>& data, LPBYTE buffer, LPDWORD cb)
{
    if (!cb)
        return ERROR_SUCCESS;
    DWORD available = *cb;
    *cb = static_cast<DWORD>(data.size());
    if (!buffer)
        return ERROR_SUCCESS;
    if (data.size() > available)
        return ERROR_MORE_DATA;
    if (!data.empty())
        std::memcpy(buffer, data.data(), data.size());
    return ERROR_SUCCESS;
}

} // namespace

LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR lpClass, DWORD dwOptions, REGSAM samDesired,
                            const SECURITY_ATTRIBUTES* lpSecurityAttributes, PHKEY phkResult,
                            LPDWORD lpdwDisposition)
{
    try {
        auto sub = Wide(lpSubKey);
        auto cls = Wide(lpClass);
        return CreateKey(hKey, sub ? &*sub : nullptr, cls ? &*cls : nullptr, dwOptions, samDesired,
                         lpSecurityAttributes, phkResult, lpdwDisposition);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult)
{
    try {
        auto sub = Wide(lpSubKey);
        return OpenKey(hKey, sub ? &*sub : nullptr, ulOptions, samDesired, phkResult);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData)
{
    try {
        if (!lpData && cbData)
            return ERROR_INVALID_PARAMETER;
        if (IsStringType(dwType) && lpData) {
            std::u16string wide =
                regtext::Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(lpData), cbData));
            return SetValue(hKey, WideOrEmpty(lpValueName), dwType, reinterpret_cast<const uint8_t*>(wide.data()),
                            wide.size() * sizeof(char16_t));
        }
        return SetValue(hKey, WideOrEmpty(lpValueName), dwType, lpData, cbData);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                             LPDWORD lpcbData)
{
    if (lpReserved || (lpData && !lpcbData))
        return ERROR_INVALID_PARAMETER;
    try {
        ValueData value;
        LONG status = QueryValue(hKey, WideOrEmpty(lpValueName), value);
        if (status != ERROR_SUCCESS)
            return status;
        if (lpType)
            *lpType = value.type;
        return PutData(NarrowData(value.type, value.data), lpData, lpcbData);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName)
{
    try {
        return DeleteValue(hKey, WideOrEmpty(lpValueName));
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey)
{
    try {
        auto sub = Wide(lpSubKey);
        return DeleteKey(hKey, sub ? &*sub : nullptr);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                          LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime)
{
    if (!lpName || !lpcchName || lpReserved || (lpClass && !lpcchClass))
        return ERROR_INVALID_PARAMETER;
    try {
        KeyEntry entry;
        LONG status = EnumKey(hKey, dwIndex, entry);
        if (status != ERROR_SUCCESS)
            return status;
        if (LONG s = PutName(regtext::Utf16ToUtf8(entry.name), lpName, lpcchName))
            return s;
        std::string cls = regtext::Utf16ToUtf8(entry.cls);
        if (lpClass) {
            if (LONG s = PutName(cls, lpClass, lpcchClass))
                return s;
        } else if (lpcchClass) {
            *lpcchClass = static_cast<DWORD>(cls.size());
        }
        SetFileTime(lpftLastWriteTime, entry.written);
        return ERROR_SUCCESS;
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                          LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData))
        return ERROR_INVALID_PARAMETER;
    try {
        ValueEntry entry;
        LONG status = EnumValue(hKey, dwIndex, entry);
        if (status != ERROR_SUCCESS)
            return status;
        if (LONG s = PutName(regtext::Utf16ToUtf8(entry.name), lpValueName, lpcchValueName))
            return s;
        if (lpType)
            *lpType = entry.value.type;
        return PutData(NarrowData(entry.value.type, entry.value.data), lpData, lpcbData);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG WINAPI RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                             LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                             LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                             PFILETIME lpftLastWriteTime)
{
    if (lpReserved || (lpClass && !lpcchClass))
        return ERROR_INVALID_PARAMETER;
    try {
        KeyInfo info;
        LONG status = QueryInfo(hKey, info);
        if (status != ERROR_SUCCESS)
            return status;
        std::string cls = regtext::Utf16ToUtf8(info.cls);
        if (lpClass) {
            if (LONG s = PutName(cls, lpClass, lpcchClass)) {
                *lpcchClass = static_cast<DWORD>(cls.size());
                return s;
            }
        } else if (lpcchClass) {
            *lpcchClass = static_cast<DWORD>(cls.size());
        }
        if (lpcSubKeys)
            *lpcSubKeys = info.subKeys;
        if (lpcbMaxSubKeyLen)
            *lpcbMaxSubKeyLen = info.maxSubKeyLenA;
        if (lpcbMaxClassLen)
            *lpcbMaxClassLen = info.maxClassLen * 3;
        if (lpcValues)
            *lpcValues = info.values;
        if (lpcbMaxValueNameLen)
            *lpcbMaxValueNameLen = info.maxValueNameLenA;
        if (lpcbMaxValueLen)
            *lpcbMaxValueLen = std::max(info.maxValueLen, info.maxValueLenA);
        if (lpcbSecurityDescriptor)
            *lpcbSecurityDescriptor = info.sdLen;
        SetFileTime(lpftLastWriteTime, info.written);
        return ERROR_SUCCESS;
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}
