// Walks over the module's operations: count the platform calls an operation
// makes, then fail each one in turn on a fresh machine root and check the
// result, what the registry keeps, and that the next unfailed call succeeds.
// Leaks show under LeakSanitizer (scripts/test --sanitize).
#include <windows.h>
#include <tonwell_testhooks.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "machine_root.h"
#include "module_support.h"
#include "registry_dump.h"

namespace {

using namespace tonwell::test;

constexpr DWORD kEverything = TONWELL_FAULT_ALL | TONWELL_FAULT_THIS_THREAD;

Dump Machine()
{
    Dump d;
    DumpKeys(HKEY_LOCAL_MACHINE, u"", &d);
    return d;
}

// What registration writes, in the three parts that each stay whole or go whole.
const std::vector<std::vector<std::u16string>> kParts = {
    {u"SOFTWARE\\Corvantis\\Windows\\CurrentVersion\\StillImage\\PlugIns\\{83AF37A6-1013-4638-9568-8A25EE237C79}"},
    {u"SOFTWARE\\Classes\\TonwellObj.TonwellExposure", u"SOFTWARE\\Classes\\CLSID\\{83AF37A6-1013-4638-9568-8A25EE237C79}"},
    {u"SOFTWARE\\Classes\\TypeLib\\{4404C7F2-CB2B-4CEE-AE75-56406CA50F0D}",
     u"SOFTWARE\\Classes\\Interface\\{9D2F309B-5941-468F-B357-EFDD74ED99BD}"},
};

bool InPart(const std::u16string& path, const std::vector<std::u16string>& part)
{
    for (const auto& prefix : part) {
        if (path.compare(0, prefix.size(), prefix) == 0)
            return true;
    }
    return false;
}

// The entries of `full` that belong to one part.
Dump PartOf(const Dump& full, size_t part)
{
    Dump d;
    for (const auto& [path, values] : full) {
        if (InPart(path, kParts[part]))
            d[path] = values;
    }
    return d;
}

// How many of the parts of `registered` are present whole in `now`; fails the
// test when a part is there in part, or when something not written by a clean
// registration is there.
size_t WholeParts(const Dump& now, const Dump& registered, const Dump& empty, const std::string& where)
{
    for (const auto& [path, values] : now) {
        auto clean = registered.find(path);
        auto before = empty.find(path);
        const bool known = (clean != registered.end() && clean->second == values) ||
                           (before != empty.end() && before->second == values);
        EXPECT_TRUE(known) << where << ": unexpected " << std::string(path.begin(), path.end());
    }
    size_t whole = 0;
    for (size_t part = 0; part < kParts.size(); ++part) {
        Dump have = PartOf(now, part);
        if (have.empty())
            continue;
        EXPECT_EQ(have, PartOf(registered, part)) << where << ": part " << part << " half written:\n" << Describe(have);
        ++whole;
    }
    return whole;
}

class Walk : public RegisteringModuleFixture {
protected:
    void SetUp() override
    {
        RegisteringModuleFixture::SetUp();
        if (HasFatalFailure())
            return;
        FreshRoot();
        m_empty = Machine();
        ASSERT_EQ(m_register(), S_OK);
        m_registered = Machine();
        ASSERT_EQ(m_unregister(), S_OK);
        m_unregistered = Machine();
    }
    void TearDown() override
    {
        TonwellFaultDisarm();
        RegisteringModuleFixture::TearDown();
    }

    // A machine root of its own for each step of a walk.
    void FreshRoot()
    {
        if (!m_current.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(m_current, ec);
        }
        m_current = Root() / ("step" + std::to_string(++m_steps));
        std::filesystem::create_directories(m_current);
        setenv("TONWELL_ROOT", m_current.c_str(), 1);
    }

    // The calls `operation` makes, counted without failing any.
    DWORD Count(const std::function<void()>& operation)
    {
        TonwellFaultArm(kEverything, 0);
        operation();
        TonwellFaultDisarm();
        return TonwellFaultCount();
    }

