// The names and built-in values the tracing client shares with the `tonwell trace` tool: where the
// settings live and with what security, the value names, the shared log and its mutex. One home
// for both, so the tool always reads and writes what the client reads. Not installed.
//
// Each name comes as 8-bit text and, with a W suffix, as wide text.
#pragma once

#include <windef.h>

#include "wiatrace.h"

#define TONWELL_TRACE_NAME(id, text)                                                                                  \
    inline constexpr char id[] = text;                                                                                 \
    inline constexpr WCHAR id##W[] = u"" text;

namespace tonwell::trace {

// HKEY_LOCAL_MACHINE key holding the defaults of every module; one subkey per module file name.
TONWELL_TRACE_NAME(kTraceKey, "SYSTEM\\CurrentControlSet\\Control\\StillImage\\Trace")
// Security given to the key and its subkeys when they are created: full access for the system,
// administrators and the local service account, read access for authenticated users.
TONWELL_TRACE_NAME(kTraceKeySecurity, "D:(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)(A;OICI;GA;;;LS)(A;OICI;GR;;;AU)")

// Values of the key.
TONWELL_TRACE_NAME(kMaxFileSizeValue, "MaxFileSize")
TONWELL_TRACE_NAME(kDefaultTraceFlagsValue, "DefaultTraceFlags")
TONWELL_TRACE_NAME(kDefaultTraceMaskValue, "DefaultTraceMask")
TONWELL_TRACE_NAME(kDefaultTraceLevelValue, "DefaultTraceLevel")
TONWELL_TRACE_NAME(kDefaultMaxTraceArraySizeValue, "DefaultMaxTraceArraySize")
TONWELL_TRACE_NAME(kDefaultEnableObjectTrackingValue, "DefaultEnableObjectTracking")
TONWELL_TRACE_NAME(kSuppressProcessOutputValue, "SuppressProcessOutput")
// In the key the default, in a module's subkey the module's own.
TONWELL_TRACE_NAME(kHeapOptionsValue, "HeapOptions")
// Values of a module's subkey.
TONWELL_TRACE_NAME(kTraceFlagsValue, "TraceFlags")
TONWELL_TRACE_NAME(kTraceMaskValue, "TraceMask")
TONWELL_TRACE_NAME(kTraceLevelValue, "TraceLevel")
TONWELL_TRACE_NAME(kMaxTraceArraySizeValue, "MaxTraceArraySize")
TONWELL_TRACE_NAME(kEnableObjectTrackingValue, "EnableObjectTracking")

// The shared log (environment variables still to be expanded), its folder, and the global mutex
// that serialises its writers across processes.
TONWELL_TRACE_NAME(kLogFolder, "%systemroot%\\Debug\\WIA")
TONWELL_TRACE_NAME(kLogPath, "%systemroot%\\Debug\\WIA\\wiatrace.log")
TONWELL_TRACE_NAME(kLogMutexName, "Global\\WIATRACE_MUTEX")

// Built-in values of the settings, before anything is read.
inline constexpr DWORD kBuiltInTraceFlags = TRACE_FLAG_KEEP_LOG | TRACE_FLAG_ERROR;
inline constexpr DWORD kBuiltInTraceMask = 0;
inline constexpr DWORD kBuiltInTraceLevel = 0;
inline constexpr DWORD kBuiltInMaxTraceArraySize = 10;
inline constexpr DWORD kBuiltInMaxFileSize = 0x100000;
inline constexpr DWORD kBuiltInEnableObjectTracking = 1;
inline constexpr DWORD kBuiltInHeapOptions = 0x18;
// The most records the ring ever retains, whatever MaxTraceArraySize asks.
inline constexpr DWORD kMaxRetainedRecords = 5000;

} // namespace tonwell::trace

#undef TONWELL_TRACE_NAME
