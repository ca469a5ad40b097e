#include "reg_common.h"

#include "common/ErrorText.h"

#include <ktmw32.h>
#include <tonwell_posix_registry.h>

#include <cstdio>
#include <iostream>
#include <unistd.h>

namespace tonwell::tools::reg {

std::string KeyPath::Display() const
{
    return subKey.empty() ? rootName : rootName + "\\" + Utf16ToUtf8(subKey);
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
            path.subKey = Utf8ToUtf16(rest);
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

LONG DeleteTree(HKEY parent, const std::u16string& subKey, HANDLE transaction)
{
    HKEY key = nullptr;
    LONG status = transaction ? RegOpenKeyTransactedW(parent, subKey.c_str(), 0, KEY_READ | DELETE, &key,
                                                      transaction, nullptr)
                              : RegOpenKeyExW(parent, subKey.c_str(), 0, KEY_READ | DELETE, &key);
    if (status != ERROR_SUCCESS)
        return status;
    std::vector<std::u16string> children;
    status = ReadSubKeys(key, children);
    for (const auto& child : children) {
        if (status != ERROR_SUCCESS)
            break;
        // A key opened in a transaction passes it on to what is opened from it.
        status = DeleteTree(key, child);
    }
    RegCloseKey(key);
    if (status != ERROR_SUCCESS)
        return status;
    return transaction ? RegDeleteKeyTransactedW(parent, subKey.c_str(), 0, 0, transaction, nullptr)
                       : RegDeleteKeyW(parent, subKey.c_str());
}

std::string ErrorText(LONG status)
{
    std::string text;
    if (status == ERROR_FILE_NOT_FOUND) {
        text = "The system was unable to find the specified registry key or value.";
    } else {
        // reg's messages are whole sentences, with their full stop.
        const std::string message = SystemMessage(static_cast<DWORD>(status));
        text = message.empty() ? "The registry operation failed (error " + std::to_string(status) + ")."
                               : message + ".";
    }
    const char* cause = TonwellRegLastFailure();
    if (cause && *cause)
        text += " (" + std::string(cause) + ")";
    return text;
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