    Dump m_empty, m_registered, m_unregistered;
    std::filesystem::path m_current;
    int m_steps = 0;
};

TEST_F(Walk, RegisterServerFailsWholeOrSucceedsWhole)
{
    FreshRoot();
    const DWORD calls = Count([&] { EXPECT_EQ(m_register(), S_OK); });
    ASSERT_GT(calls, 10u);
    EXPECT_EQ(WholeParts(Machine(), m_registered, m_empty, "counting run"), kParts.size());
    RecordProperty("calls", static_cast<int>(calls));
    std::printf("DllRegisterServer: %u calls walked\n", calls);

    for (DWORD n = 1; n <= calls; ++n) {
        const std::string where = "call " + std::to_string(n);
        FreshRoot();
        TonwellFaultArm(kEverything, n);
        const HRESULT hr = m_register();
        TonwellFaultDisarm();
        ASSERT_TRUE(TonwellFaultFired()) << where;
        const size_t whole = WholeParts(Machine(), m_registered, m_empty, where);
        if (hr == S_OK) {
            EXPECT_EQ(whole, kParts.size()) << where << ": success reported with a part missing";
        } else {
            EXPECT_TRUE(FAILED(hr)) << where << std::hex << ": 0x" << hr;
            EXPECT_LT(whole, kParts.size()) << where << ": failure reported with everything written";
        }
        EXPECT_EQ(m_register(), S_OK) << where;
        EXPECT_EQ(Machine(), m_registered) << where;
        if (HasFailure())
            break;
    }
}

TEST_F(Walk, UnregisterServerLeavesNothingOnceRunAgain)
{
    FreshRoot();
    ASSERT_EQ(m_register(), S_OK);
    const DWORD calls = Count([&] { EXPECT_EQ(m_unregister(), S_OK); });
    ASSERT_GT(calls, 3u);
    EXPECT_EQ(Machine(), m_unregistered);
    std::printf("DllUnregisterServer: %u calls walked\n", calls);

    for (DWORD n = 1; n <= calls; ++n) {
        const std::string where = "call " + std::to_string(n);
        FreshRoot();
        ASSERT_EQ(m_register(), S_OK);
        TonwellFaultArm(kEverything, n);
        const HRESULT hr = m_unregister();
        TonwellFaultDisarm();
        ASSERT_TRUE(TonwellFaultFired()) << where;
        // A failed removal ends the run: what was removed stays removed, so only a
        // success promises that nothing is left.
        const Dump now = Machine();
        if (hr == S_OK)
            EXPECT_EQ(now, m_unregistered) << where << ": success reported with something left:\n" << Describe(now);
        else
            EXPECT_TRUE(FAILED(hr)) << where;
        // The type library goes in one transaction: all there or all gone.
        const Dump library = PartOf(now, 2);
        EXPECT_TRUE(library.empty() || library == PartOf(m_registered, 2))
            << where << ": type library half removed:\n" << Describe(library);
        EXPECT_EQ(m_unregister(), S_OK) << where;
        EXPECT_EQ(Machine(), m_unregistered) << where;
        if (HasFailure())
            break;
    }
}

// One object of the module's class, made without the hook armed.
ITonwellExposure* NewObject(HMODULE module)
{
    auto getClassObject = ProcAs<LPFNGETCLASSOBJECT>(GetProcAddress(module, "DllGetClassObject"));
    IClassFactory* factory = nullptr;
    if (!getClassObject || FAILED(getClassObject(CLSID_TonwellExposure, IID_IClassFactory,
                                                 reinterpret_cast<void**>(&factory))))
        return nullptr;
    ITonwellExposure* object = nullptr;
    factory->CreateInstance(nullptr, IID_ITonwellExposure, reinterpret_cast<void**>(&object));
    factory->Release();
    return object;
}

struct DispatchStep {
    HRESULT first = E_UNEXPECTED;
    DISPID firstId = DISPID_UNKNOWN;
    HRESULT second = E_UNEXPECTED;
    DISPID secondId = DISPID_UNKNOWN;
    DWORD calls = 0;
    BOOL fired = FALSE;
};

// The first GetIDsOfNames of the process, with the Nth call failed (0: none), and the
// one after it; in a child process, since the loaded type information stays for the
// life of the process. The child's exit status says whether it ended cleanly (and,
// under LeakSanitizer, without a leak).
DispatchStep FirstDispatch(HMODULE module, DWORD nth, int* exitStatus)
{
    DispatchStep step;
    int fds[2];
    if (pipe(fds) != 0)
        return step;
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        DispatchStep mine;
        ITonwellExposure* object = NewObject(module);
        if (object) {
            OLECHAR name[] = u"SetImage";
            LPOLESTR names[] = {name};
            TonwellFaultArm(kEverything, nth);
            mine.first = object->GetIDsOfNames(IID_NULL, names, 1, 0, &mine.firstId);
            TonwellFaultDisarm();
            mine.calls = TonwellFaultCount();
            mine.fired = TonwellFaultFired();
            mine.second = object->GetIDsOfNames(IID_NULL, names, 1, 0, &mine.secondId);
            object->Release();
        }
        ssize_t ignored = write(fds[1], &mine, sizeof mine);
        (void)ignored;
        close(fds[1]);
        std::exit(0);
    }
    close(fds[1]);
    if (read(fds[0], &step, sizeof step) != static_cast<ssize_t>(sizeof step))
        step = DispatchStep{};
    close(fds[0]);
    int status = -1;
    waitpid(child, &status, 0);
    *exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return step;
}

