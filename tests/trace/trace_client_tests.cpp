// The client's filter, dispatch, output, ring, scopes and error decoration, observed through a
// fake trace library that records what it is handed.
#include "fake_trace_library.h"
#include "machine_root.h"
#include "trace_test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>
#include <thread>

using namespace tonwell::test;
using namespace tonwell::trace;

namespace {

// The mask, level and active flag the client has handed the trace library.
struct Settings {
    DWORD mask = 0, level = 0, active = 0;
    bool operator==(const Settings&) const = default;
};

void PrintTo(const Settings& s, std::ostream* os)
{
    *os << "mask 0x" << std::hex << s.mask << std::dec << ", level " << s.level << ", active " << s.active;
}

Settings CurrentSettings()
{
    Settings s;
    FakeSettings(&s.mask, &s.level, &s.active);
    return s;
}

class TraceClientTest : public MachineRootFixture {
protected:
    void SetUp() override
    {
        MachineRootFixture::SetUp();
        ResetFakeTraceLibrary();
        SetTraceLibraryOverride(&FakeTraceLibrary());
    }

    void TearDown() override
    {
        TermTraceClient();
        SetTraceLibraryOverride(nullptr);
        SetTraceLibraryName(nullptr);
        MachineRootFixture::TearDown();
    }

    // Starts the client with the given defaults for every module (this one has no subkey yet).
    void Start(DWORD dwTraceFlags, DWORD dwMaxTraceArraySize = 10)
    {
        SetTraceDword("", "DefaultTraceFlags", dwTraceFlags);
        SetTraceDword("", "DefaultMaxTraceArraySize", dwMaxTraceArraySize);
        InitTraceClient(nullptr);
        ASSERT_TRUE(IsTraceClientInitialised());
    }

    static TraceRecord Record(DWORD dwFlag, DWORD dwMask, DWORD dwLevel)
    {
        TraceRecord record{};
        record.Flag = dwFlag;
        record.Mask = dwMask;
        record.Level = dwLevel;
        return record;
    }

    static void WriteLine(DWORD dwFlag, const char16_t* pszText)
    {
        DispatchTraceRecord(0, 0, "Test", dwFlag, FormatTraceW(u"%s", pszText));
    }

