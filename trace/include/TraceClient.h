// The module's tracing client: settings, records, scopes and object tracking.
// Callers test a bit of g_TraceSettings.TraceFlags before they format a line.
#pragma once

#include <windows.h>

#include "wiatrace.h"

struct TraceSettings {
    DWORD TraceFlags = 0x401;
    DWORD TraceMask = 0;
    DWORD TraceLevel = 0;
    DWORD MaxTraceArraySize = 10;
    DWORD MaxFileSize = 0x100000;
    DWORD EnableObjectTracking = 1;
    DWORD HeapOptions = 0x18;
    BOOL SuppressProcessOutput = FALSE;
    DWORD DefaultTraceFlags = 0x401;
    DWORD DefaultTraceMask = 0;
    DWORD DefaultTraceLevel = 0;
    DWORD DefaultMaxTraceArraySize = 10;
    DWORD DefaultEnableObjectTracking = 1;
    DWORD DefaultHeapOptions = 0x18;
};

// Process-wide (per module) settings.
extern TraceSettings g_TraceSettings;

HRESULT LoadTraceSettings(HMODULE hModule);

void InitTraceClient(HMODULE hModule);
void TermTraceClient();

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
};

// One byte inside a traced object: 0 unregistered, anything else registered.
typedef BYTE TrackedObjectMarker;
void ReleaseTrackedObject(TrackedObjectMarker* pMarker);
