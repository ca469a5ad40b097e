#include "common/Component.h"

#include <climits>
#include <mutex>
#include <unistd.h>
#include <vector>

#include "common/Text.h"
#include "tonwell_posix_modules.h"

namespace tonwell::tools {
namespace {

struct ComponentSource {
    std::mutex lock;
    std::string modulePath; // set by --module; empty means "registered class, else the bundled module"
    bool resolved = false;
    HRESULT hr = E_UNEXPECTED;
    IClassFactory* factory = nullptr; // kept for the life of the process, as is its module
    std::string description;
    std::string error;
};

ComponentSource& Source()
{
    static ComponentSource source;
    return source;
}

HRESULT FactoryFromModule(const std::string& path, IClassFactory** ppFactory, std::string* pError)
{
    HMODULE module = LoadLibraryW(Widen(path).c_str());
    if (!module) {
        DWORD err = GetLastError();
        *pError = "cannot load the module " + path;
        if (const char* why = TonwellLastLoadError(); why && *why)
            *pError += std::string(": ") + why;
        return HRESULT_FROM_WIN32(err ? err : ERROR_MOD_NOT_FOUND);
    }
    // Via void(*)() so that the cast to the real signature is explicit and allowed.
    auto proc = reinterpret_cast<void (*)()>(GetProcAddress(module, "DllGetClassObject"));
    if (!proc) {
        FreeLibrary(module);
        *pError = "the module " + path + " has no DllGetClassObject";
        return CO_E_ERRORINDLL;
    }
    auto getClassObject = reinterpret_cast<LPFNGETCLASSOBJECT>(proc);
    HRESULT hr = getClassObject(CLSID_TonwellExposure, IID_IClassFactory, reinterpret_cast<void**>(ppFactory));
    if (FAILED(hr)) {
        FreeLibrary(module);
        *pError = "the module " + path + " does not serve the exposure class";
    }
    return hr;
}

void Resolve(ComponentSource& source)
{
    source.resolved = true;
    if (!source.modulePath.empty()) {
        source.hr = FactoryFromModule(source.modulePath, &source.factory, &source.error);
        source.description = "module " + source.modulePath;
        return;
    }
    source.hr = CoGetClassObject(CLSID_TonwellExposure, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                 reinterpret_cast<void**>(&source.factory));
    if (SUCCEEDED(source.hr)) {
        source.description = "the registered class";
        return;
    }
    if (source.hr != REGDB_E_CLASSNOTREG) {
        source.error = "the registered class cannot be activated";
        return;
    }
    const std::string path = DefaultModulePath();
    source.hr = FactoryFromModule(path, &source.factory, &source.error);
    source.description = "module " + path;
}

} // namespace

std::string DefaultModulePath()
{
    std::vector<char> buffer(PATH_MAX + 1, '\0');
    ssize_t cb = readlink("/proc/self/exe", buffer.data(), PATH_MAX);
    if (cb <= 0)
        return "TonwellObj.so";
    std::string exe(buffer.data(), static_cast<size_t>(cb));
    std::string::size_type slash = exe.rfind('/');
    std::string dir = slash == std::string::npos ? std::string(".") : exe.substr(0, slash);
    return dir + "/../lib/TonwellObj.so";
}

void UseComponentModule(const std::string& path)
{
    ComponentSource& source = Source();
    std::lock_guard<std::mutex> guard(source.lock);
    source.modulePath = path;
}

HRESULT CreateExposureComponent(ITonwellExposure** ppComponent, std::string* pError)
{
    if (!ppComponent)
        return E_POINTER;
    *ppComponent = nullptr;
    ComponentSource& source = Source();
    IClassFactory* factory = nullptr;
    {
        std::lock_guard<std::mutex> guard(source.lock);
        if (!source.resolved)
            Resolve(source);
        if (FAILED(source.hr)) {
            if (pError)
                *pError = source.error;
            return source.hr;
        }
        factory = source.factory;
    }
    HRESULT hr = factory->CreateInstance(nullptr, IID_ITonwellExposure, reinterpret_cast<void**>(ppComponent));
    if (FAILED(hr) && pError)
        *pError = "the class object cannot create the component (" + source.description + ")";
    return hr;
}

} // namespace tonwell::tools
