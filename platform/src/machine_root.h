// Where one machine's persistent state lives: $TONWELL_ROOT, else
// $XDG_DATA_HOME/tonwell, else ~/.local/share/tonwell. Read on every call so a
// process (or a test) that changes the variable sees the new root.
#pragma once

#include <filesystem>

namespace tonwell::platform {

std::filesystem::path MachineRoot();

// The folder that %SystemRoot% names: <root>/system, created on demand.
std::filesystem::path SystemFolder();

} // namespace tonwell::platform
