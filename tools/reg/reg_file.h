// Value types and data in the tool's text forms, and the .reg files of
// "Windows Registry Editor Version 5.00".
#pragma once

#include "reg_common.h"

#include <string>
#include <vector>

namespace tonwell::tools::reg {

std::string TypeName(DWORD type);
bool ParseTypeName(const std::string& name, DWORD& type);
// Data as `query` shows it.
std::string DisplayData(DWORD type, const std::vector<BYTE>& data);
// Data from `add /d`: false with a message when it does not fit the type.
bool ParseData(DWORD type, const std::string& text, const std::string& separator, std::vector<BYTE>& data,
               std::string& error);

// Writes the key and everything below it to `file` (UTF-16LE with a byte-order
// mark). The file appears complete or not at all.
bool ExportKey(const KeyPath& path, const std::string& file, std::string& error);
// Reads the whole file first; nothing is changed when any line is malformed.
bool ImportFile(const std::string& file, std::string& error);

} // namespace tonwell::tools::reg
