// Shared pieces of `tonwell reg`: key names, text conversion, the registry
// walks used by several subcommands. Everything goes through the platform API.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace tonwell::tools::reg {

std::u16string Widen(const std::string& s);
std::string Narrow(const std::u16string& s);

struct KeyPath {
    HKEY root = nullptr;
    std::string rootName;  // the full root name, "HKEY_LOCAL_MACHINE"
    std::u16string subKey; // below the root, without leading or trailing '\'
    std::string Display() const;
};

// "HKLM\Software\X", "HKEY_LOCAL_MACHINE\Software\X", ... False when the root
// is not one the tool knows.
bool ParseKeyPath(const std::string& text, KeyPath& path);

struct Value {
    std::u16string name;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

LONG ReadValues(HKEY key, std::vector<Value>& values);
LONG ReadSubKeys(HKEY key, std::vector<std::u16string>& names);
// Removes a key and everything below it.
LONG DeleteTree(HKEY parent, const std::u16string& subKey);

// The platform's messages for the statuses the tool reports.
std::string ErrorText(LONG status);

bool AskYesNo(const std::string& question);

} // namespace tonwell::tools::reg