    static std::string RetainedText(DWORD dwSlot)
    {
        const TraceRecord* pRecord = RetainedRecord(dwSlot);
        return pRecord && pRecord->Text ? pRecord->Text : "<empty>";
    }
};

TEST_F(TraceClientTest, FilterFollowsFlagsMaskAndLevel)
{
    Start(0x401);
    struct Case {
        DWORD traceFlags, traceMask, traceLevel, flag, mask, level;
        bool passes;
    };
    const Case cases[] = {
        // The built-in settings: error lines only.
        {0x401, 0, 0, 0x1, 0, 0, true},
        {0x401, 0, 0, 0x4, 0, 0, false},
        {0x401, 0, 0, 0x8, 0, 0, false},
        {0x401, 0, 0, 0x10, 0, 0, false},
        {0x401, 0, 0, 0x2, 0, 0, false},
        // 0x80 passes whatever the bits say; unknown flags and two bits at once never do.
        {0x401, 0, 0, 0x80, 0, 0, true},
        {0xFFFF, 0, 0, 0x20, 0, 0, false},
        {0xFFFF, 0, 0, 0x5, 0, 0, false},
        {0xFFFF, 0, 0, 0x0, 0, 0, false},
        // Level, compared unsigned.
        {0x4, 0, 1, 0x4, 0, 2, false},
        {0x4, 0, 2, 0x4, 0, 2, true},
        {0x8, 0, 0xFFFFFFFE, 0x8, 0, 0xFFFFFFFF, false},
        // Mask of trace and scope lines: 0 admits every component.
        {0x4, 0x3, 0, 0x4, 0x1, 0, true},
        {0x4, 0x3, 0, 0x4, 0x4, 0, false},
        {0x4, 0, 0, 0x4, 0x1, 0, true},
        {0x4, 0, 0, 0x4, 0x4, 0, true},
        {0x8, 0x3, 0, 0x8, 0x6, 0, false},
        // Mask-filtered lines: a zero TraceMask admits only a zero mask.
        {0x2, 0x3, 0, 0x2, 0x1, 0, true},
        {0x2, 0x2, 0, 0x2, 0x1, 0, false},
        {0x2, 0, 0, 0x2, 0x1, 0, false},
        {0x2, 0, 0, 0x2, 0, 5, true},
    };
    for (const Case& c : cases) {
        g_TraceSettings.TraceFlags = c.traceFlags;
        g_TraceSettings.TraceMask = c.traceMask;
        g_TraceSettings.TraceLevel = c.traceLevel;
        TraceRecord record = Record(c.flag, c.mask, c.level);
        EXPECT_EQ(TraceRecordPasses(&record) != FALSE, c.passes)
            << std::hex << "TraceFlags 0x" << c.traceFlags << " TraceMask 0x" << c.traceMask << " TraceLevel "
            << c.traceLevel << " flag 0x" << c.flag << " mask 0x" << c.mask << " level " << c.level;
    }
    EXPECT_FALSE(TraceRecordPasses(nullptr));
}

TEST_F(TraceClientTest, PassingLinesLoseTheMaskAndLevelTheirKindDoesNotUse)
{
    Start(0x417);
    g_TraceSettings.TraceLevel = 9;
    g_TraceSettings.TraceMask = 0xFF;
    for (DWORD flag : {0x1u, 0x10u, 0x80u}) {
        TraceRecord record = Record(flag, 0x5, 7);
        ASSERT_TRUE(TraceRecordPasses(&record));
        EXPECT_EQ(record.Mask, 0u);
        EXPECT_EQ(record.Level, 0u);
    }
    TraceRecord masked = Record(0x2, 0x5, 7);
    ASSERT_TRUE(TraceRecordPasses(&masked));
    EXPECT_EQ(masked.Mask, 0x5u);
    EXPECT_EQ(masked.Level, 0u);
    TraceRecord trace = Record(0x4, 0x5, 7);
    ASSERT_TRUE(TraceRecordPasses(&trace));
    EXPECT_EQ(trace.Mask, 0x5u);
    EXPECT_EQ(trace.Level, 7u);

    // Through the dispatch, an error line reaches the library with mask and level 0.
    ClearCapturedLines();
    DispatchTraceRecord(0, 0, "Test", 0x1, FormatTraceMaskW(0x5, 3, u"error"));
    auto lines = CapturedLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].dwMask, 0u);
    EXPECT_EQ(lines[0].dwLevel, 0u);
}

TEST_F(TraceClientTest, DispatchHandsTheLibraryEverythingItNeeds)
{
    Start(0x405);
    DispatchTraceRecord(3, 4, "CTonwell::ClassifyExposureType", 0x4, FormatTraceMaskW(0, 0, u"Centroid = %d", 42));
    auto lines = CapturedLines();
    ASSERT_EQ(lines.size(), 1u);
    const CapturedLine& line = lines[0];
    EXPECT_EQ(line.text, "Centroid = 42");
    EXPECT_EQ(line.function, "CTonwell::ClassifyExposureType");
    EXPECT_EQ(line.dwFlag, 0x4u);
    EXPECT_EQ(line.module, ExeFileName());
    EXPECT_EQ(line.dwTraceFlags, 0x405u);
    EXPECT_EQ(line.dwMaxFileSize, 0x100000u);
    EXPECT_EQ(line.hLogFile, TraceLogFile());
    EXPECT_EQ(line.hLogMutex, TraceLogMutex());
    EXPECT_NE(line.hLogFile, INVALID_HANDLE_VALUE);
    EXPECT_NE(line.hLogMutex, nullptr);
    EXPECT_EQ(line.dwProcessId, GetCurrentProcessId());
    EXPECT_EQ(line.dwThreadId, GetCurrentThreadId());
    EXPECT_EQ(FakeInitCalls(), 1);

    // A disabled kind of line goes nowhere, and a null record is nothing.
    DispatchTraceRecord(0, 0, "Test", 0x8, FormatTraceW(u"scope"));
    DispatchTraceRecord(0, 0, "Test", 0x1, nullptr);
    EXPECT_EQ(CapturedLines().size(), 1u);
}

