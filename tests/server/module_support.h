// Loading the built TonwellObj.so the way a host does, through the platform.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "TonwellObj.h"
#include "machine_root.h"
#include "run_tool.h"

namespace tonwell::test {

inline std::string ModulePath(const char* name = "TonwellObj.so") { return BuildDir() + "/lib/" + name; }

inline std::u16string Widen(const std::string& text)
{
    int cch = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::u16string wide(cch > 0 ? static_cast<size_t>(cch) : 1, u'\0');
    if (cch > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), cch);
    wide.pop_back();
    return wide;
}

template <class T> T ProcAs(FARPROC pfn) { return reinterpret_cast<T>(reinterpret_cast<void (*)()>(pfn)); }

struct LoadedModule {
    HMODULE hModule = nullptr;
    LPFNGETCLASSOBJECT pfnGetClassObject = nullptr;
    LPFNCANUNLOADNOW pfnCanUnloadNow = nullptr;

    explicit LoadedModule(const std::string& path = ModulePath())
    {
        hModule = LoadLibraryW(Widen(path).c_str());
        if (!hModule)
            return;
        pfnGetClassObject = ProcAs<LPFNGETCLASSOBJECT>(GetProcAddress(hModule, "DllGetClassObject"));
        pfnCanUnloadNow = ProcAs<LPFNCANUNLOADNOW>(GetProcAddress(hModule, "DllCanUnloadNow"));
    }
    ~LoadedModule()
    {
        if (hModule)
            FreeLibrary(hModule);
    }
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    bool Ok() const { return hModule && pfnGetClassObject && pfnCanUnloadNow; }

    IClassFactory* ClassFactory() const
    {
        IClassFactory* pFactory = nullptr;
        EXPECT_EQ(pfnGetClassObject(CLSID_TonwellExposure, IID_IClassFactory, reinterpret_cast<void**>(&pFactory)),
                  S_OK);
        return pFactory;
    }
};

typedef HRESULT(STDAPICALLTYPE* PFNREGISTER)();

// The built module loaded on a fresh machine root, its registration entry points at hand.
class RegisteringModuleFixture : public MachineRootFixture {
protected:
    void SetUp() override
    {
        MachineRootFixture::SetUp();
        if (HasFatalFailure())
            return;
        m_module = LoadLibraryW(Widen(ModulePath()).c_str());
        ASSERT_NE(m_module, nullptr);
        m_register = ProcAs<PFNREGISTER>(GetProcAddress(m_module, "DllRegisterServer"));
        m_unregister = ProcAs<PFNREGISTER>(GetProcAddress(m_module, "DllUnregisterServer"));
        ASSERT_NE(m_register, nullptr);
        ASSERT_NE(m_unregister, nullptr);
    }
    void TearDown() override
    {
        if (m_module)
            FreeLibrary(m_module);
        MachineRootFixture::TearDown();
    }

    HMODULE m_module = nullptr;
    PFNREGISTER m_register = nullptr;
    PFNREGISTER m_unregister = nullptr;
};

} // namespace tonwell::test
