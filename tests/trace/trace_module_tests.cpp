// The client inside a loadable module finds that module by address, names its subkey after it,
// and keeps it loaded for the rest of the process.
#include "machine_root.h"
#include "trace_test_support.h"

#include <gtest/gtest.h>

#include <string>

using namespace tonwell::test;

namespace {

class TraceModuleTest : public MachineRootFixture {};

TEST_F(TraceModuleTest, OwningModuleIsFoundByAddressAndPinned)
{
    const char* build = std::getenv("TONWELL_BUILD_DIR");
    std::string path = std::string(build ? build : ".") + "/bin/trace_probe.so";
    std::u16string widePath(path.begin(), path.end());
    HMODULE module = LoadLibraryW(widePath.c_str());
    ASSERT_NE(module, nullptr) << path;
    using Probe = const char* (*)();
    auto probe = reinterpret_cast<Probe>(reinterpret_cast<void (*)()>(GetProcAddress(module, "TraceProbeOwner")));
    ASSERT_NE(probe, nullptr);
    EXPECT_STREQ(probe(), "trace_probe.so");
    DWORD type = 0;
    std::vector<BYTE> data;
    EXPECT_TRUE(GetTraceValue("trace_probe.so", "TraceFlags", &type, &data));

    // The lookup by address took a reference that is never given back.
    EXPECT_TRUE(FreeLibrary(module));
    HMODULE again = nullptr;
    EXPECT_TRUE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                   reinterpret_cast<LPCSTR>(probe), &again));
    EXPECT_EQ(again, module);
}

} // namespace