TEST_F(TraceClientTest, FirstOutputFlagGoesWithTheFirstLineHandedOver)
{
    Start(0x401);
    EXPECT_TRUE(FirstOutputPending());
    WriteLine(0x4, u"filtered out");
    EXPECT_TRUE(FirstOutputPending()) << "a line that does not pass must not consume the flag";
    WriteLine(0x1, u"one");
    WriteLine(0x1, u"two");
    WriteLine(0x1, u"three");
    auto lines = CapturedLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(lines[0].bFirstOutput);
    EXPECT_FALSE(lines[1].bFirstOutput);
    EXPECT_FALSE(lines[2].bFirstOutput);
    EXPECT_FALSE(FirstOutputPending());
}

TEST_F(TraceClientTest, RingKeepsTheLatestRecordsInItsSlots)
{
    Start(0x401, 3);
    ASSERT_EQ(RetainedRecordCapacity(), 3u);
    for (const char16_t* text : {u"line 1", u"line 2", u"line 3", u"line 4", u"line 5"})
        WriteLine(0x1, text);
    EXPECT_EQ(RetainedText(0), "line 4");
    EXPECT_EQ(RetainedText(1), "line 5");
    EXPECT_EQ(RetainedText(2), "line 3");
}

TEST_F(TraceClientTest, RingCapacityIsClampedAndCanBeSwitchedOff)
{
    Start(0x401, 100000);
    EXPECT_EQ(RetainedRecordCapacity(), 5000u);
    EXPECT_EQ(g_TraceSettings.MaxTraceArraySize, 5000u);
    TermTraceClient();
    EXPECT_EQ(RetainedRecordCapacity(), 0u);
    EXPECT_EQ(g_TraceSettings.MaxTraceArraySize, 0u);

    SetTraceDword("", "DefaultTraceFlags", 0xC01);
    SetTraceDword(ExeFileName(), "TraceFlags", 0xC01);
    InitTraceClient(nullptr);
    EXPECT_EQ(RetainedRecordCapacity(), 0u);
    WriteLine(0x1, u"output but not retained");
    EXPECT_EQ(CapturedLines().size(), 1u);
}

TEST_F(TraceClientTest, NoOutputBitStillRetains)
{
    Start(0x1401, 4);
    WriteLine(0x1, u"kept in memory");
    EXPECT_TRUE(CapturedLines().empty());
    EXPECT_EQ(RetainedText(0), "kept in memory");
    EXPECT_TRUE(FirstOutputPending());
}

TEST_F(TraceClientTest, ScopeWritesEnteringAndExitingLinesAroundItsBody)
{
    Start(0x40D);
    {
        TraceScope scope(0, 0, "CTonwell::Fix", 0x8, 0x1, 0, FormatTraceW(u"CTonwell::Fix()"));
        EXPECT_EQ(CurrentSettings(), (Settings{0x1, 0, 1}));
        DispatchTraceRecord(0, 0, "CTonwell::ClassifyExposureType", 0x4, FormatTraceW(u"inside"));
        {
            TraceScope inner(0, 0, "CTonwell::AutoBalance", 0x8, 0x1, 0, FormatTraceW(u"CTonwell::AutoBalance()"));
        }
    }
    auto lines = CapturedLines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0].text, "ENTERING: CTonwell::FixCTonwell::Fix()");
    EXPECT_EQ(lines[1].text, "inside");
    EXPECT_EQ(lines[2].text, "ENTERING: CTonwell::AutoBalanceCTonwell::AutoBalance()");
    EXPECT_EQ(lines[3].text, "EXITING:  CTonwell::AutoBalanceCTonwell::AutoBalance()");
    EXPECT_EQ(lines[4].text, "EXITING:  CTonwell::FixCTonwell::Fix()");
    EXPECT_EQ(lines[0].dwIndent, 0u);
    EXPECT_EQ(lines[1].dwIndent, 1u);
    EXPECT_EQ(lines[2].dwIndent, 1u);
    EXPECT_EQ(lines[3].dwIndent, 1u);
    EXPECT_EQ(lines[4].dwIndent, 0u);
    // The line written inside carries its scope's mask and level; scope lines have no function name.
    EXPECT_EQ(lines[1].dwMask, 0x1u);
    EXPECT_EQ(lines[1].dwLevel, 0u);
    EXPECT_EQ(lines[1].function, "CTonwell::ClassifyExposureType");
    for (size_t i : {0u, 2u, 3u, 4u}) {
        EXPECT_EQ(lines[i].dwFlag, 0x8u);
        EXPECT_FALSE(lines[i].bHasFunction);
        EXPECT_EQ(lines[i].dwMask, 0x1u);
    }
    EXPECT_EQ(CurrentSettings(), (Settings{0, 0, 0}));
    EXPECT_EQ(BoundTraceLibrary().pfnGetIndentLevel(), 0u);
}

