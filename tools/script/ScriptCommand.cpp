// tonwell script run FILE [--unregister] [--var NAME=VALUE]...: runs a registration
// script the way a module's "REGISTRY" resource would hold it.
#include "command.h"

#include <ScriptRegistrar.h>
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

namespace tonwell::tools {
namespace {

const char kUsage[] =
    "usage: tonwell script run FILE [--unregister] [--var NAME=VALUE]...\n"
    "\n"
    "Runs FILE as a registration script against the registry of the machine root:\n"
    "its bytes up to the first zero byte, in the system code page, as a module's\n"
    "\"REGISTRY\" resource holds them. Each --var adds the replacement NAME (used as\n"
    "%NAME% in the script), in the order given. --unregister removes what the script\n"
    "describes instead of writing it.\n"
    "\n"
    "The last line printed is the result as 0xXXXXXXXX; the exit status is 0 for a\n"
    "success code, 1 for a failure and 2 for a usage error.\n";

std::u16string Utf16(const std::string& text, bool& ok)
{
    ok = false;
    const int cch = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                        nullptr, 0);
    if (cch <= 0 && !text.empty())
        return {};
    std::u16string out(static_cast<size_t>(cch), u'\0');
    if (cch > 0)
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), out.data(),
                            cch);
    ok = true;
    return out;
}

int UsageError(const char* message)
{
    std::fprintf(stderr, "tonwell script: %s\n\n%s", message, kUsage);
    return 2;
}

int RunScriptCommand(const std::vector<std::string>& args)
{
    if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (args.empty() || args[0] != "run")
        return UsageError(args.empty() ? "missing subcommand" : "unknown subcommand");

    std::string file;
    BOOL bRegister = TRUE;
    CScriptRegistrar registrar;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--unregister") {
            bRegister = FALSE;
        } else if (arg == "--var") {
            if (i + 1 >= args.size())
                return UsageError("--var needs NAME=VALUE");
            const std::string& assignment = args[++i];
            const size_t eq = assignment.find('=');
            if (eq == std::string::npos || eq == 0)
                return UsageError("--var needs NAME=VALUE");
            bool okName = false, okValue = false;
            const std::u16string name = Utf16(assignment.substr(0, eq), okName);
            const std::u16string value = Utf16(assignment.substr(eq + 1), okValue);
            if (!okName || !okValue)
                return UsageError("--var is not valid UTF-8 text");
            const HRESULT hr = registrar.AddReplacement(name.c_str(), value.c_str());
            if (FAILED(hr)) {
                std::fprintf(stderr, "tonwell script: cannot add the replacement (out of memory)\n");
                return 1;
            }
        } else if (!arg.empty() && arg[0] == '-' && arg != "-") {
            return UsageError(("unknown option " + arg).c_str());
        } else if (file.empty()) {
            file = arg;
        } else {
            return UsageError("more than one FILE");
        }
    }
    if (file.empty())
        return UsageError("missing FILE");

    std::string bytes;
    if (file == "-") {
        bytes.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else {
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "tonwell script: cannot read %s\n", file.c_str());
            return 1;
        }
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (in.bad()) {
            std::fprintf(stderr, "tonwell script: cannot read %s\n", file.c_str());
            return 1;
        }
    }
    if (bytes.size() > 0xFFFFFFFFu)
        return UsageError("FILE is too large");

    const HRESULT hr = registrar.RunScriptBytes(bytes.data(), static_cast<DWORD>(bytes.size()), bRegister);
    std::printf("0x%08X\n", static_cast<unsigned>(hr));
    return SUCCEEDED(hr) ? 0 : 1;
}

} // namespace
} // namespace tonwell::tools

TONWELL_COMMAND(script, "run a registration script against the registry", tonwell::tools::RunScriptCommand);
