// The tracing client: binding the trace library, initialisation and termination, the filter, the
// dispatch of records, the ring of retained records and the static client object.
#include "TraceState.h"

#include <thread>

namespace tonwell::trace {

// Constant-initialised, so the static client object of a module may use them whatever the order in
// which the module's static objects are constructed.
constinit TraceClientState g_TraceClient{};
constinit TraceGate g_TraceGate;
constinit std::mutex g_TraceControl;

namespace {

const TraceLibraryTable* s_pLibraryOverride = nullptr;
LPCWSTR s_pszLibraryName = u"wiatrace.dll";

void WINAPI NoInit(HMODULE, const char*) {}
void WINAPI NoTerm() {}
void WINAPI NoOutputString(BOOL, HANDLE, HANDLE, HMODULE, const char*, const SYSTEMTIME*, DWORD, DWORD,
                           const TraceRecord*)
{
}

const TraceLibraryTable s_NoLibrary = {NoInit, NoTerm, NoOutputString, nullptr, nullptr, nullptr, nullptr, nullptr};

template <class P>
P Lookup(HMODULE hLibrary, LPCSTR pszName)
{
    // Through the generic function type, which any function pointer may be cast to and from.
    return reinterpret_cast<P>(reinterpret_cast<void (*)()>(GetProcAddress(hLibrary, pszName)));
}

void BindTraceLibrary()
{
    TraceLibraryTable& lib = g_TraceClient.Library;
    lib = {};
    g_TraceClient.hLibrary = nullptr;
    if (s_pLibraryOverride) {
        lib = *s_pLibraryOverride;
    } else if (HMODULE hLibrary = LoadLibraryW(s_pszLibraryName)) {
        g_TraceClient.hLibrary = hLibrary;
        lib.pfnInit = Lookup<PFN_WIATRACE_Init>(hLibrary, "WIATRACE_Init");
        lib.pfnTerm = Lookup<PFN_WIATRACE_Term>(hLibrary, "WIATRACE_Term");
        lib.pfnOutputString = Lookup<PFN_WIATRACE_OutputString>(hLibrary, "WIATRACE_OutputString");
        lib.pfnIncrementIndentLevel =
            Lookup<PFN_WIATRACE_IncrementIndentLevel>(hLibrary, "WIATRACE_IncrementIndentLevel");
        lib.pfnDecrementIndentLevel =
            Lookup<PFN_WIATRACE_DecrementIndentLevel>(hLibrary, "WIATRACE_DecrementIndentLevel");
        lib.pfnGetIndentLevel = Lookup<PFN_WIATRACE_GetIndentLevel>(hLibrary, "WIATRACE_GetIndentLevel");
        lib.pfnSetTraceSettings = Lookup<PFN_WIATRACE_SetTraceSettings>(hLibrary, "WIATRACE_SetTraceSettings");
        lib.pfnGetTraceSettings = Lookup<PFN_WIATRACE_GetTraceSettings>(hLibrary, "WIATRACE_GetTraceSettings");
    }
    if (!lib.pfnInit || !lib.pfnTerm || !lib.pfnOutputString) {
        lib.pfnInit = NoInit;
        lib.pfnTerm = NoTerm;
        lib.pfnOutputString = NoOutputString;
    }
}

// The ring's capacity is settled here for the life of the initialisation; the setting itself is
// lowered to what is used.
void AllocateRing()
{
    g_TraceClient.ppRing = nullptr;
    g_TraceClient.dwRingCapacity = 0;
    TraceSettingsValues s = ReadTraceSettings();
    if (s.MaxTraceArraySize == 0 || (s.TraceFlags & TRACE_FLAG_NO_RETAIN))
        return;
    if (s.MaxTraceArraySize > kMaxRetainedRecords) {
        s.MaxTraceArraySize = kMaxRetainedRecords;
        PublishTraceSettings(s);
    }
    DWORD dwCapacity = s.MaxTraceArraySize;
    auto ppRing = static_cast<TraceRecord**>(TraceAlloc(sizeof(TraceRecord*) * dwCapacity));
    if (!ppRing)
        return;
    g_TraceClient.ppRing = ppRing;
    g_TraceClient.dwRingCapacity = dwCapacity;
}

TraceRecord* ExchangeSlot(TraceRecord** ppSlot, TraceRecord* pRecord)
{
    return static_cast<TraceRecord*>(InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(ppSlot), pRecord));
}

// Only once no reader is left: nothing retains into the ring any more.
void FreeRing()
{
    TraceRecord** ppRing = g_TraceClient.ppRing;
    DWORD dwCapacity = g_TraceClient.dwRingCapacity;
    g_TraceClient.ppRing = nullptr;
    g_TraceClient.dwRingCapacity = 0;
    if (ppRing) {
        for (DWORD i = 0; i < dwCapacity; ++i)
            FreeTraceRecord(ExchangeSlot(&ppRing[i], nullptr));
        TraceFree(ppRing);
    }
}

bool RetentionOn(const TraceClientState& client, const TraceSettingsValues& s)
{
    return client.ppRing && s.MaxTraceArraySize != 0 && !(s.TraceFlags & TRACE_FLAG_NO_RETAIN);
}

BOOL Passes(TraceRecord* pRecord, const TraceSettingsValues& s)
{
    DWORD dwFlag = pRecord->Flag;
    if (!(s.TraceFlags & dwFlag) && dwFlag != TRACE_FLAG_ALWAYS)
        return FALSE;
    switch (dwFlag) {
    case TRACE_FLAG_ERROR:
    case TRACE_FLAG_OBJECTS:
    case TRACE_FLAG_ALWAYS:
        pRecord->Mask = 0;
        pRecord->Level = 0;
        return TRUE;
    case TRACE_FLAG_MASKED:
        if ((pRecord->Mask & s.TraceMask) != pRecord->Mask)
            return FALSE;
        pRecord->Level = 0;
        return TRUE;
    case TRACE_FLAG_TRACE:
    case TRACE_FLAG_SCOPE:
        if (pRecord->Level > s.TraceLevel)
            return FALSE;
        return s.TraceMask == 0 || (pRecord->Mask & s.TraceMask) == pRecord->Mask;
    default:
        return FALSE;
    }
}

void Output(TraceClientState& client, const TraceSettingsValues& s, TraceRecord* pRecord)
{
    if (s.SuppressProcessOutput)
        return;
    // Only one thread may carry the first-output flag, so the library writes one header.
    BOOL bFirst = client.lFirstOutput.exchange(0) != 0;
    const TraceOwner& owner = client.Owner();
    client.Library.pfnOutputString(bFirst, client.hLogFile, client.hLogMutex, owner.hModule,
                                   owner.szModuleFileName, &client.stStartTime, s.TraceFlags, s.MaxFileSize,
                                   pRecord);
}

void Retain(TraceClientState& client, TraceRecord* pRecord)
{
    if (!client.ppRing || client.dwRingCapacity == 0) {
        FreeTraceRecord(pRecord);
        return;
    }
    DWORD n = static_cast<DWORD>(client.lRingCounter.fetch_add(1) + 1);
    FreeTraceRecord(ExchangeSlot(&client.ppRing[(n - 1) % client.dwRingCapacity], pRecord));
}

void InitLocked(HMODULE hModule)
{
    if (g_TraceClient.lInitialised.load() == 1) {
        LoadTraceSettingsLocked(hModule);
        return;
    }
    // Unpublished: no reader looks at any of this until the store at the end.
    BindTraceLibrary();
    LoadTraceSettingsLocked(hModule);
    OpenTraceLog();
    AllocateRing();
    g_TraceClient.lFirstOutput.store(1);
    GetLocalTime(&g_TraceClient.stStartTime);
    g_TraceClient.dwStartTick = GetTickCount();
    const TraceOwner& owner = g_TraceClient.Owner();
    g_TraceClient.Library.pfnInit(owner.hModule, owner.szModuleFileName);
    g_TraceClient.lInitialised.store(1);
}

// A line written after termination brings the client back; the lock lets only one of several
// threads doing that at once initialise. Never called inside a TraceReader.
void EnsureTraceClient()
{
    if (IsTraceClientInitialised())
        return;
    std::lock_guard<std::mutex> lock(g_TraceControl);
    if (!IsTraceClientInitialised())
        InitLocked(nullptr);
}

} // namespace

