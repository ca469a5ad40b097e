// Command-line handling shared by the subcommands: one parser, the options
// that several commands take, and usage errors (exit status 2).
#pragma once

#include <windows.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace tonwell::tools {

// The exit status of a usage error, in every command.
constexpr int kUsageExit = 2;

// A 32-bit unsigned number written in decimal ("15") or hexadecimal with a
// 0x or 0X prefix ("0xF"). Nothing else: no sign, no spaces, no octal, no overflow.
bool ParseDword(const std::string& text, DWORD* pValue);

// A decimal number within [min, max].
bool ParseDecimalInRange(const std::string& text, DWORD min, DWORD max, DWORD* pValue);

// Processors this process may run on.
DWORD AvailableProcessors();

// One command's arguments: options by name, a value given as "--name VALUE"
// or "--name=VALUE"; every other argument is an operand ("-" alone is one,
// and "--" makes all that follow operands). -h and --help print the help.
// Options are applied in the order given, on the calling thread; one
// CommandLine is used by one thread.
class CommandLine {
public:
    // command: "fix"; usage: the usage line(s); help: the rest of --help.
    CommandLine(const char* command, const char* usage, const char* help);

    // An option without a value.
    void Flag(std::initializer_list<const char*> names, bool* pSet);
    // An option with a value. apply returns "" when the value is taken, else
    // what is wrong with it (a usage error).
    using Apply = std::function<std::string(const std::string& value)>;
    void Option(std::initializer_list<const char*> names, Apply apply);

    // The options that fix and analyze share.
    // --strength N: Initialize's flags, decimal or 0x-hex, 0 to 4294967295.
    void StrengthOption(DWORD* pFlags, bool* pGiven);
    // --jobs N, -j N: 1 to 1024.
    void JobsOption(DWORD* pJobs);

    // Parses args. True when the command is to run, with the operands in
    // *pOperands (a command that takes none passes null: an operand is then a
    // usage error). False when it is to exit with *pExitCode: 0 after the
    // help, kUsageExit after a usage error (the message is printed).
    bool Parse(const std::vector<std::string>& args, std::vector<std::string>* pOperands, int* pExitCode) const;

    // Prints "tonwell COMMAND: MESSAGE" and the usage on stderr; returns kUsageExit.
    int UsageError(const std::string& message) const;

private:
    struct Spec {
        std::vector<std::string> names;
        bool* flag = nullptr;
        Apply apply;
    };
    const Spec* Find(const std::string& arg, std::string* pValue, bool* pInline) const;

    std::string m_command;
    std::string m_usage;
    std::string m_help;
    std::vector<Spec> m_specs;
};

} // namespace tonwell::tools
