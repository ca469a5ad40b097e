#include "reg_common.h"

#include <cstdio>
#include <iostream>
#include <unistd.h>

namespace tonwell::tools::reg {

std::u16string Widen(const std::string& s)
{
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        unsigned char b = static_cast<unsigned char>(s[i]);
        char32_t cp = 0xFFFD;
        size_t n = 1;
        if (b < 0x80) {
            cp = b;
        } else if ((b & 0xE0) == 0xC0 && i + 1 < s.size()) {
            cp = ((b & 0x1F) << 6) | (s[i + 1] & 0x3F);
            n = 2;
        } else if ((b & 0xF0) == 0xE0 && i + 2 < s.size()) {
            cp = ((b & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F);
            n = 3;
        } else if ((b & 0xF8) == 0xF0 && i + 3 < s.size()) {
            cp = ((b & 0x07) << 18) | ((s[i + 1] & 0x3F) << 12) | ((s[i + 2] & 0x3F) << 6) | (s[i + 3] & 0x3F);
            n = 4;
        }
        if (cp >= 0x10000 && cp <= 0x10FFFF) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp > 0x10FFFF ? 0xFFFD : cp);
        }
        i += n;
    }
    return out;
}

std::string Narrow(const std::u16string& s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        char32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string KeyPath::Display() const
{
    return subKey.empty() ? rootName : rootName + "\\" + Narrow(subKey);
}

bool ParseKeyPath(const std::string& text, KeyPath& path)
{
    struct Root {
        const char* shortName;
        const char* longName;
        HKEY key;
    };
    static const Root kRoots[] = {
        {"HKLM", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE}, {"HKCU", "HKEY_CURRENT_USER", HKEY_CURRENT_USER},
        {"HKCR", "HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},   {"HKU", "HKEY_USERS", HKEY_USERS},
        {"HKCC", "HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
    };
    size_t sep = text.find('\\');
    std::string root = text.substr(0, sep);
    for (char& c : root)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const Root& r : kRoots) {
        if (root == r.shortName || root == r.longName) {
            path.root = r.key;
            path.rootName = r.longName;
            std::string rest = sep == std::string::npos ? std::string() : text.substr(sep + 1);
            while (!rest.empty() && rest.back() == '\\')
                rest.pop_back();
            path.subKey = Widen(rest);
            return true;
        }
    }
    return false;
}

LONG ReadValues(HKEY key, std::vector<Value>& values)
{
    values.clear();
    DWORD maxName = 0, maxData = 0;
    LONG status = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &maxName,
                                   &maxData, nullptr, nullptr);
    if (status != ERROR_SUCCESS)
        return status;
    for (DWORD index = 0;; ++index) {
        Value v;
        std::u16string name(maxName + 1, u'\0');
        v.data.resize(maxData ? maxData : 1);
        DWORD cch = static_cast<DWORD>(name.size());
        DWORD cb = static_cast<DWORD>(v.data.size());
        status = RegEnumValueW(key, index, name.data(), &cch, nullptr, &v.type, v.data.data(), &cb);
        if (status == ERROR_NO_MORE_ITEMS)
            return ERROR_SUCCESS;
        if (status == ERROR_MORE_DATA) {
            // Changed under us: start again with fresh sizes.
            return ReadValues(key, values);
        }
        if (status != ERROR_SUCCESS)
            return status;
        name.resize(cch);
        v.name = name;
        v.data.resize(cb);
        values.push_back(std::move(v));
    }
}

LONG ReadSubKeys(HKEY key, std::vector<std::u16string>& names)
{
    names.clear();
    for (DWORD index = 0;; ++index) {
        WCHAR name[256];
        DWORD cch = 256;
        LONG status = RegEnumKeyExW(key, index, name, &cch, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS)
            return ERROR_SUCCESS;
        if (status != ERROR_SUCCESS)
            return status;
        names.emplace_back(name, cch);
    }
}

LONG DeleteTree(HKEY parent, const std::u16string& subKey)
{
    HKEY key = nullptr;
    LONG status = RegOpenKeyExW(parent, subKey.c_str(), 0, KEY_READ | DELETE, &key);
    if (status != ERROR_SUCCESS)
        return status;
    std::vector<std::u16string> children;
    status = ReadSubKeys(key, children);
    for (const auto& child : children) {
        if (status != ERROR_SUCCESS)
            break;
        status = DeleteTree(key, child);
    }
    RegCloseKey(key);
    if (status != ERROR_SUCCESS)
        return status;
    return RegDeleteKeyW(parent, subKey.c_str());
}

std::string ErrorText(LONG status)
{
    switch (status) {
    case ERROR_FILE_NOT_FOUND:
        return "The system was unable to find the specified registry key or value.";
    case ERROR_ACCESS_DENIED:
        return "Access is denied.";
    case ERROR_INVALID_PARAMETER:
        return "The parameter is incorrect.";
    case ERROR_KEY_DELETED:
        return "Illegal operation attempted on a registry key that has been marked for deletion.";
    case ERROR_BAD_PATHNAME:
        return "The specified path is invalid.";
    case ERROR_CHILD_MUST_BE_VOLATILE:
        return "Cannot create a stable subkey under a volatile parent key.";
    default: {
        char buf[64];
        std::snprintf(buf, sizeof buf, "The registry operation failed (error %d).", static_cast<int>(status));
        return buf;
    }
    }
}

bool AskYesNo(const std::string& question)
{
    for (;;) {
        std::printf("%s (Yes/No)? ", question.c_str());
        std::fflush(stdout);
        std::string answer;
        if (!std::getline(std::cin, answer))
            return false;
        if (!answer.empty() && (answer[0] == 'y' || answer[0] == 'Y'))
            return true;
        if (!answer.empty() && (answer[0] == 'n' || answer[0] == 'N'))
            return false;
    }
}

} // namespace tonwell::tools::reg
