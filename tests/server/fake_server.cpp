// A minimal in-process server for activation tests: one class object, and a
// DllCanUnloadNow whose answer the test sets. It tells the host process when it
// is loaded and unloaded.
#include <windows.h>

extern "C" {
__attribute__((weak)) void FakeServerLoaded();
__attribute__((weak)) void FakeServerUnloaded();
}

namespace {

HRESULT g_hrCanUnloadNow = S_FALSE;

struct LoadReporter {
    LoadReporter()
    {
        if (FakeServerLoaded)
            FakeServerLoaded();
    }
    ~LoadReporter()
    {
        if (FakeServerUnloaded)
            FakeServerUnloaded();
    }
} s_reporter;

class FakeFactory : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory))
            return E_NOINTERFACE;
        *ppv = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID, void** ppv) override
    {
        if (ppv)
            *ppv = nullptr;
        return E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

FakeFactory s_factory;

} // namespace

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

FAKE_EXPORT HRESULT DllGetClassObject(REFCLSID, REFIID riid, void** ppv) { return s_factory.QueryInterface(riid, ppv); }
FAKE_EXPORT HRESULT DllCanUnloadNow() { return g_hrCanUnloadNow; }
FAKE_EXPORT void FakeServerSetCanUnloadNow(HRESULT hr) { g_hrCanUnloadNow = hr; }
