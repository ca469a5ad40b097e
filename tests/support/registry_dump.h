// The registry below a key as data or text, for tests that compare what an
// operation left. Reads through the platform's registry API only; each call
// opens and closes its own handles, so any thread may use it.
#pragma once

#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace tonwell::test {

struct RegValue {
    std::u16string name;
    DWORD type = 0;
    std::vector<BYTE> data;
};

// Calls visit(path, values) for root\path (when it exists) and every key below
// it, a key before its subkeys; values in enumeration order, each read whole.
// Paths below an empty `path` have no leading backslash.
inline void WalkKeys(HKEY root, const std::u16string& path,
                     const std::function<void(const std::u16string&, const std::vector<RegValue>&)>& visit)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.empty() ? nullptr : path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    std::vector<RegValue> values;
    for (DWORD i = 0;; ++i) {
        WCHAR name[256];
        DWORD cch = 256, type = 0, cb = 0;
        if (RegEnumValueW(key, i, name, &cch, nullptr, &type, nullptr, &cb) != ERROR_SUCCESS)
            break;
        RegValue value{std::u16string(name, cch), type, std::vector<BYTE>(cb)};
        cch = 256;
        if (RegEnumValueW(key, i, name, &cch, nullptr, &value.type, value.data.data(), &cb) != ERROR_SUCCESS)
            break;
        value.data.resize(cb);
        values.push_back(std::move(value));
    }
    visit(path, values);
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
        WalkKeys(root, path.empty() ? child : path + u"\\" + child, visit);
}

// Key path (below the root) to its values, each as "type:name=data;", in name order
// (the order values were stored in is no part of what an operation leaves).
using Dump = std::map<std::u16string, std::string>;

// Every key below root\path with its values, path included when it exists.
inline void DumpKeys(HKEY root, const std::u16string& path, Dump* out)
{
    WalkKeys(root, path, [out](const std::u16string& keyPath, const std::vector<RegValue>& values) {
        std::map<std::u16string, std::string> byName;
        for (const RegValue& v : values)
            byName[v.name] = std::to_string(v.type) + ":" +
                             std::string(reinterpret_cast<const char*>(v.name.data()), v.name.size() * 2) + "=" +
                             std::string(reinterpret_cast<const char*>(v.data.data()), v.data.size()) + ";";
        std::string text;
        for (const auto& [name, entry] : byName)
            text += entry;
        (*out)[keyPath] = text;
    });
}

// The key paths of a dump, a line each, for failure messages.
inline std::string Describe(const Dump& d)
{
    std::string s;
    for (const auto& [path, values] : d)
        s += std::string(path.begin(), path.end()) + "\n";
    return s;
}

inline bool KeyExists(HKEY root, const char16_t* path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

} // namespace tonwell::test
