// The module's start-up and shut-down order. On ELF nothing calls DllMain, so the
// module calls it itself from a static object. Objects of one translation unit
// are constructed in the order they are defined and destroyed in reverse, which
// gives exactly:
//   load:   tracing starts (s_TraceClient), then DllMain(DLL_PROCESS_ATTACH);
//   unload: DllMain(DLL_PROCESS_DETACH), then the tracing client's destruction.
// Every other static object of the module is constant-initialised, so nothing
// else runs before or after these two.
#include "ServerModule.h"
#include "TraceClient.h"

#ifdef TONWELL_LIFETIME_PROBE
// Test builds of the module report each step to a function of the host process.
EXTERN_C __attribute__((weak)) void TonwellLifetimeProbe(const char* pszEvent);
#define LIFETIME_PROBE(text)                                                                                 \
    do {                                                                                                     \
        if (TonwellLifetimeProbe)                                                                            \
            TonwellLifetimeProbe(text);                                                                      \
    } while (0)
#else
#define LIFETIME_PROBE(text) ((void)0)
#endif

namespace {

#ifdef TONWELL_LIFETIME_PROBE
class ProbedTraceClientLifetime : public TraceClientLifetime {
public:
    ProbedTraceClientLifetime()
    {
        LIFETIME_PROBE(IsTraceClientInitialised() ? "tracing started" : "tracing not started");
    }
    ~ProbedTraceClientLifetime()
    {
        LIFETIME_PROBE(IsTraceClientInitialised() ? "tracing still running" : "tracing stopped");
    }
};
ProbedTraceClientLifetime s_TraceClient;
#else
TraceClientLifetime s_TraceClient;
#endif

class ModuleAttachment {
public:
    ModuleAttachment()
    {
        // The module's own handle, found from an address inside it; the module's
        // reference count is left as the loader set it.
        if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                reinterpret_cast<LPCWSTR>(&s_TraceClient), &m_hInstance))
            m_hInstance = nullptr;
        LIFETIME_PROBE("attach");
        DllMain(m_hInstance, DLL_PROCESS_ATTACH, nullptr);
        LIFETIME_PROBE(g_Module.IsReady() ? "module ready" : "module not ready");
    }

    ~ModuleAttachment()
    {
        LIFETIME_PROBE(IsTraceClientInitialised() ? "detach (tracing running)" : "detach (tracing stopped)");
        DllMain(m_hInstance, DLL_PROCESS_DETACH, nullptr);
        LIFETIME_PROBE(g_Module.IsReady() ? "module still ready" : "module terminated");
    }

    ModuleAttachment(const ModuleAttachment&) = delete;
    ModuleAttachment& operator=(const ModuleAttachment&) = delete;

private:
    HMODULE m_hInstance = nullptr;
};

ModuleAttachment s_Attachment;

} // namespace