TEST_F(TraceClientTest, ScopeTextIsTakenLiterallyAndWhole)
{
    Start(0x409);
    std::u16string text = u"100% ";
    text.append(500, u'x');
    {
        TraceScope scope(0, 0, "Name", 0x8, 0x1, 0, FormatTraceW(u"%s", text.c_str()));
    }
    auto lines = CapturedLines();
    ASSERT_EQ(lines.size(), 2u);
    std::string expected = "Name100% " + std::string(500, 'x');
    EXPECT_EQ(lines[0].text, "ENTERING: " + expected);
    EXPECT_EQ(lines[1].text, "EXITING:  " + expected);
}

TEST_F(TraceClientTest, DisabledScopeWritesNothingButStillSetsAndRestoresSettings)
{
    Start(0x401);
    {
        TraceScope scope(0, 0, "CTonwell::Fix", 0x8, 0x3, 2, FormatTraceW(u"CTonwell::Fix()"));
        EXPECT_EQ(CurrentSettings(), (Settings{0x3, 2, 1}));
        EXPECT_EQ(BoundTraceLibrary().pfnGetIndentLevel(), 0u);
    }
    EXPECT_EQ(CurrentSettings(), (Settings{0, 0, 0}));
    EXPECT_TRUE(CapturedLines().empty());

    // A scope given no record is inert.
    {
        TraceScope inert(0, 0, "X", 0x8, 0x3, 2, nullptr);
        EXPECT_EQ(CurrentSettings().active, 0u);
    }
}

TEST_F(TraceClientTest, ScopeClosingAfterTerminationWritesNothing)
{
    Start(0x409);
    {
        TraceScope scope(0, 0, "CTonwell::Fix", 0x8, 0x1, 0, FormatTraceW(u"CTonwell::Fix()"));
        TermTraceClient();
    }
    auto lines = CapturedLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text.rfind("ENTERING: ", 0), 0u);
    EXPECT_FALSE(IsTraceClientInitialised());
}

TEST_F(TraceClientTest, ErrorLineCarriesTheResultAndTheSystemText)
{
    Start(0x401);
    char message[261] = {};
    ASSERT_NE(FormatMessageA(0x12FF, nullptr, 0x80070057u, 0, message, sizeof message, nullptr), 0u);
    TraceRecord* pRecord = FormatTraceW(u"Error returned from AutoBalance() hr=0x%lX", E_INVALIDARG);
    AppendHResultText(E_INVALIDARG, pRecord);
    DispatchTraceRecord(0, 0, "CTonwell::Fix", 0x1, pRecord);
    auto lines = CapturedLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text,
              std::string("Error returned from AutoBalance() hr=0x80070057 : hr = 0x80070057, '") + message + "'");
    EXPECT_EQ(lines[0].function, "CTonwell::Fix");

    // A code the system has no text for gets empty quotes; a null record is left alone.
    TraceRecord* pUnknown = FormatTraceA("x");
    AppendHResultText(static_cast<HRESULT>(0x8FFF1234u), pUnknown);
    EXPECT_STREQ(pUnknown->Text, "x : hr = 0x8fff1234, ''");
    FreeTraceRecord(pUnknown);
    AppendHResultText(E_FAIL, nullptr);
}