TEST_F(Walk, FirstDispatchFailsWithTheLoadersResultAndTheNextSucceeds)
{
    FreshRoot();
    ASSERT_EQ(m_register(), S_OK);
    int exitStatus = -1;
    const DispatchStep counting = FirstDispatch(m_module, 0, &exitStatus);
    ASSERT_EQ(exitStatus, 0);
    ASSERT_EQ(counting.first, S_OK);
    ASSERT_EQ(counting.firstId, 2);
    ASSERT_GT(counting.calls, 0u);
    std::printf("first GetIDsOfNames: %u calls walked\n", counting.calls);

    for (DWORD n = 1; n <= counting.calls; ++n) {
        const std::string where = "call " + std::to_string(n);
        const DispatchStep step = FirstDispatch(m_module, n, &exitStatus);
        EXPECT_EQ(exitStatus, 0) << where;
        EXPECT_TRUE(step.fired) << where;
        // A load that failed reports its failure; one that got the type information
        // answers through it even when the name cache could not be built.
        if (step.first == S_OK)
            EXPECT_EQ(step.firstId, 2) << where;
        else
            EXPECT_TRUE(FAILED(step.first)) << where << std::hex << ": 0x" << step.first;
        EXPECT_EQ(step.second, S_OK) << where;
        EXPECT_EQ(step.secondId, 2) << where;
        if (HasFailure())
            break;
    }
}

// SetImage allocates nothing of its own; the calls it makes are the trace records of
// the engine's scopes, and tracing never changes a traced method's result.
TEST_F(Walk, SetImageResultDoesNotDependOnAnyCall)
{
    ITonwellExposure* object = NewObject(m_module);
    ASSERT_NE(object, nullptr);
    auto dark = [] { return std::vector<BYTE>(3 * 16 * 8, 50); };
    std::vector<BYTE> image = dark();
    const DWORD calls = Count([&] { EXPECT_EQ(object->SetImage(image.data(), 16, 8, 48), S_OK); });
    std::printf("SetImage: %u calls walked\n", calls);
    // Only the heap: no string, registry, file or lock.
    TonwellFaultArm((TONWELL_FAULT_ALL & ~TONWELL_FAULT_HEAP) | TONWELL_FAULT_THIS_THREAD, 0);
    image = dark();
    object->SetImage(image.data(), 16, 8, 48);
    TonwellFaultDisarm();
    EXPECT_EQ(TonwellFaultCount(), 0u);

    for (DWORD n = 1; n <= calls; ++n) {
        image = dark();
        TonwellFaultArm(kEverything, n);
        const HRESULT hr = object->SetImage(image.data(), 16, 8, 48);
        TonwellFaultDisarm();
        EXPECT_TRUE(TonwellFaultFired()) << n;
        EXPECT_EQ(hr, S_OK) << n;
        EXPECT_EQ(image, std::vector<BYTE>(image.size(), 107)) << n;
        std::vector<BYTE> grey(3 * 4 * 4, 128);
        EXPECT_EQ(object->SetImage(grey.data(), 4, 4, 12), S_FALSE) << n;
    }
    object->Release();
}

} // namespace
