// Apartments and in-process activation: classes are found under
// HKEY_CLASSES_ROOT\CLSID and served by the module their InprocServer32 key
// names. Loaded server modules are kept once per process until
// CoFreeUnusedLibraries finds them idle.
#include "categories.h"
#include <windows.h>

#include "boundary.h"

#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace {

typedef HRESULT(STDAPICALLTYPE* PFN_DLLGETCLASSOBJECT)(REFCLSID rclsid, REFIID riid, LPVOID* ppv);
typedef HRESULT(STDAPICALLTYPE* PFN_DLLCANUNLOADNOW)(void);

// An export as the function it is; the cast goes through the generic function
// pointer type, which may hold any function.
template <class T> T ProcAs(FARPROC pfn) { return reinterpret_cast<T>(reinterpret_cast<void (*)()>(pfn)); }

struct ServerModule {
    HMODULE hModule;
    PFN_DLLGETCLASSOBJECT pfnGetClassObject;
    PFN_DLLCANUNLOADNOW pfnCanUnloadNow; // may be missing: such a module is never unloaded
};

// Re-entrant: a module's start-up, or its DllGetClassObject, may itself activate
// classes on the same thread.
std::recursive_mutex& ServerModulesLock()
{
    static std::recursive_mutex s_lock;
    return s_lock;
}

std::vector<ServerModule>& ServerModules()
{
    static std::vector<ServerModule> s_modules;
    return s_modules;
}

struct Apartment {
    DWORD dwCount = 0;
    DWORD dwModel = 0;
};
thread_local Apartment t_apartment;

// A registry that ran out of memory is the caller's lack of memory, not a
// missing class: it travels as std::bad_alloc to the export's boundary.
LONG NotOutOfMemory(LONG lStatus)
{
    if (lStatus == ERROR_NOT_ENOUGH_MEMORY || lStatus == ERROR_OUTOFMEMORY)
        throw std::bad_alloc();
    return lStatus;
}

// The default value of HKEY_CLASSES_ROOT\<subkey> as text, REG_EXPAND_SZ expanded.
// False when the key or a string value is missing.
bool ReadDefaultString(const std::u16string& subKey, std::u16string* pValue)
{
    HKEY hKey = nullptr;
    if (NotOutOfMemory(RegOpenKeyExW(HKEY_CLASSES_ROOT, subKey.c_str(), 0, KEY_READ, &hKey)) != ERROR_SUCCESS)
        return false;
    DWORD dwType = REG_NONE;
    DWORD cbData = 0;
    LONG lStatus = RegQueryValueExW(hKey, nullptr, nullptr, &dwType, nullptr, &cbData);
    std::vector<BYTE> data;
    while (lStatus == ERROR_SUCCESS || lStatus == ERROR_MORE_DATA) {
        data.assign(cbData + sizeof(WCHAR), 0);
        DWORD cbBuffer = cbData;
        lStatus = RegQueryValueExW(hKey, nullptr, nullptr, &dwType, data.data(), &cbBuffer);
        if (lStatus == ERROR_SUCCESS) {
            cbData = cbBuffer;
            break;
        }
        cbData = cbBuffer; // the value grew in between: try again with its new size
    }
    RegCloseKey(hKey);
    NotOutOfMemory(lStatus);
    if (lStatus != ERROR_SUCCESS || (dwType != REG_SZ && dwType != REG_EXPAND_SZ))
        return false;

    std::u16string text(reinterpret_cast<const WCHAR*>(data.data()), cbData / sizeof(WCHAR));
    while (!text.empty() && text.back() == u'\0')
        text.pop_back();
    if (dwType == REG_EXPAND_SZ) {
        DWORD cchNeeded = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
        if (cchNeeded == 0) {
            NotOutOfMemory(static_cast<LONG>(GetLastError()));
            return false;
        }
        std::u16string expanded(cchNeeded, u'\0');
        DWORD cchDone = ExpandEnvironmentStringsW(text.c_str(), expanded.data(), cchNeeded);
        if (cchDone == 0 || cchDone > cchNeeded)
            return false;
        expanded.resize(cchDone - 1);
        text = std::move(expanded);
    }
    *pValue = std::move(text);
    return true;
}

std::u16string GuidText(REFGUID rguid)
{
    WCHAR szGuid[40] = {};
    StringFromGUID2(rguid, szGuid, 40);
    return szGuid;
}

