// Subcommands of the `tonwell` host register themselves here, one file each.
#pragma once

#include <string>
#include <vector>

namespace tonwell::tools {

using CommandMain = int (*)(const std::vector<std::string>& args);

struct CommandRegistration {
    CommandRegistration(const char* name, const char* summary, CommandMain main);
};

} // namespace tonwell::tools

// TONWELL_COMMAND(fix, "correct the exposure of images", RunFix);
#define TONWELL_COMMAND(name, summary, fn) \
    static const ::tonwell::tools::CommandRegistration s_command_##name(#name, summary, fn)
