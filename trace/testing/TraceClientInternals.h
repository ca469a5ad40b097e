// Views into the tracing client for its tests. Nothing here is exported from a module or called by
// the product; it only reads state or swaps in what a test needs (a fake trace library, another
// image name).
#pragma once

#include "TraceClient.h"

namespace tonwell::trace {

// The eight entries of the trace library, as bound.
struct TraceLibraryTable {
    PFN_WIATRACE_Init pfnInit;
    PFN_WIATRACE_Term pfnTerm;
    PFN_WIATRACE_OutputString pfnOutputString;
    PFN_WIATRACE_IncrementIndentLevel pfnIncrementIndentLevel;
    PFN_WIATRACE_DecrementIndentLevel pfnDecrementIndentLevel;
    PFN_WIATRACE_GetIndentLevel pfnGetIndentLevel;
    PFN_WIATRACE_SetTraceSettings pfnSetTraceSettings;
    PFN_WIATRACE_GetTraceSettings pfnGetTraceSettings;
};

// From the next binding on, use this table instead of loading a library (null: load as usual).
// Absent Init/Term/OutputString get the same do-nothing substitutes as a missing library.
void SetTraceLibraryOverride(const TraceLibraryTable* pTable);
// The name the next binding loads (null: "wiatrace.dll").
void SetTraceLibraryName(LPCWSTR pszName);
// The entries bound now (after substitution).
TraceLibraryTable BoundTraceLibrary();
HMODULE BoundTraceLibraryHandle();

// The image path the suppression list is matched against (null: the process's main module).
void SetMainModulePathOverride(LPCSTR pszPath);

HMODULE TraceClientModule();
LPCSTR TraceClientModuleFileName();
HANDLE TraceLogFile();
HANDLE TraceLogMutex();
BOOL FirstOutputPending();

// The ring of retained records: capacity (0 when there is none) and one slot's record.
DWORD RetainedRecordCapacity();
const TraceRecord* RetainedRecord(DWORD dwSlot);

// Object tracking: links a record for the marker (the module itself registers nothing).
HRESULT RegisterTrackedObject(TrackedObjectMarker* pMarker, LPCSTR pszClassName, LPCWSTR pszWideClassName);
BOOL ObjectTrackingActive();
DWORD TrackedObjectCount();

} // namespace tonwell::trace
