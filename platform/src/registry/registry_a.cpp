// The A forms: names and string data in the ANSI code page, which is UTF-8
// here, converted and handed to the W forms, whose results come back
// converted. Text that is not well-formed UTF-8 is refused with
// ERROR_NO_UNICODE_TRANSLATION: a mangled name would create or hit a key or
// value the caller never named.
#include "boundary.h"
#include "registry/registry_core.h"
#include "text/ansi.h"
#include "text/utf.h"

#include <cstring>

using namespace tonwell::platform;
using namespace tonwell::platform::registry;
using tonwell::platform::text::WideArgument;

namespace {

constexpr DWORD kMaxDword = 0xFFFFFFFFu;

std::string Narrow(std::u16string_view s) { return text::Utf16ToUtf8(s); }

// The whole of an A form with one name: converted and handed to its W form.
template <class CallW>
LONG CallWideStatus(LPCSTR name, CallW&& callW)
{
    return GuardStatus([&]() -> LONG {
        WideArgument wide;
        if (!wide.Set(name))
            return ERROR_NO_UNICODE_TRANSLATION;
        return callW(wide.Get());
    });
}

// String data as stored (UTF-16) to UTF-8 bytes; other data as it is.
std::vector<uint8_t> NarrowData(DWORD type, const std::vector<uint8_t>& data)
{
    if (!IsStringType(type))
        return data;
    std::u16string units(data.size() / 2, u'\0');
    if (!units.empty())
        std::memcpy(units.data(), data.data(), units.size() * 2);
    std::string narrow = Narrow(units);
    return std::vector<uint8_t>(narrow.begin(), narrow.end());
}

// Reads a value whole through the W form, however its size changes meanwhile.
LONG ReadValue(HKEY hKey, LPCWSTR name, DWORD& type, std::vector<uint8_t>& data)
{
    for (;;) {
        DWORD size = 0;
        if (LONG s = RegQueryValueExW(hKey, name, nullptr, &type, nullptr, &size))
            return s;
        data.resize(size ? size : 1);
        LONG s = RegQueryValueExW(hKey, name, nullptr, &type, data.data(), &size);
        if (s == ERROR_MORE_DATA)
            continue;
        data.resize(s == ERROR_SUCCESS ? size : 0);
        return s;
    }
}

// A subkey's name and, when wanted, its class, through RegEnumKeyExW.
LONG EnumKeyWide(HKEY hKey, DWORD index, bool wantClass, std::u16string& name, std::u16string& cls,
                 PFILETIME written)
{
    WCHAR buffer[TONWELL_REG_MAX_KEY_NAME + 1];
    for (;;) {
        DWORD cchName = TONWELL_REG_MAX_KEY_NAME + 1;
        DWORD cchClass = 0;
        if (wantClass) {
            if (LONG s = RegEnumKeyExW(hKey, index, buffer, &cchName, nullptr, nullptr, &cchClass, nullptr))
                return s;
            cls.assign(cchClass + 1, u'\0');
            ++cchClass;
            cchName = TONWELL_REG_MAX_KEY_NAME + 1;
        }
        LONG s = RegEnumKeyExW(hKey, index, buffer, &cchName, nullptr, wantClass ? cls.data() : nullptr,
                               wantClass ? &cchClass : nullptr, written);
        if (s == ERROR_MORE_DATA && wantClass)
            continue; // the class grew meanwhile
        if (s != ERROR_SUCCESS)
            return s;
        name.assign(buffer, cchName);
        cls.resize(wantClass ? cchClass : 0);
        return ERROR_SUCCESS;
    }
}

// A value's name, type and, when wanted, its data, through RegEnumValueW.
LONG EnumValueWide(HKEY hKey, DWORD index, bool wantData, std::u16string& name, DWORD& type,
                   std::vector<uint8_t>& data)
{
    name.assign(TONWELL_REG_MAX_VALUE_NAME + 1, u'\0');
    for (;;) {
        DWORD cchName = TONWELL_REG_MAX_VALUE_NAME + 1;
        DWORD size = 0;
        LONG s = RegEnumValueW(hKey, index, name.data(), &cchName, nullptr, &type, nullptr, wantData ? &size : nullptr);
        if (s != ERROR_SUCCESS)
            return s;
        if (!wantData) {
            name.resize(cchName);
            return ERROR_SUCCESS;
        }
        data.resize(size ? size : 1);
        cchName = TONWELL_REG_MAX_VALUE_NAME + 1;
        s = RegEnumValueW(hKey, index, name.data(), &cchName, nullptr, &type, data.data(), &size);
        if (s == ERROR_MORE_DATA)
            continue; // the value grew meanwhile
        if (s != ERROR_SUCCESS)
            return s;
        name.resize(cchName);
        data.resize(size);
        return ERROR_SUCCESS;
    }
}

// Upper bounds, in UTF-8 bytes, of lengths the W forms give in UTF-16 units
// (a unit takes at most three bytes) and of string data (two bytes at most three).
DWORD NameBytes(DWORD units) { return units > kMaxDword / 3 ? kMaxDword : units * 3; }
DWORD DataBytes(DWORD bytes) { return bytes > kMaxDword / 3 * 2 ? kMaxDword : bytes + (bytes + 1) / 2; }

} // namespace

LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                            REGSAM samDesired, const SECURITY_ATTRIBUTES* lpSecurityAttributes, PHKEY phkResult,
                            LPDWORD lpdwDisposition)
{
    return GuardStatus([&]() -> LONG {
        WideArgument sub, cls;
        if (!sub.Set(lpSubKey))
            return ERROR_NO_UNICODE_TRANSLATION;
        if (!cls.Set(lpClass))
            return ERROR_NO_UNICODE_TRANSLATION;
        return RegCreateKeyExW(hKey, sub.Get(), Reserved, const_cast<LPWSTR>(cls.Get()), dwOptions, samDesired,
                               lpSecurityAttributes, phkResult, lpdwDisposition);
    });
}

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult)
{
    return CallWideStatus(lpSubKey, [&](LPCWSTR sub) { return RegOpenKeyExW(hKey, sub, ulOptions, samDesired, phkResult); });
}

LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                           DWORD cbData)
{
    return GuardStatus([&]() -> LONG {
        WideArgument name;
        if (!name.Set(lpValueName))
            return ERROR_NO_UNICODE_TRANSLATION;
        if (!IsStringType(dwType) || !lpData)
            return RegSetValueExW(hKey, name.Get(), Reserved, dwType, lpData, cbData);
        std::u16string wide;
        if (!text::Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(lpData), cbData), wide,
                               text::Invalid::Refuse))
            return ERROR_NO_UNICODE_TRANSLATION;
        if (wide.size() > kMaxDword / sizeof(char16_t))
            return ERROR_INVALID_PARAMETER;
        return RegSetValueExW(hKey, name.Get(), Reserved, dwType, reinterpret_cast<const BYTE*>(wide.data()),
                              static_cast<DWORD>(wide.size() * sizeof(char16_t)));
    });
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                             LPDWORD lpcbData)
{
    if (lpReserved || (lpData && !lpcbData))
        return ERROR_INVALID_PARAMETER;
    return GuardStatus([&]() -> LONG {
        WideArgument name;
        if (!name.Set(lpValueName))
            return ERROR_NO_UNICODE_TRANSLATION;
        if (!lpcbData)
            return RegQueryValueExW(hKey, name.Get(), nullptr, lpType, nullptr, nullptr);
        DWORD type = REG_NONE;
        std::vector<uint8_t> data;
        if (LONG s = ReadValue(hKey, name.Get(), type, data))
            return s;
        if (lpType)
            *lpType = type;
        return CopyData(NarrowData(type, data), lpData, lpcbData);
    });
}

LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName)
{
    return CallWideStatus(lpValueName, [&](LPCWSTR name) { return RegDeleteValueW(hKey, name); });
}

LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey)
{
    return CallWideStatus(lpSubKey, [&](LPCWSTR sub) { return RegDeleteKeyW(hKey, sub); });
}

LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                          LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime)
{
    return EnumKeyExport(lpName, lpcchName, lpReserved, lpClass, lpcchClass, lpftLastWriteTime,
                         [&](std::string& name, std::string& cls, FILETIME& written) -> LONG {
                             std::u16string wideName, wideClass;
                             if (LONG s = EnumKeyWide(hKey, dwIndex, lpcchClass != nullptr, wideName, wideClass,
                                                      &written))
                                 return s;
                             name = Narrow(wideName);
                             cls = Narrow(wideClass);
                             return ERROR_SUCCESS;
                         });
}

LONG WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                          LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    return EnumValueExport(lpValueName, lpcchValueName, lpReserved, lpType, lpData, lpcbData,
                           [&](std::string& name, DWORD& type, std::vector<uint8_t>& data) -> LONG {
                               std::u16string wideName;
                               std::vector<uint8_t> wideData;
                               if (LONG s = EnumValueWide(hKey, dwIndex, lpcbData != nullptr, wideName, type, wideData))
                                   return s;
                               name = Narrow(wideName);
                               data = NarrowData(type, wideData);
                               return ERROR_SUCCESS;
                           });
}

// Lengths are upper bounds in UTF-8 bytes: enough for any name, class or
// value of the key as the other A forms return it.
// Apart from the W form: the counts reach the caller from the W call, even when the class buffer then proves short.
LONG WINAPI RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                             LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                             LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                             PFILETIME lpftLastWriteTime)
{
    if (lpReserved || (lpClass && !lpcchClass))
        return ERROR_INVALID_PARAMETER;
    return GuardStatus([&]() -> LONG {
        std::u16string cls;
        DWORD cchClass = 0, maxSubKey = 0, maxClass = 0, maxValueName = 0, maxValue = 0;
        for (;;) {
            if (LONG s = RegQueryInfoKeyW(hKey, nullptr, &cchClass, nullptr, nullptr, nullptr, nullptr, nullptr,
                                          nullptr, nullptr, nullptr, nullptr))
                return s;
            cls.assign(cchClass + 1, u'\0');
            ++cchClass;
            LONG s = RegQueryInfoKeyW(hKey, cls.data(), &cchClass, nullptr, lpcSubKeys, &maxSubKey, &maxClass,
                                      lpcValues, &maxValueName, &maxValue, lpcbSecurityDescriptor,
                                      lpftLastWriteTime);
            if (s == ERROR_MORE_DATA)
                continue; // the class grew meanwhile
            if (s != ERROR_SUCCESS)
                return s;
            cls.resize(cchClass);
            break;
        }
        if (LONG s = CopyClass(Narrow(cls), lpClass, lpcchClass, true))
            return s;
        if (lpcbMaxSubKeyLen)
            *lpcbMaxSubKeyLen = NameBytes(maxSubKey);
        if (lpcbMaxClassLen)
            *lpcbMaxClassLen = NameBytes(maxClass);
        if (lpcbMaxValueNameLen)
            *lpcbMaxValueNameLen = NameBytes(maxValueName);
        if (lpcbMaxValueLen)
            *lpcbMaxValueLen = DataBytes(maxValue);
        return ERROR_SUCCESS;
    });
}
