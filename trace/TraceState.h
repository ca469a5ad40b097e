// The tracing client's process-wide state, shared by the client's source files, and the rules by
// which threads share it.
//
// What an initialisation builds (bound library, log handles, ring, start time) is published by
// g_TraceClient.lInitialised and read only inside a TraceReader that found it published.
// Termination unpublishes it, waits until every such reader has left (TraceGate::Synchronize) and
// only then releases it. Initialisation builds it while it is unpublished. So nothing is freed or
// rewritten while a thread uses it, and readers take no lock.
//
// Initialisation, reloads and termination hold g_TraceControl. A thread never waits for
// g_TraceControl while it is inside a TraceReader: Synchronize under g_TraceControl waits for
// readers, so that would deadlock.
#pragma once

#include "TraceClientInternals.h"

#include <atomic>
#include <mutex>

namespace tonwell::trace {

// The settings as one plain set of values.
struct TraceSettingsValues {
    DWORD TraceFlags;
    DWORD TraceMask;
    DWORD TraceLevel;
    DWORD MaxTraceArraySize;
    DWORD MaxFileSize;
    DWORD EnableObjectTracking;
    DWORD HeapOptions;
    BOOL SuppressProcessOutput;
    DWORD DefaultTraceFlags;
    DWORD DefaultTraceMask;
    DWORD DefaultTraceLevel;
    DWORD DefaultMaxTraceArraySize;
    DWORD DefaultEnableObjectTracking;
    DWORD DefaultHeapOptions;
};

// All of g_TraceSettings as one set: never half of one publication and half of the next.
TraceSettingsValues ReadTraceSettings();
// Stores all of g_TraceSettings as one set. Publishers exclude one another.
void PublishTraceSettings(const TraceSettingsValues& values);

// Readers announce themselves in one of two counters; Synchronize moves new readers to the other
// counter and waits for the first to drain, so a steady stream of readers cannot hold it up.
class TraceGate {
public:
    // Returns the counter to pass to Leave. Never blocks.
    unsigned Enter();
    void Leave(unsigned uSlot);
    // Returns once every reader that entered before the call has left. Never call it inside a
    // TraceReader.
    void Synchronize();

private:
    std::atomic<unsigned> m_uEpoch{0};
    std::atomic<LONG> m_lReaders[2]{};
};

extern TraceGate g_TraceGate;
extern std::mutex g_TraceControl;

// The module that owns the client and its file name, settled by LoadTraceSettings.
struct TraceOwner {
    HMODULE hModule;
    CHAR szModuleFileName[MAX_PATH + 1];
};

struct TraceClientState {
    // 1 while what follows is published.
    std::atomic<LONG> lInitialised;
    HMODULE hLibrary;
    TraceLibraryTable Library;
    DWORD dwStartTick;
    SYSTEMTIME stStartTime;
    std::atomic<LONG> lFirstOutput;
    HANDLE hLogFile;
    HANDLE hLogMutex;
    // Slots are exchanged atomically; the array lives as long as the publication.
    TraceRecord** ppRing;
    DWORD dwRingCapacity;
    std::atomic<LONG> lRingCounter;
    // A reload writes the owner not in use, switches to it, and waits for the readers of the other,
    // which the next reload then rewrites.
    TraceOwner Owners[2];
    std::atomic<LONG> lOwner;

    const TraceOwner& Owner() const { return Owners[lOwner.load()]; }
};

extern TraceClientState g_TraceClient;

// The client's state for as long as the reader lives, or null when the client is not initialised.
class TraceReader {
public:
    TraceReader() : m_uSlot(g_TraceGate.Enter())
    {
        m_pClient = g_TraceClient.lInitialised.load() == 1 ? &g_TraceClient : nullptr;
    }
    ~TraceReader() { g_TraceGate.Leave(m_uSlot); }
    TraceReader(const TraceReader&) = delete;
    TraceReader& operator=(const TraceReader&) = delete;

    TraceClientState* Client() const { return m_pClient; }

private:
    unsigned m_uSlot;
    TraceClientState* m_pClient;
};

// LoadTraceSettings for a caller that holds g_TraceControl.
HRESULT LoadTraceSettingsLocked(HMODULE hModule);

// Zero-filled allocation from the process heap, and its release.
void* TraceAlloc(SIZE_T cb);
void TraceFree(void* pv);

// A record stamped like the formatters stamp theirs (process, thread, indent; mask and level from
// the library's settings), holding the given 8-bit text whole.
TraceRecord* MakeTraceRecordA(LPCSTR pszText);

} // namespace tonwell::trace
