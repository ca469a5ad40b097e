// Shared pieces of `tonwell reg`: key names, the registry walks used by
// several subcommands, messages. Everything goes through the platform API.
#pragma once

#include "common/Text.h"

#include <windows.h>

#include <string>
#include <vector>

namespace tonwell::tools::reg {

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
// Removes a key and everything below it; inside `transaction` when one is given.
LONG DeleteTree(HKEY parent, const std::u16string& subKey, HANDLE transaction = nullptr);

// The message for a status the tool reports, with the cause and the store
// when the store itself failed. Call it right after the failed call.
std::string ErrorText(LONG status);

bool AskYesNo(const std::string& question);

} // namespace tonwell::tools::reg