// The loaded module serving rclsid, loading it when needed. Called with the lock held.
HRESULT FindServerModule(REFCLSID rclsid, ServerModule* pServer)
{
    std::u16string classKey = u"CLSID\\" + GuidText(rclsid);
    HKEY hClass = nullptr;
    if (NotOutOfMemory(RegOpenKeyExW(HKEY_CLASSES_ROOT, classKey.c_str(), 0, KEY_READ, &hClass)) != ERROR_SUCCESS)
        return REGDB_E_CLASSNOTREG;
    RegCloseKey(hClass);

    std::u16string path;
    if (!ReadDefaultString(classKey + u"\\InprocServer32", &path) || path.empty())
        return REGDB_E_CLASSNOTREG;

    HMODULE hModule = LoadLibraryExW(path.c_str(), nullptr, 0);
    if (!hModule)
        return CO_E_DLLNOTFOUND;

    // One entry, and one reference of ours, per module, whatever path named it.
    std::vector<ServerModule>& modules = ServerModules();
    for (const ServerModule& server : modules) {
        if (server.hModule == hModule) {
            FreeLibrary(hModule);
            *pServer = server;
            return S_OK;
        }
    }

    auto pfnGetClassObject = ProcAs<PFN_DLLGETCLASSOBJECT>(GetProcAddress(hModule, "DllGetClassObject"));
    if (!pfnGetClassObject) {
        FreeLibrary(hModule);
        return CO_E_ERRORINDLL;
    }
    ServerModule server{hModule, pfnGetClassObject,
                        ProcAs<PFN_DLLCANUNLOADNOW>(GetProcAddress(hModule, "DllCanUnloadNow"))};
    try {
        modules.push_back(server);
    } catch (...) {
        FreeLibrary(hModule); // no record of it, so no reference left behind
        throw;
    }
    *pServer = server;
    return S_OK;
}

} // namespace

HRESULT WINAPI CoInitialize(LPVOID pvReserved) { return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED); }

HRESULT WINAPI CoInitializeEx(LPVOID, DWORD dwCoInit)
{
    const DWORD dwModel = dwCoInit & COINIT_APARTMENTTHREADED;
    Apartment& apartment = t_apartment;
    if (apartment.dwCount == 0) {
        apartment.dwCount = 1;
        apartment.dwModel = dwModel;
        return S_OK;
    }
    if (apartment.dwModel != dwModel)
        return RPC_E_CHANGED_MODE;
    ++apartment.dwCount;
    return S_FALSE;
}

void WINAPI CoUninitialize(void)
{
    Apartment& apartment = t_apartment;
    if (apartment.dwCount > 0)
        --apartment.dwCount;
}

HRESULT WINAPI CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, COSERVERINFO*, REFIID riid, LPVOID* ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (dwClsContext == 0)
        return E_INVALIDARG;
    if (!(dwClsContext & (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)))
        return REGDB_E_CLASSNOTREG;

    HRESULT hrPlatform = S_OK;
    if (GetPlatformClassObject(rclsid, riid, ppv, &hrPlatform))
        return hrPlatform;
    return tonwell::platform::GuardHResult([&]() -> HRESULT {
        std::lock_guard<std::recursive_mutex> guard(ServerModulesLock());
        ServerModule server{};
        HRESULT hr = FindServerModule(rclsid, &server);
        if (FAILED(hr))
            return hr;
        // Called with the lock held so that CoFreeUnusedLibraries cannot unload
        // the module under the call.
        hr = server.pfnGetClassObject(rclsid, riid, ppv);
        if (FAILED(hr))
            *ppv = nullptr;
        return hr;
    });
}

HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    IClassFactory* pFactory = nullptr;
    HRESULT hr = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory,
                                  reinterpret_cast<LPVOID*>(&pFactory));
    if (FAILED(hr))
        return hr;
    hr = pFactory->CreateInstance(pUnkOuter, riid, ppv);
    pFactory->Release();
    if (FAILED(hr))
        *ppv = nullptr;
    return hr;
}

HRESULT WINAPI CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid)
{
    if (!lpszProgID || !lpclsid)
        return E_INVALIDARG;
    *lpclsid = GUID_NULL;
    return tonwell::platform::GuardHResult([&]() -> HRESULT {
        std::u16string progId(lpszProgID);
        if (progId.empty())
            return CO_E_CLASSSTRING;
        std::u16string text;
        if (!ReadDefaultString(progId + u"\\CLSID", &text))
            return CO_E_CLASSSTRING;
        CLSID clsid;
        if (FAILED(CLSIDFromString(text.c_str(), &clsid)))
            return CO_E_CLASSSTRING;
        *lpclsid = clsid;
        return S_OK;
    });
}

void WINAPI CoFreeUnusedLibraries(void) { CoFreeUnusedLibrariesEx(0, 0); }

void WINAPI CoFreeUnusedLibrariesEx(DWORD, DWORD)
{
    std::lock_guard<std::recursive_mutex> guard(ServerModulesLock());
    std::vector<ServerModule>& modules = ServerModules();
    for (size_t i = 0; i < modules.size();) {
        ServerModule server = modules[i];
        if (server.pfnCanUnloadNow && server.pfnCanUnloadNow() == S_OK) {
            modules.erase(modules.begin() + static_cast<std::ptrdiff_t>(i));
            FreeLibrary(server.hModule);
        } else {
            ++i;
        }
    }
}