unsigned TraceGate::Enter()
{
    for (;;) {
        unsigned uEpoch = m_uEpoch.load();
        m_lReaders[uEpoch & 1].fetch_add(1);
        // Counted in the right counter only if no Synchronize moved readers on meanwhile.
        if (m_uEpoch.load() == uEpoch)
            return uEpoch & 1;
        m_lReaders[uEpoch & 1].fetch_sub(1);
    }
}

void TraceGate::Leave(unsigned uSlot) { m_lReaders[uSlot].fetch_sub(1); }

void TraceGate::Synchronize()
{
    unsigned uEpoch = m_uEpoch.fetch_add(1);
    while (m_lReaders[uEpoch & 1].load() != 0)
        std::this_thread::yield();
}

void* TraceAlloc(SIZE_T cb) { return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, cb); }

void TraceFree(void* pv)
{
    if (pv)
        HeapFree(GetProcessHeap(), 0, pv);
}

void SetTraceLibraryOverride(const TraceLibraryTable* pTable) { s_pLibraryOverride = pTable; }
void SetTraceLibraryName(LPCWSTR pszName) { s_pszLibraryName = pszName ? pszName : u"wiatrace.dll"; }
TraceLibraryTable BoundTraceLibrary() { return g_TraceClient.Library; }
HMODULE BoundTraceLibraryHandle() { return g_TraceClient.hLibrary; }
HMODULE TraceClientModule() { return g_TraceClient.Owner().hModule; }
LPCSTR TraceClientModuleFileName() { return g_TraceClient.Owner().szModuleFileName; }
HANDLE TraceLogFile() { return g_TraceClient.hLogFile; }
HANDLE TraceLogMutex() { return g_TraceClient.hLogMutex; }
BOOL FirstOutputPending() { return g_TraceClient.lFirstOutput.load() != 0; }
DWORD RetainedRecordCapacity() { return g_TraceClient.ppRing ? g_TraceClient.dwRingCapacity : 0; }

