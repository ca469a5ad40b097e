#include "common/Component.h"

#include "common/ErrorText.h"
#include "common/Text.h"

#include <climits>
#include <mutex>
#include <unistd.h>
#include <vector>

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
    ServerModule module;
    HRESULT hr = module.Load(path, pError);
    if (FAILED(hr))
        return hr;
    hr = module.ClassObjectResult();
    if (FAILED(hr)) {
        *pError = "the module " + module.Path() + " does not serve the exposure class";
        return hr;
    }
    *ppFactory = module.DetachFactory();
    return *ppFactory ? S_OK : E_UNEXPECTED;
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

ServerModule::~ServerModule()
{
    if (m_factory)
        m_factory->Release();
    if (m_module)
        FreeLibrary(m_module);
}

HRESULT ServerModule::Load(const std::string& file, std::string* pError)
{
    m_module = LoadLibraryW(Utf8ToUtf16(file).c_str());
    if (!m_module) {
        const DWORD dwError = GetLastError();
        const HRESULT hr = HRESULT_FROM_WIN32(dwError ? dwError : ERROR_MOD_NOT_FOUND);
        const char* pszDetail = TonwellLastLoadError();
        *pError = "cannot load the module " + file + ": " +
                  (pszDetail && *pszDetail ? std::string(pszDetail) : HResultText(hr));
        return hr;
    }
    WCHAR szPath[4096] = {};
    const DWORD cch = GetModuleFileNameW(m_module, szPath, 4096);
    m_path = cch > 0 && cch < 4096 ? Utf16ToUtf8(std::u16string_view(szPath, cch)) : file;

    // Via void(*)() so that the cast to the real signature is explicit and allowed.
    const auto pfnGetClassObject = reinterpret_cast<LPFNGETCLASSOBJECT>(
        reinterpret_cast<void (*)()>(GetProcAddress(m_module, "DllGetClassObject")));
    if (!pfnGetClassObject || !GetProcAddress(m_module, "DllCanUnloadNow")) {
        *pError = "'" + m_path + "' is not a TonwellObj server module (no DllGetClassObject/DllCanUnloadNow)";
        return CO_E_ERRORINDLL;
    }
    m_hrClassObject =
        pfnGetClassObject(CLSID_TonwellExposure, IID_IClassFactory, reinterpret_cast<LPVOID*>(&m_factory));
    if (FAILED(m_hrClassObject))
        m_factory = nullptr;
    else if (!m_factory)
        m_hrClassObject = E_POINTER;
    return S_OK;
}

IClassFactory* ServerModule::DetachFactory()
{
    IClassFactory* factory = m_factory;
    m_factory = nullptr;
    if (factory)
        m_module = nullptr; // the class object's code lives there
    return factory;
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
