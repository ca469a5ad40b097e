// Command-line helpers shared by the subcommands.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace tonwell::tools {

// A 32-bit unsigned number written in decimal ("15") or hexadecimal with a
// 0x or 0X prefix ("0xF"). Nothing else: no sign, no spaces, no octal, no overflow.
bool ParseDword(const std::string& text, DWORD* pValue);

// A decimal number within [min, max].
bool ParseDecimalInRange(const std::string& text, DWORD min, DWORD max, DWORD* pValue);

// If args[i] is `name` followed by a value ("--jobs 4") or `name=value`
// ("--jobs=4"), stores the value, advances i past it and returns true. A
// missing value gives an error message in *pError.
bool TakeOption(const std::vector<std::string>& args, size_t& i, const char* name, std::string* pValue,
                std::string* pError);

// Processors this process may run on.
DWORD AvailableProcessors();

} // namespace tonwell::tools
