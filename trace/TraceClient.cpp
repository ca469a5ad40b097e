// The tracing client: binding the trace library, initialisation and termination, the filter, the
// dispatch of records, the ring of retained records and the static client object.
#include "TraceState.h"

#include <thread>

namespace tonwell::trace {

TraceClientState g_TraceClient;

namespace {

const TraceLibraryTable* s_pLibraryOverride = nullptr;
LPCWSTR s_pszLibraryName = u"wiatrace.dll";
volatile LONG s_lLazyInitLock = 0;

void WINAPI NoInit(HMODULE, const char*) {}
void WINAPI NoTerm() {}
void WINAPI NoOutputString(BOOL, HANDLE, HANDLE, HMODULE, const char*, const SYSTEMTIME*, DWORD, DWORD,
                           const TraceRecord*)
{
}

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

void AllocateRing()
{
    g_TraceClient.ppRing = nullptr;
    g_TraceClient.dwRingCapacity = 0;
    if (g_TraceSettings.MaxTraceArraySize == 0 || (g_TraceSettings.TraceFlags & TRACE_FLAG_NO_RETAIN))
        return;
    if (g_TraceSettings.MaxTraceArraySize > 5000)
        g_TraceSettings.MaxTraceArraySize = 5000;
    DWORD dwCapacity = g_TraceSettings.MaxTraceArraySize;
    auto ppRing = static_cast<TraceRecord* volatile*>(TraceAlloc(sizeof(TraceRecord*) * dwCapacity));
    if (!ppRing)
        return;
    g_TraceClient.ppRing = ppRing;
    g_TraceClient.dwRingCapacity = dwCapacity;
}

void FreeRing()
{
    TraceRecord* volatile* ppRing = g_TraceClient.ppRing;
    DWORD dwCapacity = g_TraceClient.dwRingCapacity;
    g_TraceClient.ppRing = nullptr;
    g_TraceClient.dwRingCapacity = 0;
    if (ppRing) {
        for (DWORD i = 0; i < dwCapacity; ++i)
            FreeTraceRecord(static_cast<TraceRecord*>(InterlockedExchangePointer(
                reinterpret_cast<PVOID volatile*>(const_cast<TraceRecord**>(&ppRing[i])), nullptr)));
        TraceFree(const_cast<TraceRecord**>(ppRing));
    }
}

bool RetentionOn()
{
    return g_TraceClient.ppRing && g_TraceSettings.MaxTraceArraySize != 0 &&
           !(g_TraceSettings.TraceFlags & TRACE_FLAG_NO_RETAIN);
}

// A line written after termination brings the client back. Two threads doing that at once would
// each bind the library and open the log, so the lazy path lets only one of them initialise.
void EnsureTraceClient()
{
    if (IsTraceClientInitialised())
        return;
    while (InterlockedCompareExchange(&s_lLazyInitLock, 1, 0) != 0)
        std::this_thread::yield();
    if (!IsTraceClientInitialised())
        InitTraceClient(nullptr);
    InterlockedExchange(&s_lLazyInitLock, 0);
}

} // namespace

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
HMODULE TraceClientModule() { return g_TraceClient.hModule; }
LPCSTR TraceClientModuleFileName() { return g_TraceClient.szModuleFileName; }
HANDLE TraceLogFile() { return g_TraceClient.hLogFile; }
HANDLE TraceLogMutex() { return g_TraceClient.hLogMutex; }
BOOL FirstOutputPending() { return InterlockedCompareExchange(&g_TraceClient.lFirstOutput, 0, 0) != 0; }
DWORD RetainedRecordCapacity() { return g_TraceClient.ppRing ? g_TraceClient.dwRingCapacity : 0; }

const TraceRecord* RetainedRecord(DWORD dwSlot)
{
    if (!g_TraceClient.ppRing || dwSlot >= g_TraceClient.dwRingCapacity)
        return nullptr;
    return g_TraceClient.ppRing[dwSlot];
}

} // namespace tonwell::trace

using namespace tonwell::trace;

BOOL IsTraceClientInitialised() { return InterlockedCompareExchange(&g_TraceClient.lInitialised, 0, 0) == 1; }

void InitTraceClient(HMODULE hModule)
{
    if (IsTraceClientInitialised()) {
        LoadTraceSettings(hModule);
    } else {
        BindTraceLibrary();
        LoadTraceSettings(hModule);
        OpenTraceLog();
        AllocateRing();
        InterlockedExchange(&g_TraceClient.lFirstOutput, 1);
        GetLocalTime(&g_TraceClient.stStartTime);
        g_TraceClient.dwStartTick = GetTickCount();
        g_TraceClient.Library.pfnInit(g_TraceClient.hModule, g_TraceClient.szModuleFileName);
    }
    InterlockedExchange(&g_TraceClient.lInitialised, 1);
}

void TermTraceClient()
{
    if (InterlockedCompareExchange(&g_TraceClient.lInitialised, 0, 1) != 1)
        return;
    g_TraceClient.Library.pfnTerm();
    FreeRing();
    g_TraceSettings.MaxTraceArraySize = 0;
    CloseTraceLog();
    // Output after this point goes through the substitutes until a lazy re-initialisation binds
    // the library again.
    g_TraceClient.Library = {NoInit, NoTerm, NoOutputString, nullptr, nullptr, nullptr, nullptr, nullptr};
    if (g_TraceClient.hLibrary) {
        FreeLibrary(g_TraceClient.hLibrary);
        g_TraceClient.hLibrary = nullptr;
    }
    g_TraceClient.hModule = nullptr;
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
    const TraceSettings& s = g_TraceSettings;
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

void OutputTraceRecord(TraceRecord* pRecord)
{
    if (!pRecord || g_TraceSettings.SuppressProcessOutput)
        return;
    EnsureTraceClient();
    // Only one thread may carry the first-output flag, so the library writes one header.
    BOOL bFirst = InterlockedExchange(&g_TraceClient.lFirstOutput, 0) != 0;
    g_TraceClient.Library.pfnOutputString(bFirst, g_TraceClient.hLogFile, g_TraceClient.hLogMutex,
                                          g_TraceClient.hModule, g_TraceClient.szModuleFileName,
                                          &g_TraceClient.stStartTime, g_TraceSettings.TraceFlags,
                                          g_TraceSettings.MaxFileSize, pRecord);
}

void RetainTraceRecord(TraceRecord* pRecord)
{
    TraceRecord* volatile* ppRing = g_TraceClient.ppRing;
    DWORD dwCapacity = g_TraceClient.dwRingCapacity;
    if (!pRecord)
        return;
    if (!ppRing || dwCapacity == 0) {
        FreeTraceRecord(pRecord);
        return;
    }
    DWORD n = static_cast<DWORD>(InterlockedIncrement(&g_TraceClient.lRingCounter));
    auto* pSlot = reinterpret_cast<PVOID volatile*>(const_cast<TraceRecord**>(&ppRing[(n - 1) % dwCapacity]));
    FreeTraceRecord(static_cast<TraceRecord*>(InterlockedExchangePointer(pSlot, pRecord)));
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
    pRecord->TimeMs = GetTickCount() - g_TraceClient.dwStartTick;
    if (TraceRecordPasses(pRecord)) {
        if (!(g_TraceSettings.TraceFlags & TRACE_FLAG_NO_OUTPUT))
            OutputTraceRecord(pRecord);
        if (RetentionOn()) {
            RetainTraceRecord(pRecord);
            return;
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
