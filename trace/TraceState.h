// The tracing client's process-wide state, shared by the client's source files.
#pragma once

#include "TraceClientInternals.h"

namespace tonwell::trace {

struct TraceClientState {
    volatile LONG lInitialised;
    HMODULE hLibrary;
    TraceLibraryTable Library;
    HMODULE hModule;
    CHAR szModuleFileName[MAX_PATH + 1];
    DWORD dwStartTick;
    SYSTEMTIME stStartTime;
    volatile LONG lFirstOutput;
    HANDLE hLogFile;
    HANDLE hLogMutex;
    TraceRecord* volatile* ppRing;
    DWORD dwRingCapacity;
    volatile LONG lRingCounter;
};

extern TraceClientState g_TraceClient;

// Zero-filled allocation from the process heap, and its release.
void* TraceAlloc(SIZE_T cb);
void TraceFree(void* pv);

// A record stamped like the formatters stamp theirs (process, thread, indent; mask and level from
// the library's settings), holding the given 8-bit text whole.
TraceRecord* MakeTraceRecordA(LPCSTR pszText);

} // namespace tonwell::trace
