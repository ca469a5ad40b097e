// The module record, the object map and the interface-map walk, compiled into
// the test so that Init and Term can be driven directly.
#include <windows.h>
#include <tonwell_testhooks.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "ServerModule.h"
#include "TonwellObj.h"

namespace {

bool AllZero(const void* p, size_t cb)
{
    const BYTE* bytes = static_cast<const BYTE*>(p);
    for (size_t i = 0; i < cb; ++i)
        if (bytes[i] != 0)
            return false;
    return true;
}

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

TEST_F(ServerRecordTest, GetClassObjectCreatesTheClassObjectOnceAndCachesIt)
{
    EXPECT_EQ(g_Module.GetClassObject(CLSID_TonwellExposure, IID_IClassFactory, nullptr), E_POINTER);
    EXPECT_EQ(g_ObjectMap[0].pCF, nullptr) << "a null out pointer creates nothing";

    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(g_Module.GetClassObject(IID_ITonwellExposure, IID_IClassFactory, &p), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(g_ObjectMap[0].pCF, nullptr);

    // An interface the class object lacks still leaves it created and cached.
    EXPECT_EQ(g_Module.GetClassObject(CLSID_TonwellExposure, IID_IDispatch, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    IUnknown* pCached = g_ObjectMap[0].pCF;
    ASSERT_NE(pCached, nullptr);

    IClassFactory* pFactory = nullptr;
    ASSERT_EQ(g_Module.GetClassObject(CLSID_TonwellExposure, IID_IClassFactory, reinterpret_cast<void**>(&pFactory)),
              S_OK);
    EXPECT_EQ(static_cast<IUnknown*>(pFactory), pCached);
    // The module's reference plus ours.
    EXPECT_EQ(pFactory->AddRef(), 3u);
    EXPECT_EQ(pFactory->Release(), 2u);
    EXPECT_EQ(g_Module.GetLockCount(), 0) << "class object references do not lock the module";

    // Term gives up the module's reference: ours is then the last.
    g_Module.Term();
    EXPECT_EQ(g_ObjectMap[0].pCF, nullptr);
    EXPECT_EQ(pFactory->Release(), 0u);
    ASSERT_EQ(g_Module.Init(g_ObjectMap, nullptr), S_OK);
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
    for (IUnknown* p : results) {
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p, g_ObjectMap[0].pCF);
    }
    for (IUnknown* p : results)
        p->Release();
    EXPECT_EQ(g_ObjectMap[0].pCF->AddRef(), 2u) << "only the module's reference is left";
    g_ObjectMap[0].pCF->Release();
}

std::vector<int>* g_pCleanupOrder;
void WINAPI RecordCleanup(DWORD_PTR dw) { g_pCleanupOrder->push_back(static_cast<int>(dw)); }

TEST_F(ServerRecordTest, TermRunsTheCleanupListNewestFirst)
{
    std::vector<int> order;
    g_pCleanupOrder = &order;
    EXPECT_EQ(g_Module.AddCleanup(RecordCleanup, 1), S_OK);
    // Added while the type-information lock is held, as type information loading
    // does: the lock is re-entrant.
    EnterCriticalSection(&g_Module.m_csTypeInfo);
    EXPECT_EQ(g_Module.AddCleanup(RecordCleanup, 2), S_OK);
    LeaveCriticalSection(&g_Module.m_csTypeInfo);
    std::thread other([] { EXPECT_EQ(g_Module.AddCleanup(RecordCleanup, 3), S_OK); });
    other.join();
    EXPECT_TRUE(order.empty());

    EXPECT_EQ(g_Module.Term(), S_OK);
    EXPECT_EQ(order, (std::vector<int>{3, 2, 1}));
    EXPECT_EQ(g_Module.m_pCleanupList, nullptr);
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
    EXPECT_TRUE(AllZero(&g_Module.m_csTypeInfo, sizeof(CRITICAL_SECTION)));
    EXPECT_TRUE(AllZero(&g_Module.m_csClassObjects, sizeof(CRITICAL_SECTION)));

    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(DllGetClassObject(CLSID_TonwellExposure, IID_IClassFactory, &p), E_OUTOFMEMORY);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(g_ObjectMap[0].pCF, nullptr);
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
    EXPECT_EQ(g_Module.AddCleanup(RecordCleanup, 1), E_UNEXPECTED);
    EXPECT_EQ(g_Module.Term(), S_OK);
}

} // namespace