const TraceRecord* RetainedRecord(DWORD dwSlot)
{
    if (!g_TraceClient.ppRing || dwSlot >= g_TraceClient.dwRingCapacity)
        return nullptr;
    return g_TraceClient.ppRing[dwSlot];
}

} // namespace tonwell::trace

using namespace tonwell::trace;

BOOL IsTraceClientInitialised() { return g_TraceClient.lInitialised.load() == 1; }

void InitTraceClient(HMODULE hModule)
{
    std::lock_guard<std::mutex> lock(g_TraceControl);
    InitLocked(hModule);
}

void TermTraceClient()
{
    std::lock_guard<std::mutex> lock(g_TraceControl);
    LONG lWas = 1;
    if (!g_TraceClient.lInitialised.compare_exchange_strong(lWas, 0))
        return;
    // No thread finds the client published any more; wait for those that still use it.
    g_TraceGate.Synchronize();
    g_TraceClient.Library.pfnTerm();
    FreeRing();
    TraceSettingsValues s = ReadTraceSettings();
    s.MaxTraceArraySize = 0;
    PublishTraceSettings(s);
    CloseTraceLog();
    g_TraceClient.Library = s_NoLibrary;
    if (g_TraceClient.hLibrary) {
        FreeLibrary(g_TraceClient.hLibrary);
        g_TraceClient.hLibrary = nullptr;
    }
    g_TraceClient.Owners[g_TraceClient.lOwner.load()].hModule = nullptr;
}

void FreeTraceRecord(TraceRecord* pRecord)
{
    if (!pRecord)
        return;
    TraceFree(pRecord->Text);
    TraceFree(pRecord);
}

BOOL TraceRecordPasses(TraceRecord* pRecord)
{
    if (!pRecord)
        return FALSE;
    EnsureTraceClient();
    return Passes(pRecord, ReadTraceSettings());
}

void OutputTraceRecord(TraceRecord* pRecord)
{
    if (!pRecord || g_TraceSettings.SuppressProcessOutput)
        return;
    EnsureTraceClient();
    TraceReader reader;
    if (TraceClientState* pClient = reader.Client())
        Output(*pClient, ReadTraceSettings(), pRecord);
}

void RetainTraceRecord(TraceRecord* pRecord)
{
    if (!pRecord)
        return;
    TraceReader reader;
    if (TraceClientState* pClient = reader.Client())
        Retain(*pClient, pRecord);
    else
        FreeTraceRecord(pRecord);
}

void DispatchTraceRecord(LONG lCallerWord1, LONG lCallerWord2, LPCSTR pszFunctionName, DWORD dwFlag,
                         TraceRecord* pRecord)
{
    if (!pRecord)
        return;
    pRecord->CallerWord1 = lCallerWord1;
    pRecord->CallerWord2 = lCallerWord2;
    pRecord->FunctionName = pszFunctionName;
    pRecord->Flag = dwFlag;
    EnsureTraceClient();
    {
        TraceReader reader;
        // A termination between the two steps above loses the line, as a line written during
        // termination may be.
        if (TraceClientState* pClient = reader.Client()) {
            pRecord->TimeMs = GetTickCount() - pClient->dwStartTick;
            TraceSettingsValues s = ReadTraceSettings();
            if (Passes(pRecord, s)) {
                if (!(s.TraceFlags & TRACE_FLAG_NO_OUTPUT))
                    Output(*pClient, s, pRecord);
                if (RetentionOn(*pClient, s)) {
                    Retain(*pClient, pRecord);
                    return;
                }
            }
        }
    }
    FreeTraceRecord(pRecord);
}

TraceClientLifetime::TraceClientLifetime()
{
    if (!IsTraceClientInitialised()) {
        InitTraceClient(nullptr);
        if (g_TraceSettings.EnableObjectTracking != 0)
            StartObjectTracking();
    }
}

TraceClientLifetime::~TraceClientLifetime()
{
    if (IsTraceClientInitialised()) {
        StopObjectTracking();
        TermTraceClient();
    }
}
