// How the host obtains its exposure components: the one place that knows.
// Components come from the module, never from code linked into the host: from
// the module named with --module, else from the registered class, else from
// TonwellObj.so in the lib folder beside the host.
#pragma once

#include <windows.h>

#include "TonwellObj.h"

#include <string>

namespace tonwell::tools {

// TonwellObj.so in ../lib relative to the running executable.
std::string DefaultModulePath();

// A server module file loaded the way a host loads it and asked for the
// exposure class object. Used from one thread at a time.
class ServerModule {
public:
    ServerModule() = default;
    // Releases the class object and unloads the module, unless detached.
    ~ServerModule();
    ServerModule(const ServerModule&) = delete;
    ServerModule& operator=(const ServerModule&) = delete;

    // A failure, with the reason in *pError, when the file cannot be loaded
    // (the loader's error) or is not a server module (CO_E_ERRORINDLL: no
    // DllGetClassObject or no DllCanUnloadNow). S_OK otherwise, whether or not
    // the module hands out the class object. Call once.
    HRESULT Load(const std::string& file, std::string* pError);

    // The file as the loader reports it.
    const std::string& Path() const { return m_path; }
    // What DllGetClassObject answered for the exposure class.
    HRESULT ClassObjectResult() const { return m_hrClassObject; }
    // The class object with its one reference, now the caller's; the module
    // then stays loaded for the life of the process. Null when there is none.
    IClassFactory* DetachFactory();

private:
    HMODULE m_module = nullptr;
    std::string m_path;
    HRESULT m_hrClassObject = E_UNEXPECTED;
    IClassFactory* m_factory = nullptr;
};

// Creates later components from this module file instead. Call before the first component.
void UseComponentModule(const std::string& path);

// On success *ppComponent holds one reference, to be released by the caller.
// A component is used from the thread that created it only. On failure
// *pError (when given) says what could not be loaded or created.
HRESULT CreateExposureComponent(ITonwellExposure** ppComponent, std::string* pError = nullptr);

// Holds one reference to an interface and releases it.
template <class T>
class ComRef {
public:
    ComRef() = default;
    ~ComRef() { Reset(); }
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;

    T** Receive()
    {
        Reset();
        return &m_p;
    }
    T* operator->() const { return m_p; }
    T* Get() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }
    void Reset()
    {
        if (m_p) {
            m_p->Release();
            m_p = nullptr;
        }
    }

private:
    T* m_p = nullptr;
};

} // namespace tonwell::tools
