// The library's entry point, its object map and its exports.
#include <new>

#include "ExposureObjects.h"
#include "Registration.h"
#include "ServerModule.h"
#include "TraceClient.h"

namespace {

// No description: the class is one that registration writes. No component categories.
const WCHAR* WINAPI GetExposureDescription() { return nullptr; }
const CategoryMapEntry* WINAPI GetExposureCategoryMap() { return nullptr; }
void WINAPI ExposureObjectMain(bool) {}

} // namespace

// The one class the module serves. Not const: the entry caches the class object.
ObjectMapEntry g_ObjectMap[] = {
    {&CLSID_TonwellExposure, UpdateExposureRegistry, CreateClassFactory, CreateExposureObject, nullptr, GetExposureDescription,
     GetExposureCategoryMap, ExposureObjectMain},
    {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
};

EXTERN_C BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID)
{
    if (dwReason == DLL_PROCESS_ATTACH) {
        // Tracing was started by the module's static initialisation; this only
        // gives it the module's own handle.
        InitTraceClient(hInstance);
        if (g_TraceSettings.TraceFlags & TRACE_FLAG_TRACE)
            DispatchTraceRecord(0, 0, "DllMain", TRACE_FLAG_TRACE,
                                FormatTraceMaskW(0, 0, u"DLL_PROCESS_ATTACH called on TonwellObj.dll"));
        // A failed Init (no memory for the module's locks) leaves the module loaded
        // but unusable: the exports see it through g_Module.IsReady() and answer
        // an error instead of taking a lock that does not exist.
        g_Module.Init(g_ObjectMap, hInstance);
        DisableThreadLibraryCalls(hInstance);
    } else if (dwReason == DLL_PROCESS_DETACH) {
        if (g_TraceSettings.TraceFlags & TRACE_FLAG_TRACE)
            DispatchTraceRecord(0, 0, "DllMain", TRACE_FLAG_TRACE,
                                FormatTraceMaskW(0, 0, u"DLL_PROCESS_DETACH called on TonwellObj.dll"));
        TermTraceClient();
        g_Module.Term();
    }
    return TRUE;
}

TONWELL_EXPORT HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv)
{
    try {
        return g_Module.GetClassObject(rclsid, riid, ppv);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

// Nothing lives in a module that never finished Init, so it may be unloaded.
TONWELL_EXPORT HRESULT STDAPICALLTYPE DllCanUnloadNow(void)
{
    if (!g_Module.IsReady())
        return S_OK;
    return g_Module.GetLockCount() == 0 ? S_OK : S_FALSE;
}