TEST_F(TraceClientTest, AppendingText)
{
    Start(0x401);
    TraceRecord* pRecord = FormatTraceA("");
    ASSERT_NE(pRecord, nullptr);
    EXPECT_EQ(pRecord->Text, nullptr);
    EXPECT_EQ(AppendTraceText(pRecord, nullptr), S_OK);
    EXPECT_EQ(AppendTraceText(pRecord, ""), S_OK);
    EXPECT_EQ(pRecord->Text, nullptr);
    EXPECT_EQ(AppendTraceText(pRecord, "ab"), S_OK);
    EXPECT_EQ(AppendTraceTextW(pRecord, u"c\u00e9"), S_OK);
    EXPECT_STREQ(pRecord->Text, "abc\xc3\xa9");
    EXPECT_EQ(AppendTraceText(nullptr, "x"), E_POINTER);
    EXPECT_EQ(AppendTraceTextW(nullptr, u"x"), E_POINTER);

    // UTF-8 is cut on a whole character within 511 bytes: 200 three-byte characters keep 170.
    TraceRecord* pWide = FormatTraceA("");
    std::u16string euros(200, u'\u20AC');
    EXPECT_EQ(AppendTraceTextW(pWide, euros.c_str()), S_OK);
    std::string expected;
    for (int i = 0; i < 170; ++i)
        expected += "\xE2\x82\xAC";
    EXPECT_EQ(std::string(pWide->Text), expected);
    FreeTraceRecord(pWide);

    // Four-byte characters (surrogate pairs) are never split: 128 of them keep 127 whole ones, and
    // a long text of single bytes keeps what comes before a pair that does not fit.
    std::u16string faces;
    for (int i = 0; i < 128; ++i)
        faces += u"\U0001F600";
    TraceRecord* pFaces = FormatTraceA("");
    EXPECT_EQ(AppendTraceTextW(pFaces, faces.c_str()), S_OK);
    std::string face = "\xF0\x9F\x98\x80";
    expected.clear();
    for (int i = 0; i < 127; ++i)
        expected += face;
    EXPECT_EQ(std::string(pFaces->Text), expected);
    FreeTraceRecord(pFaces);
    std::u16string plain(600, u'a');
    plain[510] = u'\xD83D'; // a pair that the cut at 511 units would split
    plain[511] = u'\xDE00';
    TraceRecord* pPlain = FormatTraceA("");
    EXPECT_EQ(AppendTraceTextW(pPlain, plain.c_str()), S_OK);
    EXPECT_EQ(std::string(pPlain->Text), std::string(510, 'a'));
    FreeTraceRecord(pPlain);
    FreeTraceRecord(pRecord);
}

TEST_F(TraceClientTest, LinesBringBackATerminatedClient)
{
    Start(0x401);
    TermTraceClient();
    EXPECT_EQ(FakeTermCalls(), 1);
    ASSERT_FALSE(IsTraceClientInitialised());
    WriteLine(0x1, u"after termination");
    EXPECT_TRUE(IsTraceClientInitialised());
    EXPECT_EQ(FakeInitCalls(), 2);
    auto lines = CapturedLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "after termination");
    EXPECT_TRUE(lines[0].bFirstOutput);
}

TEST_F(TraceClientTest, ConcurrentLazyInitialisationHappensOnce)
{
    Start(0x401, 50);
    TermTraceClient();
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < 50; ++i)
                WriteLine(0x1, u"from a thread");
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(FakeInitCalls(), 2);
    EXPECT_EQ(CapturedLines().size(), 400u);
    int first = 0;
    for (const auto& line : CapturedLines())
        first += line.bFirstOutput ? 1 : 0;
    EXPECT_EQ(first, 1);
}

