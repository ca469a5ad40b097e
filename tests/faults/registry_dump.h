// The registry below a key as text, for the walks to compare what an operation left.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace tonwell::test {

// Key path (below the root) to its values, each as "type:name=data;", in name order
// (the order values were stored in is no part of what an operation leaves).
using Dump = std::map<std::u16string, std::string>;

// Every key below root\path with its values, path included when it exists.
inline void DumpKeys(HKEY root, const std::u16string& path, Dump* out)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.empty() ? nullptr : path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    std::map<std::string, std::string> byName;
    for (DWORD i = 0;; ++i) {
        WCHAR name[256];
        DWORD cch = 256, type = 0;
        BYTE data[2048];
        DWORD cb = sizeof data;
        if (RegEnumValueW(key, i, name, &cch, nullptr, &type, data, &cb) != ERROR_SUCCESS)
            break;
        std::string valueName(reinterpret_cast<const char*>(name), cch * 2);
        byName[valueName] =
            std::to_string(type) + ":" + valueName + "=" + std::string(reinterpret_cast<const char*>(data), cb) + ";";
    }
    std::string values;
    for (const auto& [valueName, entry] : byName)
        values += entry;
    (*out)[path] = values;
    std::vector<std::u16string> children;
    for (DWORD i = 0;; ++i) {
        WCHAR name[256];
        DWORD cch = 256;
        if (RegEnumKeyExW(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        children.emplace_back(name, cch);
    }
    RegCloseKey(key);
    for (const auto& child : children)
        DumpKeys(root, path.empty() ? child : path + u"\\" + child, out);
}

inline std::string Describe(const Dump& d)
{
    std::string s;
    for (const auto& [path, values] : d)
        s += std::string(path.begin(), path.end()) + "\n";
    return s;
}

} // namespace tonwell::test
