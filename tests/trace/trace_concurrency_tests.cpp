// Threads make lines, scopes and retained records while another thread terminates, re-initialises
// and reloads the client. Built under ThreadSanitizer (scripts/test --tsan) any unsynchronised use
// of the client's state is reported; under AddressSanitizer a ring or library used after it was
// released. In every build no line is torn and every initialisation meets one termination.
#include "fake_trace_library.h"
#include "machine_root.h"
#include "trace_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace tonwell::test;
using namespace tonwell::trace;

namespace {

constexpr int kTracers = 4;

class TraceConcurrencyTest : public MachineRootFixture {
protected:
    void SetUp() override
    {
        MachineRootFixture::SetUp();
        ResetFakeTraceLibrary();
    }

    void TearDown() override
    {
        TermTraceClient();
        SetTraceLibraryOverride(nullptr);
        MachineRootFixture::TearDown();
    }

    // What each tracer does, over and over: a scope around an error line with its decoration, a
    // trace line through the mask filter, and a record retained directly.
    static void TraceOnce(int tracer, int i)
    {
        TraceScope scope(0, 0, "Stress::Run", TRACE_FLAG_SCOPE, 0x1, 0, FormatTraceW(u"Stress::Run()"));
        TraceRecord* pError = FormatTraceW(u"tracer %d line %d", tracer, i);
        AppendHResultText(E_INVALIDARG, pError);
        DispatchTraceRecord(0, 0, "Stress::Run", TRACE_FLAG_ERROR, pError);
        if (g_TraceSettings.TraceFlags & TRACE_FLAG_TRACE)
            DispatchTraceRecord(0, 0, "Stress::Run", TRACE_FLAG_TRACE,
                                FormatTraceMaskW(0x1, 0, u"tracer %d statistics %d", tracer, i));
        RetainTraceRecord(FormatTraceA("tracer %d kept %d", tracer, i));
    }

    // Runs the tracers until the controller has done its rounds; returns the lines they wrote. After
    // each round, `round` sees what the fake library captured meanwhile.
    template <class Round>
    static int Stress(int rounds, DWORD dwFlagsA, DWORD dwFlagsB, std::set<DWORD>* pThreadIds, Round round)
    {
        std::atomic<bool> stop{false};
        std::atomic<int> written{0};
        std::vector<std::thread> tracers;
        std::vector<DWORD> ids(kTracers);
        std::atomic<int> started{0};
        for (int t = 0; t < kTracers; ++t)
            tracers.emplace_back([&, t] {
                ids[t] = GetCurrentThreadId();
                started.fetch_add(1);
                int i = 0;
                while (!stop.load()) {
                    TraceOnce(t, i++);
                    written.fetch_add(1);
                }
            });
        while (started.load() < kTracers)
            std::this_thread::yield();
        if (pThreadIds)
            pThreadIds->insert(ids.begin(), ids.end());
        const std::string module = ExeFileName();
        for (int r = 0; r < rounds; ++r) {
            TermTraceClient();
            SetTraceDword(module, "TraceFlags", r % 2 ? dwFlagsA : dwFlagsB);
            SetTraceDword(module, "MaxTraceArraySize", 3 + r % 5);
            InitTraceClient(nullptr);
            // DllMain's attach: a reload of the settings while the tracers go on.
            InitTraceClient(TraceClientModule());
            round();
        }
        stop.store(true);
        for (auto& tracer : tracers)
            tracer.join();
        TermTraceClient();
        round();
        return written.load();
    }

    static bool Whole(const std::string& text)
    {
        static const std::string decoration = " : hr = 0x80070057, '";
        auto starts = [&](const char* prefix) { return text.rfind(prefix, 0) == 0; };
        if (starts("ENTERING: Stress::RunStress::Run()") || starts("EXITING:  Stress::RunStress::Run()"))
            return text.size() == 34;
        if (starts("tracer ") && text.find(" line ") != std::string::npos)
            return text.find(decoration) != std::string::npos && text.back() == '\'';
        return starts("tracer ") && text.find(" statistics ") != std::string::npos;
    }
};

TEST_F(TraceConcurrencyTest, TracingWhileTheClientTerminatesAndRestarts)
{
    SetTraceLibraryOverride(&FakeTraceLibrary());
    SetTraceDword("", "DefaultTraceFlags", 0x40D);
    InitTraceClient(nullptr);
    std::set<DWORD> tracers;
    size_t seen = 0;
    size_t torn = 0;
    const int written = Stress(100, 0x40D, 0x401, &tracers, [&] {
        for (const auto& line : TakeCapturedLines()) {
            ++seen;
            if (!Whole(line.text) || tracers.count(line.dwThreadId) != 1) {
                if (++torn < 5)
                    ADD_FAILURE() << line.dwThreadId << ": " << line.text;
            }
        }
    });
    EXPECT_GT(written, 0);
    EXPECT_FALSE(IsTraceClientInitialised());
    EXPECT_EQ(FakeInitCalls(), FakeTermCalls()) << "every initialisation, lazy ones included, met one termination";
    EXPECT_EQ(FakeTermCalls(), 101);
    EXPECT_GT(seen, 0u);
    EXPECT_EQ(torn, 0u) << "of " << seen << " lines";
}

// The real library, loaded and unloaded with every round, writing into the shared log.
TEST_F(TraceConcurrencyTest, RealLibraryComesAndGoesUnderTracingThreads)
{
    SetTraceDword("", "DefaultTraceFlags", 0x40D);
    SetTraceDword("", "MaxFileSize", 1 << 16);
    InitTraceClient(nullptr);
    ASSERT_NE(BoundTraceLibraryHandle(), nullptr) << "wiatrace.dll should resolve to build/lib/wiatrace.so";
    Stress(40, 0x40D, 0x40F, nullptr, [] {});
    EXPECT_EQ(BoundTraceLibraryHandle(), nullptr);

    // Every line in the log and its previous file is whole: it ends where its text ends.
    std::filesystem::path folder = Root() / "system" / "Debug" / "WIA";
    size_t seen = 0;
    for (const char* name : {"wiatrace.log.1", "wiatrace.log"}) {
        std::ifstream in(folder / name, std::ios::binary);
        std::string line;
        while (std::getline(in, line)) {
            ++seen;
            if (line.find(" HDR ") != std::string::npos)
                continue;
            size_t text = line.find("Stress::Run");
            ASSERT_NE(text, std::string::npos) << line;
            EXPECT_TRUE(line.ends_with("Stress::Run()") || line.ends_with("'") ||
                        line.find(" statistics ") != std::string::npos)
                << line;
        }
    }
    EXPECT_GT(seen, 0u);
}

} // namespace
