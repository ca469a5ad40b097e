#include "common/Options.h"

#include <cstdio>
#include <sched.h>
#include <thread>

namespace tonwell::tools {

bool ParseDword(const std::string& text, DWORD* pValue)
{
    size_t i = 0;
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        i = 2;
    }
    if (i == text.size())
        return false;
    ULONGLONG value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = unsigned(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = unsigned(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = unsigned(c - 'A' + 10);
        else
            return false;
        value = value * base + digit;
        if (value > 0xFFFFFFFFull)
            return false;
    }
    *pValue = DWORD(value);
    return true;
}

bool ParseDecimalInRange(const std::string& text, DWORD min, DWORD max, DWORD* pValue)
{
    if (text.empty() || text.size() > 10)
        return false;
    ULONGLONG value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + ULONGLONG(c - '0');
    }
    if (value < min || value > max)
        return false;
    *pValue = DWORD(value);
    return true;
}

DWORD AvailableProcessors()
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0)
            return DWORD(count);
    }
    const unsigned count = std::thread::hardware_concurrency();
    return count ? count : 1;
}

CommandLine::CommandLine(const char* command, const char* usage, const char* help)
    : m_command(command), m_usage(usage), m_help(help)
{
}

void CommandLine::Flag(std::initializer_list<const char*> names, bool* pSet)
{
    m_specs.push_back(Spec{std::vector<std::string>(names.begin(), names.end()), pSet, {}});
}

void CommandLine::Option(std::initializer_list<const char*> names, Apply apply)
{
    m_specs.push_back(Spec{std::vector<std::string>(names.begin(), names.end()), nullptr, std::move(apply)});
}

void CommandLine::StrengthOption(DWORD* pFlags, bool* pGiven)
{
    Option({"--strength"}, [pFlags, pGiven](const std::string& value) -> std::string {
        if (!ParseDword(value, pFlags))
            return "invalid strength '" + value +
                   "': give a whole number from 0 to 4294967295, in decimal or as 0x-hex";
        if (pGiven)
            *pGiven = true;
        return {};
    });
}

void CommandLine::JobsOption(DWORD* pJobs)
{
    Option({"--jobs", "-j"}, [pJobs](const std::string& value) -> std::string {
        if (!ParseDecimalInRange(value, 1, 1024, pJobs))
            return "invalid number of jobs '" + value + "': give a whole number from 1 to 1024";
        return {};
    });
}

const CommandLine::Spec* CommandLine::Find(const std::string& arg, std::string* pValue, bool* pInline) const
{
    for (const Spec& spec : m_specs) {
        for (const std::string& name : spec.names) {
            if (arg == name) {
                *pInline = false;
                return &spec;
            }
            if (!spec.flag && arg.size() > name.size() && arg.compare(0, name.size(), name) == 0 &&
                arg[name.size()] == '=') {
                *pValue = arg.substr(name.size() + 1);
                *pInline = true;
                return &spec;
            }
        }
    }
    return nullptr;
}

bool CommandLine::Parse(const std::vector<std::string>& args, std::vector<std::string>* pOperands,
                        int* pExitCode) const
{
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool isOperand = optionsEnded || arg.empty() || arg[0] != '-' || arg == "-";
        if (!isOperand && arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (isOperand) {
            if (!pOperands) {
                *pExitCode = UsageError("unexpected argument '" + arg + "'");
                return false;
            }
            pOperands->push_back(arg);
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            std::printf("%s%s", m_usage.c_str(), m_help.c_str());
            *pExitCode = 0;
            return false;
        }
        std::string value;
        bool isInline = false;
        const Spec* spec = Find(arg, &value, &isInline);
        if (!spec) {
            *pExitCode = UsageError("unknown option '" + arg + "'");
            return false;
        }
        if (spec->flag) {
            *spec->flag = true;
            continue;
        }
        if (!isInline) {
            if (i + 1 >= args.size()) {
                *pExitCode = UsageError("option " + arg + " needs a value");
                return false;
            }
            value = args[++i];
        }
        const std::string problem = spec->apply(value);
        if (!problem.empty()) {
            *pExitCode = UsageError(problem);
            return false;
        }
    }
    return true;
}

int CommandLine::UsageError(const std::string& message) const
{
    std::fprintf(stderr, "tonwell %s: %s\n%s(see 'tonwell %s --help')\n", m_command.c_str(), message.c_str(),
                 m_usage.c_str(), m_command.c_str());
    return kUsageExit;
}

} // namespace tonwell::tools
