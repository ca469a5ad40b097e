// The photos a command's operands name: a file stands for itself, "-" for
// standard input, and a folder for the images in it. Thread-compatible.
#pragma once

#include <string>
#include <vector>

namespace tonwell::tools {

// The operand that means standard input (and, as an output, standard output).
inline constexpr const char* kStandardStream = "-";

// Appends to *pInputs, in order, every operand that is not a folder and, for
// each folder, the images in it: its regular files (or links to them) whose
// extension names one of our formats (imageio::FormatFromPath),
// hidden ones left out, sorted by name. With recursive the sub-folders are
// searched too (links to folders are not followed); without it they are
// ignored. Folders that gave no image are appended to *pEmptyFolders (when
// given), for a note. Returns "" or, for a folder that cannot be read, why not.
std::string ExpandInputs(const std::vector<std::string>& operands, bool recursive, std::vector<std::string>* pInputs,
                         std::vector<std::string>* pEmptyFolders = nullptr);

} // namespace tonwell::tools
