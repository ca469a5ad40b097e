// tonwell: the command-line host of the Tonwell component.
#include "command.h"
#include "common/Options.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <map>

namespace tonwell::tools {
namespace {

struct Command {
    const char* summary;
    CommandMain main;
};

std::map<std::string, Command>& Commands()
{
    static std::map<std::string, Command> commands;
    return commands;
}

void Usage(FILE* out)
{
    std::fprintf(out, "usage: tonwell COMMAND [ARGS...]\n       tonwell --version\n\ncommands:\n");
    for (const auto& [name, command] : Commands())
        std::fprintf(out, "  %-10s %s\n", name.c_str(), command.summary);
    std::fprintf(out, "\n'tonwell COMMAND --help' describes a command.\n");
}

} // namespace

CommandRegistration::CommandRegistration(const char* name, const char* summary, CommandMain main)
{
    Commands()[name] = Command{summary, main};
}

} // namespace tonwell::tools

int main(int argc, char** argv)
{
    using namespace tonwell::tools;
    if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "help")) {
        Usage(argc < 2 ? stderr : stdout);
        return argc < 2 ? kUsageExit : 0;
    }
    if (!std::strcmp(argv[1], "--version")) {
        if (argc > 2) {
            std::fprintf(stderr, "tonwell: --version takes no arguments\n");
            return kUsageExit;
        }
        std::printf("tonwell %s\n", TONWELL_VERSION);
        return 0;
    }
    auto it = Commands().find(argv[1]);
    if (it == Commands().end()) {
        std::fprintf(stderr, "tonwell: unknown command '%s'\n\n", argv[1]);
        Usage(stderr);
        return kUsageExit;
    }
    try {
        return it->second.main(std::vector<std::string>(argv + 2, argv + argc));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tonwell %s: %s\n", argv[1], e.what());
        return 1;
    }
}
