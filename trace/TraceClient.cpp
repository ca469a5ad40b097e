// Tracing that does nothing yet: lines are never made, scopes are inert.
#include "TraceClient.h"

TraceSettings g_TraceSettings;

HRESULT LoadTraceSettings(HMODULE) { return S_OK; }
void InitTraceClient(HMODULE) {}
void TermTraceClient() {}
TraceRecord* FormatTraceA(LPCSTR, ...) { return nullptr; }
TraceRecord* FormatTraceW(LPCWSTR, ...) { return nullptr; }
TraceRecord* FormatTraceMaskW(DWORD, DWORD, LPCWSTR, ...) { return nullptr; }
HRESULT AppendTraceText(TraceRecord* pRecord, LPCSTR) { return pRecord ? S_OK : E_POINTER; }
HRESULT AppendTraceTextW(TraceRecord* pRecord, LPCWSTR) { return pRecord ? S_OK : E_POINTER; }
void AppendHResultText(HRESULT, TraceRecord*) {}
void DispatchTraceRecord(LONG, LONG, LPCSTR, DWORD, TraceRecord*) {}
TraceScope::TraceScope(LONG, LONG, LPCSTR, DWORD, DWORD, DWORD, TraceRecord*) {}
TraceScope::~TraceScope() {}
void ReleaseTrackedObject(TrackedObjectMarker* pMarker)
{
    if (pMarker)
        *pMarker = 0;
}