TEST_F(TraceClientTest, ReloadAtAttachKeepsWhatInitialisationBuilt)
{
    Start(0x401, 4);
    HANDLE hLog = TraceLogFile();
    SetTraceDword(ExeFileName(), "TraceFlags", 0x40F);
    SetTraceDword(ExeFileName(), "MaxTraceArraySize", 9);
    InitTraceClient(TraceClientModule());
    EXPECT_EQ(g_TraceSettings.TraceFlags, 0x40Fu);
    EXPECT_EQ(RetainedRecordCapacity(), 4u);
    EXPECT_EQ(TraceLogFile(), hLog);
    EXPECT_EQ(FakeInitCalls(), 1);
}

TEST_F(TraceClientTest, StaticClientObjectStartsAndStopsTracing)
{
    SetTraceDword("", "DefaultTraceFlags", 0x411);
    {
        TraceClientLifetime client;
        EXPECT_TRUE(IsTraceClientInitialised());
        EXPECT_TRUE(ObjectTrackingActive());
        // DllMain's attach re-initialises with the module's handle: settings only.
        InitTraceClient(TraceClientModule());
        EXPECT_EQ(FakeInitCalls(), 1);
    }
    EXPECT_FALSE(IsTraceClientInitialised());
    EXPECT_FALSE(ObjectTrackingActive());
    EXPECT_EQ(FakeTermCalls(), 1);

    // In the module's order DllMain's detach terminates first; the destruction then does nothing.
    {
        TraceClientLifetime client;
        TermTraceClient();
        EXPECT_EQ(FakeTermCalls(), 2);
    }
    EXPECT_EQ(FakeTermCalls(), 2);
    EXPECT_TRUE(ObjectTrackingActive()) << "the detach order leaves tracking to the end of the process";
    StopObjectTracking();
}

TEST_F(TraceClientTest, WithoutTheLibraryNothingFailsAndNothingIsWritten)
{
    SetTraceLibraryOverride(nullptr);
    SetTraceLibraryName(u"no-such-wiatrace.dll");
    Start(0x41F, 8);
    EXPECT_EQ(BoundTraceLibraryHandle(), nullptr);
    {
        TraceScope scope(0, 0, "CTonwell::Fix", 0x8, 0x1, 0, FormatTraceW(u"CTonwell::Fix()"));
        TraceRecord* pRecord = FormatTraceW(u"Error returned from AutoBalance() hr=0x%lX", E_INVALIDARG);
        AppendHResultText(E_INVALIDARG, pRecord);
        EXPECT_EQ(pRecord->IndentLevel, 0u);
        EXPECT_EQ(pRecord->Mask, 0u);
        DispatchTraceRecord(0, 0, "CTonwell::Fix", 0x1, pRecord);
    }
    // Lines are still made, filtered and retained...
    EXPECT_EQ(RetainedText(0), "ENTERING: CTonwell::FixCTonwell::Fix()");
    EXPECT_EQ(RetainedText(1).rfind("Error returned from AutoBalance()", 0), 0u);
    EXPECT_EQ(RetainedText(2), "EXITING:  CTonwell::FixCTonwell::Fix()");
    EXPECT_TRUE(FirstOutputPending() == FALSE);
    // ...but go nowhere: the log exists and stays empty.
    std::filesystem::path log = Root() / "system" / "Debug" / "WIA" / "wiatrace.log";
    ASSERT_TRUE(std::filesystem::exists(log));
    EXPECT_EQ(std::filesystem::file_size(log), 0u);
    EXPECT_TRUE(CapturedLines().empty());
}

TEST_F(TraceClientTest, LibraryWithoutOptionalEntries)
{
    SetTraceLibraryOverride(&FakeTraceLibraryWithoutOptionalEntries());
    Start(0x409);
    {
        TraceScope scope(0, 0, "F", 0x8, 0x1, 0, FormatTraceW(u"F()"));
        DispatchTraceRecord(0, 0, "F", 0x1, FormatTraceW(u"inside"));
    }
    auto lines = CapturedLines();
    ASSERT_EQ(lines.size(), 3u);
    for (const auto& line : lines)
        EXPECT_EQ(line.dwIndent, 0u);
    EXPECT_EQ(lines[1].dwMask, 0u);
}

} // namespace
