// In-process activation through the registry: CoGetClassObject, CoCreateInstance,
// CLSIDFromProgID, CoFreeUnusedLibraries and the apartment counts.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "machine_root.h"
#include "module_support.h"

namespace {

using tonwell::test::ModulePath;
using tonwell::test::Widen;

int g_fakeLoads;
int g_fakeUnloads;

// {6F1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D}
const CLSID CLSID_FakeServer = {0x6f1b2c3d, 0x4e5f, 0x4a6b, {0x8c, 0x7d, 0x9e, 0x0f, 0x1a, 0x2b, 0x3c, 0x4d}};
// {0A1B2C3D-0000-4000-8000-000000000001}
const CLSID CLSID_Missing = {0x0a1b2c3d, 0x0000, 0x4000, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}};

} // namespace

extern "C" __attribute__((visibility("default"))) void FakeServerLoaded() { ++g_fakeLoads; }
extern "C" __attribute__((visibility("default"))) void FakeServerUnloaded() { ++g_fakeUnloads; }

namespace {

std::u16string GuidText(REFGUID rguid)
{
    WCHAR text[40] = {};
    StringFromGUID2(rguid, text, 40);
    return text;
}

void SetDefaultValue(const std::u16string& subKey, const std::u16string& value, DWORD dwType = REG_SZ)
{
    HKEY hKey = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, subKey.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &hKey,
                              nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(hKey, nullptr, 0, dwType, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR))),
              ERROR_SUCCESS);
    RegCloseKey(hKey);
}

void RegisterServer(REFCLSID rclsid, const std::string& path, DWORD dwType = REG_SZ)
{
    SetDefaultValue(u"CLSID\\" + GuidText(rclsid) + u"\\InprocServer32", Widen(path), dwType);
}

// An outer object the class object refuses before it calls it.
struct UnusedOuter : IUnknown {
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
};

class ServerActivationTest : public tonwell::test::MachineRootFixture {};

TEST_F(ServerActivationTest, CreatesTheRegisteredComponent)
{
    RegisterServer(CLSID_TonwellExposure, ModulePath());
    EXPECT_EQ(CoInitialize(nullptr), S_OK);

    ITonwellExposure* pExposure = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_TonwellExposure, nullptr, CLSCTX_INPROC_SERVER, IID_ITonwellExposure,
                               reinterpret_cast<void**>(&pExposure)),
              S_OK);
    ASSERT_NE(pExposure, nullptr);
    EXPECT_EQ(pExposure->Initialize(15), S_OK);
    std::vector<BYTE> image(4 * 3 * 3, 128);
    EXPECT_EQ(pExposure->SetImage(image.data(), 4, 3, 12), S_OK);
    EXPECT_EQ(image, std::vector<BYTE>(image.size(), 165));

    // The module is loaded once: a second request reaches the same class object.
    IClassFactory* pFirst = nullptr;
    IClassFactory* pSecond = nullptr;
    ASSERT_EQ(CoGetClassObject(CLSID_TonwellExposure, CLSCTX_ALL, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(&pFirst)),
              S_OK);
    ASSERT_EQ(CoGetClassObject(CLSID_TonwellExposure, CLSCTX_INPROC, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(&pSecond)),
              S_OK);
    EXPECT_EQ(pFirst, pSecond);
    pFirst->Release();
    pSecond->Release();

    // An object alive keeps the module in: the object still works afterwards.
    CoFreeUnusedLibraries();
    EXPECT_EQ(pExposure->SetImage(image.data(), 4, 3, 12), S_OK);
    EXPECT_EQ(pExposure->Release(), 0u);
    CoFreeUnusedLibraries();

    // And activation works again after the module was let go.
    IUnknown* pUnknown = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_TonwellExposure, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&pUnknown)),
              S_OK);
    EXPECT_EQ(pUnknown->Release(), 0u);
    CoUninitialize();
}

TEST_F(ServerActivationTest, ExpandsEnvironmentVariablesInTheModulePath)
{
    std::string path = ModulePath();
    std::string::size_type slash = path.rfind('/');
    ASSERT_TRUE(SetEnvironmentVariableW(u"TONWELL_TEST_MODULE_DIR", Widen(path.substr(0, slash)).c_str()));
    RegisterServer(CLSID_TonwellExposure, "%TONWELL_TEST_MODULE_DIR%" + path.substr(slash), REG_EXPAND_SZ);
    IClassFactory* pFactory = nullptr;
    ASSERT_EQ(CoGetClassObject(CLSID_TonwellExposure, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(&pFactory)),
              S_OK);
    pFactory->Release();
}

