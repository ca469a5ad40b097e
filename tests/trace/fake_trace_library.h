// A trace library made of plain functions, bound through the client's test seam, that keeps a copy
// of every record it is handed.
#pragma once

#include "TraceClientInternals.h"

#include <string>
#include <vector>

namespace tonwell::test {

struct CapturedLine {
    BOOL bFirstOutput;
    HANDLE hLogFile;
    HANDLE hLogMutex;
    std::string module;
    DWORD dwTraceFlags;
    DWORD dwMaxFileSize;
    bool bHasText;
    std::string text;
    bool bHasFunction;
    std::string function;
    DWORD dwFlag;
    DWORD dwMask;
    DWORD dwLevel;
    DWORD dwIndent;
    DWORD dwProcessId;
    DWORD dwThreadId;
};

// Every entry present.
const trace::TraceLibraryTable& FakeTraceLibrary();
// Only the three required entries: no indent and no settings.
const trace::TraceLibraryTable& FakeTraceLibraryWithoutOptionalEntries();

std::vector<CapturedLine> CapturedLines();
void ClearCapturedLines();
// The lines and the counts of init and term calls, all cleared: a fresh library for each test,
// so that the tests of one process do not see each other's calls.
void ResetFakeTraceLibrary();
// The lines captured so far, which are cleared in the same step.
std::vector<CapturedLine> TakeCapturedLines();
int FakeInitCalls();
int FakeTermCalls();
// The calling thread's settings as the fake library holds them.
void FakeSettings(DWORD* pdwMask, DWORD* pdwLevel, DWORD* pdwActive);

} // namespace tonwell::test
