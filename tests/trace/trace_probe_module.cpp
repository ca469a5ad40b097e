// A module with its own tracing client, to see which module the client finds itself in.
#include "TraceClientInternals.h"

extern "C" __attribute__((visibility("default"))) const char* TraceProbeOwner()
{
    LoadTraceSettings(nullptr);
    return tonwell::trace::TraceClientModuleFileName();
}
