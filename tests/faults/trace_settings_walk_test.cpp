// Walks over loading the trace settings: every call a load makes fails in turn,
// on a fresh machine root and with the same settings in memory before it. A
// failed call never crashes the load and gives the documented fallback: keys
// that cannot be made or a descriptor that cannot be built leave the effective
// settings at the defaults in memory and suppression as it was; a value that
// cannot be written back keeps the value in force; a suppression list that
// cannot be read leaves suppression as it was. The next load, unfailed, gives
// the real settings and writes back what the failed one could not.
#include "TraceClientInternals.h"
#include "machine_root.h"
#include "registry_dump.h"
#include "trace_test_support.h"

#include <tonwell_testhooks.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <functional>

namespace {

using namespace tonwell::test;
using namespace tonwell::trace;

constexpr DWORD kEverything = TONWELL_FAULT_ALL | TONWELL_FAULT_THIS_THREAD;

// The settings in memory, field by field, in TraceSettings order.
struct Settings {
    std::array<DWORD, 14> v{};
    bool operator==(const Settings&) const = default;
};

std::atomic<DWORD>* const kFields[] = {
    &g_TraceSettings.TraceFlags,        &g_TraceSettings.TraceMask,
    &g_TraceSettings.TraceLevel,        &g_TraceSettings.MaxTraceArraySize,
    &g_TraceSettings.MaxFileSize,       &g_TraceSettings.EnableObjectTracking,
    &g_TraceSettings.HeapOptions,       nullptr, // SuppressProcessOutput, a BOOL
    &g_TraceSettings.DefaultTraceFlags, &g_TraceSettings.DefaultTraceMask,
    &g_TraceSettings.DefaultTraceLevel, &g_TraceSettings.DefaultMaxTraceArraySize,
    &g_TraceSettings.DefaultEnableObjectTracking, &g_TraceSettings.DefaultHeapOptions,
};
constexpr size_t kSuppress = 7;
constexpr size_t kFirstDefault = 8;
// The six effective fields and the defaults they start from.
constexpr std::array<std::pair<size_t, size_t>, 6> kEffective = {
    {{0, 8}, {1, 9}, {2, 10}, {3, 11}, {5, 12}, {6, 13}}};

Settings Current()
{
    Settings s;
    for (size_t i = 0; i < s.v.size(); ++i)
        s.v[i] = kFields[i] ? kFields[i]->load() : static_cast<DWORD>(g_TraceSettings.SuppressProcessOutput.load());
    return s;
}

void Prime(const Settings& s)
{
    for (size_t i = 0; i < s.v.size(); ++i) {
        if (kFields[i])
            kFields[i]->store(s.v[i]);
        else
            g_TraceSettings.SuppressProcessOutput.store(static_cast<BOOL>(s.v[i]));
    }
}

std::string Show(const Settings& s)
{
    std::string text;
    for (DWORD value : s.v)
        text += std::to_string(value) + " ";
    return text;
}

Dump TraceKey()
{
    Dump d;
    DumpKeys(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\StillImage\\Trace", &d);
    return d;
}

// Number of values stored in a dump (each ends in ';').
size_t ValueCount(const Dump& d)
{
    size_t n = 0;
    for (const auto& [path, values] : d) {
        (void)path;
        for (char c : values)
            n += c == ';';
    }
    return n;
}

class TraceSettingsWalk : public MachineRootFixture {
protected:
    void SetUp() override
    {
        MachineRootFixture::SetUp();
        m_saved = Current();
        // Settings in memory that differ from the built-in ones in every field a
        // fallback could reveal, with the effective fields apart from the defaults.
        m_primed.v = {0x3, 0x2, 0x1, 7, 4096, 0, 0x10, TRUE, 0x7, 0x6, 0x5, 9, 1, 0x20};
        SetMainModulePathOverride("C:\\apps\\HOST.EXE");
    }
    void TearDown() override
    {
        TonwellFaultDisarm();
        SetMainModulePathOverride(nullptr);
        Prime(m_saved);
        MachineRootFixture::TearDown();
    }

    void FreshRoot()
    {
        m_current = Root() / ("step" + std::to_string(++m_steps));
        std::filesystem::create_directories(m_current);
        setenv("TONWELL_ROOT", m_current.c_str(), 1);
    }

    // What the primed settings fall back to when nothing can be read.
    Settings Fallback() const
    {
        Settings s = m_primed;
        for (auto [effective, def] : kEffective)
            s.v[effective] = s.v[def];
        return s;
    }

    // Fails each call of a load in turn on a store made by `prepare`.
    void Walk(const std::function<void()>& prepare, const char* name)
    {
        FreshRoot();
        prepare();
        const Dump initial = TraceKey();
        Prime(m_primed);
        TonwellFaultArm(kEverything, 0);
        ASSERT_EQ(LoadTraceSettings(nullptr), S_OK);
        TonwellFaultDisarm();
        const DWORD calls = TonwellFaultCount();
        const Settings real = Current();
        const Dump written = TraceKey();
        ASSERT_GT(calls, 0u);
        std::printf("loading the trace settings (%s): %u calls walked\n", name, calls);

        for (DWORD n = 1; n <= calls; ++n) {
            const std::string where = std::string(name) + ", call " + std::to_string(n);
            FreshRoot();
            prepare();
            Prime(m_primed);
            TonwellFaultArm(kEverything, n);
            const HRESULT hr = LoadTraceSettings(nullptr);
            TonwellFaultDisarm();
            ASSERT_TRUE(TonwellFaultFired()) << where;
            const Settings now = Current();
            const Dump left = TraceKey();
            // Nothing is stored that a clean load would not store.
            for (const auto& [path, values] : left) {
                auto clean = written.find(path);
                auto before = initial.find(path);
                bool known = before != initial.end() && before->second == values;
                if (!known && clean != written.end()) {
                    // Some values may be missing; each one here is one of the clean load's.
                    known = true;
                    for (size_t start = 0; start < values.size();) {
                        size_t end = values.find(';', start);
                        if (end == std::string::npos ||
                            clean->second.find(values.substr(start, end + 1 - start)) == std::string::npos)
                            known = false;
                        start = end == std::string::npos ? values.size() : end + 1;
                    }
                }
                EXPECT_TRUE(known) << where << ": unexpected " << std::string(path.begin(), path.end());
            }
            if (hr == S_OK) {
                Settings expected = real;
                if (left == written) // only the suppression list went unread
                    expected.v[kSuppress] = m_primed.v[kSuppress];
                else
                    EXPECT_EQ(ValueCount(left), ValueCount(written) - 1) << where << ": more than one value lost";
                EXPECT_EQ(now, expected) << where << "\n" << Show(now) << "\n" << Show(expected);
            } else {
                // The keys could not be made, or the descriptor could not be built.
                EXPECT_TRUE(hr == E_FAIL || hr == HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY))
                    << where << std::hex << ": 0x" << hr;
                EXPECT_EQ(now, Fallback()) << where << "\n" << Show(now) << "\n" << Show(Fallback());
                EXPECT_EQ(ValueCount(left), ValueCount(initial)) << where << ": values written after a failure";
            }
            EXPECT_EQ(LoadTraceSettings(nullptr), S_OK) << where;
            EXPECT_EQ(Current(), real) << where;
            EXPECT_EQ(TraceKey(), written) << where;
            if (HasFailure())
                break;
        }
    }

    Settings m_saved, m_primed;
    std::filesystem::path m_current;
    int m_steps = 0;
};

// The first load on a machine: both keys are made and every value written back.
TEST_F(TraceSettingsWalk, FirstLoadOnAnEmptyStore)
{
    Walk([] {}, "empty store");
}

// A store with a default, an override and a suppression list naming this
// process: the list is read into the heap, the missing values written back.
TEST_F(TraceSettingsWalk, LoadOfAStoreWithAListAndOverrides)
{
    static const char16_t kList[] = u"other.exe\0host.exe\0";
    Walk(
        [] {
            SetTraceDword("", "DefaultTraceFlags", 0xF);
            SetTraceDword(ExeFileName(), "TraceFlags", 0x9);
            SetTraceText("", u"SuppressProcessOutput", REG_MULTI_SZ, kList, sizeof kList);
        },
        "keys present");
}

} // namespace
