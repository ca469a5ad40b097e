// Running a program the way a user would, for tests of the command-line tools.
//
// RunTool starts `program` with `args` (no shell), standard input from
// /dev/null, the test's environment plus ToolOptions::env, and waits for it.
// It captures standard output and standard error (apart, or merged into
// `out` in the order written). A program that cannot be started or that ends
// by a signal has exit -1. Safe to call from several threads; each call
// waits for its own child only.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace tonwell::test {

struct ToolRun {
    int exit = -1;   // exit status; -1 when not started or killed by a signal
    std::string out; // standard output (and standard error when merged)
    std::string err; // standard error when not merged
};

struct ToolOptions {
    bool mergeErr = false;                                  // standard error into `out`, as `2>&1` would
    std::vector<std::pair<std::string, std::string>> env;   // NAME, value set for the child only
};

ToolRun RunTool(const std::string& program, const std::vector<std::string>& args, const ToolOptions& options = {});

// `command` through /bin/sh -c, standard error merged into `out`.
ToolRun RunShell(const std::string& command);

// The build tree the tests run against ($TONWELL_BUILD_DIR, else ".").
std::string BuildDir();

// The built `tonwell` binary.
std::string TonwellBinary();

// `tonwell COMMAND ARGS...` through RunTool.
ToolRun RunTonwell(const std::string& command, std::vector<std::string> args, const ToolOptions& options = {});

// `text` as one single-quoted word for /bin/sh.
std::string ShellQuote(const std::string& text);

} // namespace tonwell::test
