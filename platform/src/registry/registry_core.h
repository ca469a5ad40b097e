// The registry's operations on whole strings and buffers; the exported W and A
// functions add the platform's buffer and size conventions around them.
#pragma once

#include <winreg.h>

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
    DWORD maxSubKeyLen = 0;  // UTF-16 units
    DWORD maxSubKeyLenA = 0; // UTF-8 bytes
    DWORD maxClassLen = 0;
    DWORD values = 0;
    DWORD maxValueNameLen = 0;
    DWORD maxValueNameLenA = 0;
    DWORD maxValueLen = 0;
    DWORD maxValueLenA = 0; // string data as UTF-8
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

} // namespace tonwell::platform::registry
