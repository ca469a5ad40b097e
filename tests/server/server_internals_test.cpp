// The module record, the object map and the interface-map walk, compiled into
// the test so that Init and Term can be driven directly.
#include <windows.h>
#include <tonwell_testhooks.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "ServerModule.h"
#include "TonwellObj.h"
#include "registry_dump.h"

namespace {

class ServerRecordTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(g_Module.Init(g_ObjectMap, nullptr), S_OK); }
    void TearDown() override { g_Module.Term(); }
};

// Rows for a fake object: the interface pointer of IClassFactory sits 8 bytes in.
struct TwoInterfaces {
    struct Counter : IUnknown {
        ULONG refs = 0;
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOTIMPL; }
        ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
        ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    };
    Counter first;
    Counter second;
};

TEST(ServerFindInterfaceTest, WalksTheMapInOrderAndAddsAReference)
{
    TwoInterfaces object;
    const DWORD_PTR secondOffset = reinterpret_cast<BYTE*>(&object.second) - reinterpret_cast<BYTE*>(&object);
    const InterfaceEntry map[] = {{&IID_IDispatch, 0}, {&IID_IClassFactory, secondOffset}, {nullptr, 0}};

    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(FindInterface(&object, map, IID_IClassFactory, &p), S_OK);
    EXPECT_EQ(p, static_cast<IUnknown*>(&object.second));
    EXPECT_EQ(object.second.refs, 1u);

    // IUnknown has no row of its own: the first row answers it.
    EXPECT_EQ(FindInterface(&object, map, IID_IUnknown, &p), S_OK);
    EXPECT_EQ(p, static_cast<IUnknown*>(&object.first));
    EXPECT_EQ(object.first.refs, 1u);

    p = reinterpret_cast<void*>(1);
    EXPECT_EQ(FindInterface(&object, map, IID_ITonwellExposure, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(object.first.refs + object.second.refs, 2u);
}

TEST(ServerFindInterfaceTest, RejectsMissingArguments)
{
    TwoInterfaces object;
    const InterfaceEntry map[] = {{&IID_IDispatch, 0}, {nullptr, 0}};
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(FindInterface(nullptr, map, IID_IDispatch, &p), E_INVALIDARG);
    EXPECT_EQ(FindInterface(&object, nullptr, IID_IDispatch, &p), E_INVALIDARG);
    EXPECT_EQ(FindInterface(&object, map, IID_IDispatch, nullptr), E_POINTER);
    EXPECT_EQ(object.first.refs, 0u);
    // An empty map answers nothing, IUnknown included.
    const InterfaceEntry empty[] = {{nullptr, 0}};
    EXPECT_EQ(FindInterface(&object, empty, IID_IUnknown, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
}

// The reference count of a live object, read through AddRef and Release.
ULONG RefCount(IUnknown* p)
{
    p->AddRef();
    return p->Release();
}

TEST_F(ServerRecordTest, GetClassObjectCreatesTheClassObjectOnceAndCachesIt)
{
    EXPECT_EQ(g_Module.GetClassObject(CLSID_TonwellExposure, IID_IClassFactory, nullptr), E_POINTER);

    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(g_Module.GetClassObject(IID_ITonwellExposure, IID_IClassFactory, &p), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(p, nullptr);
    p = reinterpret_cast<void*>(1);
    EXPECT_EQ(g_Module.GetClassObject(CLSID_TonwellExposure, IID_IDispatch, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);

    IClassFactory* pFirst = nullptr;
    IUnknown* pSecond = nullptr;
    ASSERT_EQ(g_Module.GetClassObject(CLSID_TonwellExposure, IID_IClassFactory, reinterpret_cast<void**>(&pFirst)),
              S_OK);
    ASSERT_EQ(g_Module.GetClassObject(CLSID_TonwellExposure, IID_IUnknown, reinterpret_cast<void**>(&pSecond)), S_OK);
    EXPECT_EQ(static_cast<IUnknown*>(pFirst), pSecond);
    EXPECT_EQ(RefCount(pFirst), 3u) << "the module's reference and our two";
    EXPECT_EQ(g_Module.GetLockCount(), 0) << "class object references do not lock the module";
    pSecond->Release();

    // Term gives up the module's reference: ours is then the last, and the next
    // module life makes a new class object.
    g_Module.Term();
    EXPECT_EQ(pFirst->Release(), 0u);
    ASSERT_EQ(g_Module.Init(g_ObjectMap, nullptr), S_OK);
    IUnknown* pNew = nullptr;
    ASSERT_EQ(g_Module.GetClassObject(CLSID_TonwellExposure, IID_IUnknown, reinterpret_cast<void**>(&pNew)), S_OK);
    EXPECT_EQ(RefCount(pNew), 2u);
    pNew->Release();
}

TEST_F(ServerRecordTest, ConcurrentFirstRequestsShareOneClassObject)
{
    constexpr int kThreads = 8;
    std::vector<IUnknown*> results(kThreads, nullptr);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            ++ready;
            while (ready.load() < kThreads) {
            }
            g_Module.GetClassObject(CLSID_TonwellExposure, IID_IUnknown, reinterpret_cast<void**>(&results[i]));
        });
    }
    for (auto& thread : threads)
        thread.join();
    ASSERT_NE(results[0], nullptr);
    for (IUnknown* p : results)
        EXPECT_EQ(p, results[0]);
    EXPECT_EQ(RefCount(results[0]), kThreads + 1u) << "one reference per request and the module's";
    for (IUnknown* p : results)
        p->Release();
    IUnknown* pAgain = nullptr;
    ASSERT_EQ(g_Module.GetClassObject(CLSID_TonwellExposure, IID_IUnknown, reinterpret_cast<void**>(&pAgain)), S_OK);
    EXPECT_EQ(pAgain, results[0]);
    EXPECT_EQ(RefCount(pAgain), 2u) << "only the module's reference was left";
    pAgain->Release();
}

std::vector<int>* g_pCleanupOrder;
void WINAPI RecordCleanup(DWORD_PTR dw) { g_pCleanupOrder->push_back(static_cast<int>(dw)); }

TEST_F(ServerRecordTest, TermRunsTheCleanupListNewestFirst)
{
    std::vector<int> order;
    g_pCleanupOrder = &order;
    EXPECT_EQ(g_Module.AddCleanup(RecordCleanup, 1), S_OK);
    EXPECT_EQ(g_Module.AddCleanup(RecordCleanup, 2), S_OK);
    std::thread other([] { EXPECT_EQ(g_Module.AddCleanup(RecordCleanup, 3), S_OK); });
    other.join();
    EXPECT_TRUE(order.empty());

    EXPECT_EQ(g_Module.Term(), S_OK);
    EXPECT_EQ(order, (std::vector<int>{3, 2, 1}));
    ASSERT_EQ(g_Module.Init(g_ObjectMap, nullptr), S_OK);
    g_Module.Term();
    EXPECT_EQ(order.size(), 3u) << "each entry runs once";
    ASSERT_EQ(g_Module.Init(g_ObjectMap, nullptr), S_OK);
}

TEST(ServerFailedInitTest, LeavesAModuleThatAnswersErrorsWithoutTouchingLocks)
{
    TonwellFailNextCriticalSectionInit(1);
    EXPECT_EQ(g_Module.Init(g_ObjectMap, nullptr), static_cast<HRESULT>(0xC0000017));
    TonwellFailNextCriticalSectionInit(0);
    EXPECT_FALSE(g_Module.IsReady());
    EXPECT_EQ(g_Module.InitResult(), static_cast<HRESULT>(0xC0000017));

    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(DllGetClassObject(CLSID_TonwellExposure, IID_IClassFactory, &p), E_OUTOFMEMORY);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
    EXPECT_EQ(g_Module.AddCleanup(RecordCleanup, 1), E_UNEXPECTED);
    EXPECT_EQ(g_Module.Term(), S_OK);
}

} // namespace

// ---------------------------------------------------------------------------------
// Registration over an object map whose class declares component categories.

namespace {

const CLSID kCategorisedClass = {0x5A5A5A5A, 0x1111, 0x2222, {0x33, 0x33, 0x44, 0x44, 0x44, 0x44, 0x44, 0x44}};
const GUID kImplemented = {0xC0C0C0C0, 0x0000, 0x0000, {0, 0, 0, 0, 0, 0, 0, 1}};
const GUID kRequired = {0xC0C0C0C0, 0x0000, 0x0000, {0, 0, 0, 0, 0, 0, 0, 2}};
int g_updates;

HRESULT WINAPI CountUpdates(BOOL bRegister)
{
    g_updates += bRegister ? 1 : -1;
    return S_OK;
}
const CategoryMapEntry* WINAPI Categories()
{
    static const CategoryMapEntry map[] = {{1, &kImplemented}, {2, &kRequired}, {0, nullptr}};
    return map;
}
const WCHAR* WINAPI Described() { return u"registered elsewhere"; }

bool HasKey(const char16_t* path) { return tonwell::test::KeyExists(HKEY_CLASSES_ROOT, path); }

} // namespace

TEST(ServerRegisterClassesTest, CategoriesOfTheMapAreRegisteredAndRemoved)
{
    ObjectMapEntry map[] = {
        {&kCategorisedClass, CountUpdates, nullptr, nullptr, nullptr, nullptr, Categories, nullptr},
        // Passed over without a filter: its description says another party registers it.
        {&CLSID_TonwellExposure, CountUpdates, nullptr, nullptr, nullptr, Described, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    CServerModule module{};
    ASSERT_EQ(module.Init(map, nullptr), S_OK);
    g_updates = 0;
    ASSERT_EQ(module.RegisterClasses(FALSE, nullptr), S_OK);
    EXPECT_EQ(g_updates, 1);
    EXPECT_TRUE(HasKey(u"CLSID\\{5A5A5A5A-1111-2222-3333-444444444444}\\Implemented Categories\\"
                       u"{C0C0C0C0-0000-0000-0000-000000000001}"));
    EXPECT_TRUE(HasKey(u"CLSID\\{5A5A5A5A-1111-2222-3333-444444444444}\\Required Categories\\"
                       u"{C0C0C0C0-0000-0000-0000-000000000002}"));
    // With a filter only that class is handled, described or not.
    ASSERT_EQ(module.RegisterClasses(FALSE, &CLSID_TonwellExposure), S_OK);
    EXPECT_EQ(g_updates, 2);

    EXPECT_EQ(module.UnregisterClasses(FALSE, nullptr), S_OK);
    EXPECT_EQ(g_updates, 1);
    EXPECT_FALSE(HasKey(u"CLSID\\{5A5A5A5A-1111-2222-3333-444444444444}\\Implemented Categories"));
    EXPECT_FALSE(HasKey(u"CLSID\\{5A5A5A5A-1111-2222-3333-444444444444}\\Required Categories"));
    module.Term();
}
