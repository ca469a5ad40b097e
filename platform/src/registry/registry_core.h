// The registry's operations on whole strings and buffers; the exported W and A
// functions add the platform's buffer and size conventions around them.
#pragma once

#include <winreg.h>

#include "boundary.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tonwell::platform::registry {

class PlatformTransaction;

struct ValueData {
    DWORD type = REG_NONE;
    std::vector<uint8_t> data;
};

struct KeyEntry {
    std::u16string name;
    std::u16string cls;
    int64_t written = 0;
};

struct ValueEntry {
    std::u16string name;
    ValueData value;
};

struct KeyInfo {
    std::u16string cls;
    DWORD subKeys = 0;
    DWORD maxSubKeyLen = 0; // UTF-16 units
    DWORD maxClassLen = 0;
    DWORD values = 0;
    DWORD maxValueNameLen = 0;
    DWORD maxValueLen = 0; // bytes
    DWORD sdLen = 0;
    int64_t written = 0;
};

// A null `subKey` pointer stands for a null argument. With `within`, the key
// is opened in that platform transaction (else in the one of `hKey`, if any).
LONG CreateKey(HKEY hKey, const std::u16string* subKey, const std::u16string* cls, DWORD options, REGSAM sam,
               const SECURITY_ATTRIBUTES* sa, HKEY* result, DWORD* disposition,
               std::shared_ptr<PlatformTransaction> within = nullptr);
LONG OpenKey(HKEY hKey, const std::u16string* subKey, DWORD options, REGSAM sam, HKEY* result,
             std::shared_ptr<PlatformTransaction> within = nullptr);
LONG CloseKey(HKEY hKey);
LONG SetValue(HKEY hKey, const std::u16string& name, DWORD type, const uint8_t* data, size_t size);
LONG QueryValue(HKEY hKey, const std::u16string& name, ValueData& value);
LONG DeleteValue(HKEY hKey, const std::u16string& name);
LONG DeleteKey(HKEY hKey, const std::u16string* subKey, std::shared_ptr<PlatformTransaction> within = nullptr);
LONG EnumKey(HKEY hKey, DWORD index, KeyEntry& entry);
LONG EnumValue(HKEY hKey, DWORD index, ValueEntry& entry);
LONG QueryInfo(HKEY hKey, KeyInfo& info);
LONG GetKeySecurity(HKEY hKey, SECURITY_INFORMATION info, std::vector<uint8_t>& sd);

bool IsStringType(DWORD type);
void SetFileTime(PFILETIME ft, int64_t value);

// Copies a name into a caller's buffer of *cch units (NUL included) and sets
// *cch to its length; ERROR_MORE_DATA, nothing copied, when it does not fit.
template <class C>
LONG CopyName(const std::basic_string<C>& name, C* buffer, LPDWORD cch)
{
    if (name.size() + 1 > *cch)
        return ERROR_MORE_DATA;
    std::char_traits<C>::copy(buffer, name.data(), name.size());
    buffer[name.size()] = 0;
    *cch = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

// A class name for a caller that may want only its length: copied as a
// name when there is a buffer; with none, *cch (if given) receives the
// length. `lengthWhenShort` also sets *cch to the length when the buffer is short.
template <class C>
LONG CopyClass(const std::basic_string<C>& cls, C* buffer, LPDWORD cch, bool lengthWhenShort)
{
    if (!buffer) {
        if (cch)
            *cch = static_cast<DWORD>(cls.size());
        return ERROR_SUCCESS;
    }
    LONG s = CopyName(cls, buffer, cch);
    if (s && lengthWhenShort)
        *cch = static_cast<DWORD>(cls.size());
    return s;
}

// The size protocol of value data: *cb receives the size; with no buffer
// that is all, and a short buffer gives ERROR_MORE_DATA.
LONG CopyData(const std::vector<uint8_t>& data, LPBYTE buffer, LPDWORD cb);

// RegEnumKeyEx, either form: the caller's arguments checked (a name buffer
// with its size, nothing reserved, a size for any class buffer), then
// `get(name, cls, written)` fills the subkey's name, class and last write inside the
// boundary guard, and the results go to the caller's buffers.
template <class C, class Get>
LONG EnumKeyExport(C* nameBuffer, LPDWORD cchName, LPDWORD reserved, C* classBuffer, LPDWORD cchClass,
                   PFILETIME written, Get&& get)
{
    if (!nameBuffer || !cchName || reserved || (classBuffer && !cchClass))
        return ERROR_INVALID_PARAMETER;
    return GuardStatus([&]() -> LONG {
        std::basic_string<C> name, cls;
        FILETIME time{};
        if (LONG s = get(name, cls, time))
            return s;
        if (LONG s = CopyName(name, nameBuffer, cchName))
            return s;
        if (LONG s = CopyClass(cls, classBuffer, cchClass, false))
            return s;
        if (written)
            *written = time;
        return ERROR_SUCCESS;
    });
}

// RegEnumValue, either form: as EnumKeyExport, with a size for any data
// buffer and `get(name, type, data)`.
template <class C, class Get>
LONG EnumValueExport(C* nameBuffer, LPDWORD cchName, LPDWORD reserved, LPDWORD typeOut, LPBYTE dataBuffer,
                     LPDWORD cbData, Get&& get)
{
    if (!nameBuffer || !cchName || reserved || (dataBuffer && !cbData))
        return ERROR_INVALID_PARAMETER;
    return GuardStatus([&]() -> LONG {
        std::basic_string<C> name;
        DWORD type = REG_NONE;
        std::vector<uint8_t> data;
        if (LONG s = get(name, type, data))
            return s;
        if (LONG s = CopyName(name, nameBuffer, cchName))
            return s;
        if (typeOut)
            *typeOut = type;
        return CopyData(data, dataBuffer, cbData);
    });
}
} // namespace tonwell::platform::registry
