#include "machine_root.h"

#include <cstdlib>
#include <pwd.h>
#include <system_error>
#include <unistd.h>

namespace tonwell::platform {

std::filesystem::path MachineRoot()
{
    if (const char* root = std::getenv("TONWELL_ROOT"); root && *root)
        return std::filesystem::path(root);
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data)
        return std::filesystem::path(data) / "tonwell";
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
        if (const passwd* pw = getpwuid(getuid()))
            home = pw->pw_dir;
    }
    return std::filesystem::path(home ? home : "/tmp") / ".local" / "share" / "tonwell";
}

std::filesystem::path SystemFolder()
{
    std::filesystem::path folder = MachineRoot() / "system";
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    return folder;
}

} // namespace tonwell::platform
