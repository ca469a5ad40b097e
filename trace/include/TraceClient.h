// The module's tracing client: settings, records, scopes and object tracking.
// Callers test a bit of g_TraceSettings.TraceFlags before they format a line.
//
// Each module links its own copy of the client (a static library, hidden
// symbols), so the state below is per module and process.
//
// Threading: any thread may make, dispatch and retain records and open scopes
// at any time, also while another thread initialises, reloads or terminates
// the client. Termination waits until every thread that is using the bound
// library, the log handles or the ring has left them, then releases them; a
// line that meets a terminated client re-initialises it (InitTraceClient(null)).
// Initialisation, reloads and termination are serialised among themselves.
#pragma once

#include <windows.h>

#include <atomic>

#include "TraceNames.h"
#include "wiatrace.h"

// Each field is read on its own, atomically; a reload publishes all of them
// as one set (the filter reads them as one set). Outside the client, only
// tests write fields.
struct TraceSettings {
    std::atomic<DWORD> TraceFlags{tonwell::trace::kBuiltInTraceFlags};
    std::atomic<DWORD> TraceMask{tonwell::trace::kBuiltInTraceMask};
    std::atomic<DWORD> TraceLevel{tonwell::trace::kBuiltInTraceLevel};
    std::atomic<DWORD> MaxTraceArraySize{tonwell::trace::kBuiltInMaxTraceArraySize};
    std::atomic<DWORD> MaxFileSize{tonwell::trace::kBuiltInMaxFileSize};
    std::atomic<DWORD> EnableObjectTracking{tonwell::trace::kBuiltInEnableObjectTracking};
    std::atomic<DWORD> HeapOptions{tonwell::trace::kBuiltInHeapOptions};
    std::atomic<BOOL> SuppressProcessOutput{FALSE};
    std::atomic<DWORD> DefaultTraceFlags{tonwell::trace::kBuiltInTraceFlags};
    std::atomic<DWORD> DefaultTraceMask{tonwell::trace::kBuiltInTraceMask};
    std::atomic<DWORD> DefaultTraceLevel{tonwell::trace::kBuiltInTraceLevel};
    std::atomic<DWORD> DefaultMaxTraceArraySize{tonwell::trace::kBuiltInMaxTraceArraySize};
    std::atomic<DWORD> DefaultEnableObjectTracking{tonwell::trace::kBuiltInEnableObjectTracking};
    std::atomic<DWORD> DefaultHeapOptions{tonwell::trace::kBuiltInHeapOptions};
};

// Process-wide (per module) settings.
extern TraceSettings g_TraceSettings;

// Loads the settings from HKLM "SYSTEM\CurrentControlSet\Control\StillImage\Trace" and the
// module's subkey, writing missing values back; settles the owning module and suppression.
// S_OK, E_FAIL when a key can neither be created nor opened, or the descriptor's conversion error.
HRESULT LoadTraceSettings(HMODULE hModule);

// The shared log "%systemroot%\Debug\WIA\wiatrace.log" and "Global\WIATRACE_MUTEX". Part of the
// client's initialisation and termination; called on their own only while the client is not
// initialised. The log is only ever opened as the regular file of that name with a single link,
// never through a symbolic link; anything else leaves the invalid handle (E_FAIL).
HRESULT OpenTraceLog();
void CloseTraceLog();

// Initialises the client, or only reloads the settings when it is initialised already.
void InitTraceClient(HMODULE hModule);
// Terminates an initialised client: waits until no thread uses what the initialisation built,
// then releases the library, the ring and the log.
void TermTraceClient();
BOOL IsTraceClientInitialised();

// Formatters: printf-style; each returns a new record, or null when out of memory.
TraceRecord* FormatTraceA(LPCSTR pszFormat, ...);
TraceRecord* FormatTraceW(LPCWSTR pszFormat, ...);
TraceRecord* FormatTraceMaskW(DWORD dwMask, DWORD dwLevel, LPCWSTR pszFormat, ...);

HRESULT AppendTraceText(TraceRecord* pRecord, LPCSTR pszText);
HRESULT AppendTraceTextW(TraceRecord* pRecord, LPCWSTR pszText);
void AppendHResultText(HRESULT hr, TraceRecord* pRecord);

// Takes ownership of the record (null does nothing) and writes it if the filter passes it.
void DispatchTraceRecord(LONG lCallerWord1, LONG lCallerWord2, LPCSTR pszFunctionName, DWORD dwFlag,
                         TraceRecord* pRecord);

// The filter; may clear the record's mask and level.
BOOL TraceRecordPasses(TraceRecord* pRecord);
// Hands a record to the trace library (the record stays the caller's).
void OutputTraceRecord(TraceRecord* pRecord);
// Takes a record over into the ring of retained records.
void RetainTraceRecord(TraceRecord* pRecord);
// Frees a record and its text; null does nothing.
void FreeTraceRecord(TraceRecord* pRecord);

// The component mask of the method scopes the engine and the component open (with
// trace flag TRACE_FLAG_SCOPE and level 0).
constexpr DWORD TRACE_MASK_METHODS = 0x1;

// Opened as the first statement of a traced method; writes the exiting line when it goes out of scope.
class TraceScope {
public:
    TraceScope(LONG lCallerWord1, LONG lCallerWord2, LPCSTR pszFunctionName, DWORD dwFlag, DWORD dwMask,
               DWORD dwLevel, TraceRecord* pRecord);
    ~TraceScope();
    TraceScope(const TraceScope&) = delete;
    TraceScope& operator=(const TraceScope&) = delete;

private:
    TraceRecord m_Body{};
    DWORD m_dwSavedMask = 0;
    DWORD m_dwSavedLevel = 0;
    DWORD m_dwSavedActive = 0;
    BOOL m_bInert = TRUE;
    BOOL m_bSettingsSaved = FALSE;
    BOOL m_bIndented = FALSE;
};

// The static tracing client of a module. Its construction starts tracing (InitTraceClient with no
// module, then object tracking when enabled); its destruction, when the client is still
// initialised, stops object tracking and terminates the client.
//
// A module defines exactly one instance, with static storage duration, and orders it against
// DllMain explicitly: construction must come before DllMain(DLL_PROCESS_ATTACH) and destruction
// after DllMain(DLL_PROCESS_DETACH). On ELF the dependable way is to define it in the same
// translation unit as, and before, the static object whose constructor runs the attach and whose
// destructor runs the detach (objects of one translation unit are constructed in order of
// definition and destroyed in reverse):
//
//     static TraceClientLifetime s_TraceClient;      // first: tracing starts
//     static ModuleLifetime s_Module;                // then: DllMain attach ... detach
//
// Because detach terminates the client, the destruction then finds it terminated and does nothing.
class TraceClientLifetime {
public:
    TraceClientLifetime();
    ~TraceClientLifetime();
    TraceClientLifetime(const TraceClientLifetime&) = delete;
    TraceClientLifetime& operator=(const TraceClientLifetime&) = delete;
};

// Object tracking: one byte inside a traced object, 0 unregistered, anything else registered.
typedef BYTE TrackedObjectMarker;
void StartObjectTracking();
void StopObjectTracking();
void ReleaseTrackedObject(TrackedObjectMarker* pMarker);
void UnregisterTrackedObject(const void* pIdentity);
void ReportTrackedObjects();
