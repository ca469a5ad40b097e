// TonwellObj.so as hosts see it: its exports, the class object, the two object
// forms, the module's lock count and its start-up failure handling.
#include <windows.h>
#include <tonwell_testhooks.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "machine_root.h"
#include "module_support.h"

namespace {

using tonwell::test::LoadedModule;
using tonwell::test::ModulePath;

class ServerModuleTest : public tonwell::test::MachineRootFixture {
protected:
    void SetUp() override
    {
        MachineRootFixture::SetUp();
        m_module = std::make_unique<LoadedModule>();
        ASSERT_TRUE(m_module->Ok()) << ModulePath();
    }
    void TearDown() override
    {
        m_module.reset();
        MachineRootFixture::TearDown();
    }

    HRESULT CanUnloadNow() const { return m_module->pfnCanUnloadNow(); }

    ITonwellExposure* CreateExposure()
    {
        IClassFactory* pFactory = m_module->ClassFactory();
        ITonwellExposure* pExposure = nullptr;
        if (pFactory) {
            EXPECT_EQ(pFactory->CreateInstance(nullptr, IID_ITonwellExposure, reinterpret_cast<void**>(&pExposure)),
                      S_OK);
            pFactory->Release();
        }
        return pExposure;
    }

    std::unique_ptr<LoadedModule> m_module;
};

// A grey image; SetImage's result and whether every pixel byte became `expected`.
HRESULT FixGrey(ITonwellExposure* pExposure, BYTE value, BYTE expected, bool* pAllExpected)
{
    std::vector<BYTE> image(9 * 4 * 3, value);
    HRESULT hr = pExposure->SetImage(image.data(), 9, 4, 27);
    *pAllExpected = true;
    for (BYTE b : image)
        *pAllExpected &= b == expected;
    return hr;
}

// Every symbol the module exports, and nothing else. The registration entry
// points (DllRegisterServer, DllUnregisterServer) join this list when the module
// gets them.
const std::set<std::string> kModuleExports = {
    "DllCanUnloadNow",
    "DllGetClassObject",
    "DllRegisterServer",
    "DllUnregisterServer",
};

// The names of the dynamic symbols a shared object defines, as nm reports them.
std::set<std::string> DefinedDynamicSymbols(const std::string& path)
{
    std::set<std::string> names;
    FILE* pipe = popen(("nm -D --defined-only '" + path + "' 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        ADD_FAILURE() << "cannot run nm";
        return names;
    }
    char line[1024];
    while (fgets(line, sizeof line, pipe)) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        names.insert(text.substr(text.find_last_of(' ') + 1));
    }
    EXPECT_EQ(pclose(pipe), 0) << "nm failed on " << path;
    return names;
}

TEST(ServerExportsTest, ExportsExactlyItsEntryPoints)
{
    EXPECT_EQ(DefinedDynamicSymbols(ModulePath()), kModuleExports);
}

TEST_F(ServerModuleTest, HostsFindEveryEntryPointAndNothingElse)
{
    for (const std::string& name : kModuleExports)
        EXPECT_NE(GetProcAddress(m_module->hModule, name.c_str()), nullptr) << name;
    // The module defines DllMain with C linkage but keeps it to itself.
    EXPECT_EQ(GetProcAddress(m_module->hModule, "DllMain"), nullptr);
}

TEST_F(ServerModuleTest, CanUnloadFollowsLiveObjectsAndLockServer)
{
    EXPECT_EQ(CanUnloadNow(), S_OK);

    IClassFactory* pFactory = m_module->ClassFactory();
    ASSERT_NE(pFactory, nullptr);
    EXPECT_EQ(CanUnloadNow(), S_OK) << "holding the class object alone does not lock the module";

    ITonwellExposure* pFirst = nullptr;
    ITonwellExposure* pSecond = nullptr;
    ASSERT_EQ(pFactory->CreateInstance(nullptr, IID_ITonwellExposure, reinterpret_cast<void**>(&pFirst)), S_OK);
    ASSERT_EQ(pFactory->CreateInstance(nullptr, IID_ITonwellExposure, reinterpret_cast<void**>(&pSecond)), S_OK);
    EXPECT_NE(pFirst, pSecond);
    EXPECT_EQ(CanUnloadNow(), S_FALSE);
    EXPECT_EQ(pFirst->Release(), 0u);
    EXPECT_EQ(CanUnloadNow(), S_FALSE) << "one object still lives";
    EXPECT_EQ(pSecond->Release(), 0u);
    EXPECT_EQ(CanUnloadNow(), S_OK);

    EXPECT_EQ(pFactory->LockServer(TRUE), S_OK);
    EXPECT_EQ(pFactory->LockServer(TRUE), S_OK);
    EXPECT_EQ(pFactory->LockServer(FALSE), S_OK);
    EXPECT_EQ(CanUnloadNow(), S_FALSE);
    EXPECT_EQ(pFactory->LockServer(FALSE), S_OK);
    EXPECT_EQ(CanUnloadNow(), S_OK);

    // An unmatched unlock takes the count below zero, which is not "unloadable" either.
    EXPECT_EQ(pFactory->LockServer(FALSE), S_OK);
    EXPECT_EQ(CanUnloadNow(), S_FALSE);
    EXPECT_EQ(pFactory->LockServer(TRUE), S_OK);
    EXPECT_EQ(CanUnloadNow(), S_OK);

    EXPECT_EQ(pFactory->Release(), 1u) << "the module keeps its own reference to the class object";
}

TEST_F(ServerModuleTest, ClassObjectIsCachedAndAnswersOnlyItsInterfaces)
{
    IClassFactory* pFirst = m_module->ClassFactory();
    IClassFactory* pSecond = m_module->ClassFactory();
    ASSERT_NE(pFirst, nullptr);
    EXPECT_EQ(pFirst, pSecond);

    IUnknown* pUnknown = nullptr;
    ASSERT_EQ(m_module->pfnGetClassObject(CLSID_TonwellExposure, IID_IUnknown, reinterpret_cast<void**>(&pUnknown)),
              S_OK);
    EXPECT_EQ(pUnknown, static_cast<IUnknown*>(pFirst));
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(pFirst->QueryInterface(IID_ITonwellExposure, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(pFirst->QueryInterface(IID_IClassFactory, nullptr), E_POINTER);

    p = reinterpret_cast<void*>(1);
    EXPECT_EQ(m_module->pfnGetClassObject(IID_ITonwellExposure, IID_IClassFactory, &p), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(m_module->pfnGetClassObject(CLSID_TonwellExposure, IID_IClassFactory, nullptr), E_POINTER);
    p = reinterpret_cast<void*>(1);
    EXPECT_EQ(m_module->pfnGetClassObject(CLSID_TonwellExposure, IID_IDispatch, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);

    pUnknown->Release();
    pSecond->Release();
    EXPECT_EQ(pFirst->Release(), 1u);
}

TEST_F(ServerModuleTest, CreateInstanceFailuresLeaveNothingBehind)
{
    IClassFactory* pFactory = m_module->ClassFactory();
    ASSERT_NE(pFactory, nullptr);
    EXPECT_EQ(pFactory->CreateInstance(nullptr, IID_ITonwellExposure, nullptr), E_POINTER);

    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(pFactory->CreateInstance(nullptr, IID_IClassFactory, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(CanUnloadNow(), S_OK) << "the refused object was destroyed and unlocked the module";

    pFactory->Release();
}

TEST_F(ServerModuleTest, StandaloneObjectHasOneIdentityAndDiesAtZero)
{
    ITonwellExposure* pExposure = CreateExposure();
    ASSERT_NE(pExposure, nullptr);

    void* pUnknown = nullptr;
    void* pDispatch = nullptr;
    void* pAgain = nullptr;
    ASSERT_EQ(pExposure->QueryInterface(IID_IUnknown, &pUnknown), S_OK);
    ASSERT_EQ(pExposure->QueryInterface(IID_IDispatch, &pDispatch), S_OK);
    ASSERT_EQ(pExposure->QueryInterface(IID_ITonwellExposure, &pAgain), S_OK);
    EXPECT_EQ(pUnknown, static_cast<void*>(pExposure));
    EXPECT_EQ(pDispatch, static_cast<void*>(pExposure));
    EXPECT_EQ(pAgain, static_cast<void*>(pExposure));
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(pExposure->QueryInterface(IID_IClassFactory, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(pExposure->QueryInterface(IID_IUnknown, nullptr), E_POINTER);

    // Four references now; Release counts down and reaches 0 only at destruction.
    EXPECT_EQ(pExposure->AddRef(), 5u);
    EXPECT_EQ(pExposure->Release(), 4u);
    EXPECT_EQ(pExposure->Release(), 3u);
    EXPECT_EQ(pExposure->Release(), 2u);
    EXPECT_EQ(pExposure->Release(), 1u);
    EXPECT_EQ(CanUnloadNow(), S_FALSE);
    EXPECT_EQ(pExposure->Release(), 0u);
    EXPECT_EQ(CanUnloadNow(), S_OK);
}

TEST_F(ServerModuleTest, NewObjectsStartWithoutStrength)
{
    ITonwellExposure* pFirst = CreateExposure();
    ASSERT_NE(pFirst, nullptr);
    bool bAll = false;
    EXPECT_EQ(FixGrey(pFirst, 128, 128, &bAll), S_FALSE);
    EXPECT_TRUE(bAll);
    EXPECT_EQ(pFirst->Initialize(15), S_OK);
    EXPECT_EQ(FixGrey(pFirst, 128, 165, &bAll), S_OK);
    EXPECT_TRUE(bAll);
    pFirst->Release();

    // A second object, likely in the storage the first one left, starts over.
    ITonwellExposure* pSecond = CreateExposure();
    ASSERT_NE(pSecond, nullptr);
    EXPECT_EQ(FixGrey(pSecond, 128, 128, &bAll), S_FALSE);
    EXPECT_TRUE(bAll);
    pSecond->Release();
}

// An outer object aggregating the component: it answers IUnknown itself and
// hands ITonwellExposure and IDispatch to the component's controlling IUnknown.
class TestOuter : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (IsEqualIID(riid, IID_IUnknown)) {
            *ppv = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        if (m_pInner && (IsEqualIID(riid, IID_ITonwellExposure) || IsEqualIID(riid, IID_IDispatch)))
            return m_pInner->QueryInterface(riid, ppv);
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_ulRefs; }
    ULONG STDMETHODCALLTYPE Release() override { return --m_ulRefs; }

    ULONG m_ulRefs = 1;
    IUnknown* m_pInner = nullptr;
};

TEST_F(ServerModuleTest, AggregationDelegatesToTheOuterObject)
{
    IClassFactory* pFactory = m_module->ClassFactory();
    ASSERT_NE(pFactory, nullptr);
    TestOuter outer;

    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(pFactory->CreateInstance(&outer, IID_IDispatch, &p), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(pFactory->CreateInstance(&outer, IID_ITonwellExposure, &p), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(CanUnloadNow(), S_OK);

    ASSERT_EQ(pFactory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.m_pInner)), S_OK);
    pFactory->Release();
    IUnknown* pInner = outer.m_pInner;
    ASSERT_NE(pInner, nullptr);
    EXPECT_NE(pInner, static_cast<IUnknown*>(&outer));
    EXPECT_EQ(outer.m_ulRefs, 1u) << "creation takes no reference on the outer object";
    EXPECT_EQ(CanUnloadNow(), S_FALSE);
    // The controlling IUnknown starts at 1.
    EXPECT_EQ(pInner->AddRef(), 2u);
    EXPECT_EQ(pInner->Release(), 1u);

    // Asking the controlling IUnknown for the interface counts on the outer object.
    ITonwellExposure* pExposure = nullptr;
    ASSERT_EQ(pInner->QueryInterface(IID_ITonwellExposure, reinterpret_cast<void**>(&pExposure)), S_OK);
    EXPECT_NE(static_cast<void*>(pExposure), static_cast<void*>(pInner));
    EXPECT_EQ(outer.m_ulRefs, 2u);
    EXPECT_EQ(pInner->AddRef(), 2u) << "the aggregated object's own count is unchanged";
    EXPECT_EQ(pInner->Release(), 1u);
    IUnknown* pSelf = nullptr;
    ASSERT_EQ(pInner->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&pSelf)), S_OK);
    EXPECT_EQ(pSelf, pInner);
    EXPECT_EQ(pSelf->Release(), 1u);

    // The component's own IUnknown slots belong to the outer object.
    EXPECT_EQ(pExposure->AddRef(), 3u);
    EXPECT_EQ(outer.m_ulRefs, 3u);
    EXPECT_EQ(pExposure->Release(), 2u);
    IUnknown* pIdentity = nullptr;
    ASSERT_EQ(pExposure->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&pIdentity)), S_OK);
    EXPECT_EQ(pIdentity, static_cast<IUnknown*>(&outer));
    pIdentity->Release();
    void* pDispatch = nullptr;
    ASSERT_EQ(pExposure->QueryInterface(IID_IDispatch, &pDispatch), S_OK);
    EXPECT_EQ(pDispatch, static_cast<void*>(pExposure));
    static_cast<IUnknown*>(pDispatch)->Release();
    p = reinterpret_cast<void*>(1);
    EXPECT_EQ(pExposure->QueryInterface(IID_IClassFactory, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(outer.m_ulRefs, 2u);

    // The component inside works as it does alone, from a zero strength.
    bool bAll = false;
    EXPECT_EQ(FixGrey(pExposure, 128, 128, &bAll), S_FALSE);
    EXPECT_EQ(pExposure->Initialize(15), S_OK);
    EXPECT_EQ(FixGrey(pExposure, 128, 165, &bAll), S_OK);
    EXPECT_TRUE(bAll);

    EXPECT_EQ(pExposure->Release(), 1u);
    EXPECT_EQ(CanUnloadNow(), S_FALSE) << "the aggregate lives while the outer object holds it";
    EXPECT_EQ(pInner->Release(), 0u);
    EXPECT_EQ(outer.m_ulRefs, 1u);
    EXPECT_EQ(CanUnloadNow(), S_OK);
}

// A module whose locks cannot be created at start-up stays loaded but answers
// every request with an error and never reports live objects.
class ServerStartupFailureTest : public tonwell::test::MachineRootFixture {};

TEST_F(ServerStartupFailureTest, ExportsAnswerErrorsWhenTheLocksCannotBeCreated)
{
    // Once loaded, the module stays loaded until the process ends, so its start-up
    // can be made to fail only in a process that has not loaded it yet (CTest
    // runs every test in a process of its own).
    if (GetModuleHandleA(ModulePath().c_str()) != nullptr)
        GTEST_SKIP() << "TonwellObj.so is loaded already in this process; run this test on its own";
    TonwellFailNextCriticalSectionInit(1000);
    LoadedModule module;
    TonwellFailNextCriticalSectionInit(0);
    ASSERT_TRUE(module.Ok());

    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(module.pfnGetClassObject(CLSID_TonwellExposure, IID_IClassFactory, &p), E_OUTOFMEMORY);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(module.pfnGetClassObject(CLSID_TonwellExposure, IID_IClassFactory, nullptr), E_POINTER);
    EXPECT_EQ(module.pfnCanUnloadNow(), S_OK);
}

} // namespace
