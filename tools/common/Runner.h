// Runs one piece of work per input on a pool of worker threads and prints the
// outcomes in input order as soon as they are known, with a progress bar on
// stderr when stderr is a terminal.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace tonwell::tools {

struct Outcome {
    bool ok = false;
    std::string out; // printed on stdout, one line (newline added)
    std::string err; // printed on stderr, one line (newline added)
};

using Work = std::function<Outcome(size_t index)>;
// Called once on each worker thread, before its first piece of work, to make
// what that thread alone uses (a component is used by its creating thread only).
using WorkerFactory = std::function<Work()>;

// Returns the number of inputs whose outcome was not ok.
size_t RunOnWorkers(size_t count, DWORD jobs, const WorkerFactory& makeWorker);

} // namespace tonwell::tools