TEST_F(ServerActivationTest, ReportsEachFailureAsThePlatformDoes)
{
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(CLSID_Missing, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &p), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(p, nullptr);

    // A class key without an in-process server.
    SetDefaultValue(u"CLSID\\" + GuidText(CLSID_Missing), u"Missing Class");
    p = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoGetClassObject(CLSID_Missing, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, &p),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(p, nullptr);
    // An in-process server key without a path.
    SetDefaultValue(u"CLSID\\" + GuidText(CLSID_Missing) + u"\\InprocServer32", u"");
    EXPECT_EQ(CoGetClassObject(CLSID_Missing, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, &p),
              REGDB_E_CLASSNOTREG);

    RegisterServer(CLSID_Missing, ModulePath("NoSuchModule.so"));
    EXPECT_EQ(CoGetClassObject(CLSID_Missing, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, &p), CO_E_DLLNOTFOUND);
    EXPECT_EQ(p, nullptr);

    // A library that loads but is no server.
    RegisterServer(CLSID_Missing, ModulePath("libtonwellplatform.so"));
    EXPECT_EQ(CoGetClassObject(CLSID_Missing, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, &p), CO_E_ERRORINDLL);
    EXPECT_EQ(p, nullptr);

    // The module itself refuses what it does not serve.
    RegisterServer(CLSID_Missing, ModulePath());
    EXPECT_EQ(CoGetClassObject(CLSID_Missing, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, &p),
              CLASS_E_CLASSNOTAVAILABLE);
    RegisterServer(CLSID_TonwellExposure, ModulePath());
    EXPECT_EQ(CoGetClassObject(CLSID_TonwellExposure, CLSCTX_INPROC_SERVER, nullptr, IID_IDispatch, &p),
              E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    UnusedOuter outer;
    EXPECT_EQ(CoCreateInstance(CLSID_TonwellExposure, &outer, CLSCTX_INPROC_SERVER, IID_IDispatch, &p),
              CLASS_E_NOAGGREGATION);

    // Only in-process servers exist here.
    EXPECT_EQ(CoCreateInstance(CLSID_TonwellExposure, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, &p),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CoCreateInstance(CLSID_TonwellExposure, nullptr, 0, IID_IUnknown, &p), E_INVALIDARG);
    EXPECT_EQ(CoCreateInstance(CLSID_TonwellExposure, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, nullptr),
              E_POINTER);
    EXPECT_EQ(CoGetClassObject(CLSID_TonwellExposure, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, nullptr),
              E_POINTER);
}

TEST_F(ServerActivationTest, FindsTheClassOfAProgId)
{
    SetDefaultValue(u"TonwellObj.TonwellExposure.1\\CLSID", GuidText(CLSID_TonwellExposure));
    CLSID clsid = GUID_NULL;
    EXPECT_EQ(CLSIDFromProgID(u"TonwellObj.TonwellExposure.1", &clsid), S_OK);
    EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_TonwellExposure));
    // Key names compare without regard to case.
    clsid = GUID_NULL;
    EXPECT_EQ(CLSIDFromProgID(u"tonwellobj.tonwellexposure.1", &clsid), S_OK);
    EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_TonwellExposure));

    EXPECT_EQ(CLSIDFromProgID(u"TonwellObj.TonwellExposure", &clsid), CO_E_CLASSSTRING);
    EXPECT_TRUE(IsEqualCLSID(clsid, GUID_NULL));
    SetDefaultValue(u"Broken.ProgId\\CLSID", u"not a class identifier");
    EXPECT_EQ(CLSIDFromProgID(u"Broken.ProgId", &clsid), CO_E_CLASSSTRING);
    EXPECT_EQ(CLSIDFromProgID(u"", &clsid), CO_E_CLASSSTRING);
    EXPECT_EQ(CLSIDFromProgID(nullptr, &clsid), E_INVALIDARG);
    EXPECT_EQ(CLSIDFromProgID(u"TonwellObj.TonwellExposure.1", nullptr), E_INVALIDARG);
}

TEST_F(ServerActivationTest, FreesOnlyModulesThatCanUnload)
{
    const std::string fakePath = ModulePath("FakeServer.so");
    RegisterServer(CLSID_FakeServer, fakePath);
    IClassFactory* pFactory = nullptr;
    ASSERT_EQ(CoGetClassObject(CLSID_FakeServer, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(&pFactory)),
              S_OK);
    pFactory->Release();
    EXPECT_EQ(g_fakeLoads, 1);

    // Reach the module's test switch without keeping a reference of our own.
    HMODULE hFake = LoadLibraryW(Widen(fakePath).c_str());
    ASSERT_NE(hFake, nullptr);
    auto pfnSetCanUnloadNow = reinterpret_cast<void (*)(HRESULT)>(
        reinterpret_cast<void (*)()>(GetProcAddress(hFake, "FakeServerSetCanUnloadNow")));
    ASSERT_NE(pfnSetCanUnloadNow, nullptr);
    FreeLibrary(hFake);

    CoFreeUnusedLibraries();
    EXPECT_EQ(g_fakeUnloads, 0) << "DllCanUnloadNow answered S_FALSE";
    ASSERT_EQ(CoGetClassObject(CLSID_FakeServer, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(&pFactory)),
              S_OK);
    EXPECT_EQ(g_fakeLoads, 1) << "the loaded module was used again";

    pfnSetCanUnloadNow(S_OK);
    CoFreeUnusedLibraries();
    EXPECT_EQ(g_fakeUnloads, 1);
    CoFreeUnusedLibraries();
    EXPECT_EQ(g_fakeUnloads, 1) << "a module is freed once";

    ASSERT_EQ(CoGetClassObject(CLSID_FakeServer, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(&pFactory)),
              S_OK);
    EXPECT_EQ(g_fakeLoads, 2) << "loaded afresh after being freed";
}

TEST(ServerApartmentTest, CountsInitialisationsPerThread)
{
    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);

    std::thread other([] {
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
        CoUninitialize();
        CoUninitialize();
    });
    other.join();

    CoUninitialize();
    CoUninitialize();
    CoUninitialize(); // one too many: nothing to undo
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    CoUninitialize();
}

} // namespace
