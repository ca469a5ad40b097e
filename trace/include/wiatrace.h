/* The interface between the tracing client and the trace library it loads at
 * run time ("wiatrace.dll", which the platform resolves to wiatrace.so). Both
 * sides compile against this header; it is C so the library can be plain C.
 *
 * TraceRecord: eleven fields in this order. The integer fields are 32-bit; the
 * two text pointers are pointer-sized on this 64-bit build (so the record is 56
 * bytes here, not the 44 of a 32-bit build). */
#ifndef TONWELL_WIATRACE_H
#define TONWELL_WIATRACE_H

#include <windef.h>

typedef struct TraceRecord {
    char* Text;               /* the line, NUL-terminated UTF-8; owned by the client; null when empty */
    DWORD TimeMs;             /* ms from the client's initialisation to the dispatch */
    DWORD ProcessId;
    DWORD ThreadId;
    LONG CallerWord1;         /* passed through from the caller of the dispatch */
    LONG CallerWord2;
    const char* FunctionName; /* writing function, a constant; null for scope and tracking lines */
    DWORD Flag;               /* the line's one trace flag */
    DWORD Mask;               /* component mask */
    DWORD IndentLevel;        /* the library's indent level when the record was made */
    DWORD Level;              /* detail level */
} TraceRecord;

/* Trace flags: each line carries exactly one. */
#define TRACE_FLAG_ERROR 0x1u
#define TRACE_FLAG_MASKED 0x2u
#define TRACE_FLAG_TRACE 0x4u
#define TRACE_FLAG_SCOPE 0x8u
#define TRACE_FLAG_OBJECTS 0x10u
#define TRACE_FLAG_ALWAYS 0x80u
/* Bits of TraceFlags that steer the log and the client rather than kinds of line. */
#define TRACE_FLAG_KEEP_LOG 0x400u
#define TRACE_FLAG_NO_RETAIN 0x800u
#define TRACE_FLAG_NO_OUTPUT 0x1000u

/* The library's exports. */
typedef void(WINAPI* PFN_WIATRACE_Init)(HMODULE hModule, const char* pszModuleFileName);
typedef void(WINAPI* PFN_WIATRACE_Term)(void);
typedef void(WINAPI* PFN_WIATRACE_OutputString)(BOOL bFirstOutput, HANDLE hLogFile, HANDLE hLogMutex,
                                                HMODULE hModule, const char* pszModuleFileName,
                                                const SYSTEMTIME* pStartTime, DWORD dwTraceFlags,
                                                DWORD dwMaxFileSize, const TraceRecord* pRecord);
typedef void(WINAPI* PFN_WIATRACE_IncrementIndentLevel)(void);
typedef void(WINAPI* PFN_WIATRACE_DecrementIndentLevel)(void);
typedef DWORD(WINAPI* PFN_WIATRACE_GetIndentLevel)(void);
typedef void(WINAPI* PFN_WIATRACE_SetTraceSettings)(DWORD dwMask, DWORD dwLevel, DWORD dwActive);
typedef void(WINAPI* PFN_WIATRACE_GetTraceSettings)(DWORD* pdwMask, DWORD* pdwLevel, DWORD* pdwActive);

#endif
