// The first dispatch calls of a process made by eight threads at once: the type
// information is loaded once under the module's lock while the others wait,
// and every call lands in the method the vtable reaches. Each test runs in a
// process of its own (ctest), so this is the process's first dispatch call.
// Labelled `concurrent`: run under ThreadSanitizer too.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "machine_root.h"
#include "module_support.h"

namespace {

using namespace tonwell::test;

class FirstDispatch : public MachineRootFixture {};

TEST_F(FirstDispatch, EightThreadsMakeTheirFirstCallAtOnce)
{
    LoadedModule module;
    ASSERT_TRUE(module.Ok());
    const auto registerServer = ProcAs<PFNREGISTER>(GetProcAddress(module.hModule, "DllRegisterServer"));
    const auto unregisterServer = ProcAs<PFNREGISTER>(GetProcAddress(module.hModule, "DllUnregisterServer"));
    ASSERT_NE(registerServer, nullptr);
    ASSERT_NE(unregisterServer, nullptr);
    ASSERT_EQ(registerServer(), S_OK);
    IClassFactory* factory = module.ClassFactory();
    ASSERT_NE(factory, nullptr);

    // The class is apartment-threaded: each thread calls an object of its own,
    // made beforehand so that only the dispatch calls meet.
    constexpr int kThreads = 8;
    constexpr DWORD kWidth = 19, kHeight = 7, kStride = kWidth * 3 + 1;
    std::vector<BYTE> dark(kStride * kHeight);
    for (size_t i = 0; i < dark.size(); ++i)
        dark[i] = static_cast<BYTE>((i * 11) % 80);
    std::vector<BYTE> expected = dark;
    {
        ITonwellExposure* direct = nullptr;
        ASSERT_EQ(factory->CreateInstance(nullptr, IID_ITonwellExposure, reinterpret_cast<void**>(&direct)), S_OK);
        ASSERT_EQ(direct->SetImage(expected.data(), kWidth, kHeight, kStride), S_OK);
        direct->Release();
    }
    std::vector<IDispatch*> objects(kThreads, nullptr);
    for (IDispatch*& object : objects)
        ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&object)), S_OK);
    factory->Release();

    std::vector<std::vector<BYTE>> images(kThreads, dark);
    std::vector<HRESULT> idResults(kThreads, E_FAIL), invokeResults(kThreads, E_FAIL);
    std::vector<DISPID> ids(kThreads, DISPID_UNKNOWN);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            IDispatch* object = objects[t];
            ready.fetch_add(1);
            while (ready.load() < kThreads)
                std::this_thread::yield();
            // Half start with a name lookup, half with a call: both load on first use.
            if (t % 2 == 1) {
                VARIANT flags;
                VariantInit(&flags);
                flags.vt = VT_UI4;
                flags.ulVal = 0; // Initialize(0) keeps the default strength
                DISPPARAMS params{&flags, nullptr, 1, 0};
                if (object->Invoke(DISPID_TONWELL_INITIALIZE, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr,
                                   nullptr) != S_OK)
                    return;
            }
            LPOLESTR names[] = {const_cast<LPOLESTR>(u"SetImage")};
            idResults[t] = object->GetIDsOfNames(IID_NULL, names, 1, 0, &ids[t]);
            VARIANT args[4];
            for (VARIANT& arg : args)
                VariantInit(&arg);
            args[3].vt = VT_UI1 | VT_BYREF;
            args[3].pbVal = images[t].data();
            args[2].vt = args[1].vt = args[0].vt = VT_UI4;
            args[2].ulVal = kWidth;
            args[1].ulVal = kHeight;
            args[0].ulVal = kStride;
            DISPPARAMS params{args, nullptr, 4, 0};
            invokeResults[t] = object->Invoke(ids[t], IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
        });
    }
    for (auto& thread : threads)
        thread.join();
    for (int t = 0; t < kThreads; ++t) {
        SCOPED_TRACE(t);
        EXPECT_EQ(idResults[t], S_OK);
        EXPECT_EQ(ids[t], DISPID_TONWELL_SETIMAGE);
        EXPECT_EQ(invokeResults[t], S_OK);
        EXPECT_EQ(images[t], expected);
        objects[t]->Release();
    }
    EXPECT_EQ(unregisterServer(), S_OK);
}

} // namespace
