// The lines the engine hands to the trace library, in order: its method scopes,
// the statistics line and the error lines of Fix, each with its flag.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Tonwell.h"
#include "fake_trace_library.h"
#include "machine_root.h"
#include "test_images.h"
#include "trace_test_support.h"

using namespace tonwell::test;

namespace {

class EngineTraceTest : public MachineRootFixture {
protected:
    void SetUp() override
    {
        MachineRootFixture::SetUp();
        // Started lazily by earlier tests of this process, perhaps, without the fake.
        TermTraceClient();
        ClearCapturedLines();
        tonwell::trace::SetTraceLibraryOverride(&FakeTraceLibrary());
        // Error, trace and scope lines, written at once.
        SetTraceDword("", "DefaultTraceFlags", 0x40D);
        InitTraceClient(nullptr);
        ASSERT_TRUE(IsTraceClientInitialised());
    }
    void TearDown() override
    {
        TermTraceClient();
        tonwell::trace::SetTraceLibraryOverride(nullptr);
        MachineRootFixture::TearDown();
    }
};

struct Expected {
    std::string text; // a line starting with this
    DWORD flag;
    const char* function; // null for scope lines
};

void ExpectLines(const std::vector<Expected>& expected)
{
    const std::vector<CapturedLine> lines = CapturedLines();
    ASSERT_EQ(lines.size(), expected.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "line " << i << ": " << lines[i].text);
        EXPECT_EQ(lines[i].text.substr(0, expected[i].text.size()), expected[i].text);
        EXPECT_EQ(lines[i].dwFlag, expected[i].flag);
        if (expected[i].function) {
            EXPECT_EQ(lines[i].function, expected[i].function);
        } else {
            EXPECT_FALSE(lines[i].bHasFunction);
            EXPECT_EQ(lines[i].dwMask, 0x1u);
            EXPECT_EQ(lines[i].dwLevel, 0u);
        }
    }
}

// The lines of the scope of CTonwell::method.
Expected Enter(const std::string& method)
{
    return {"ENTERING: CTonwell::" + method + "CTonwell::" + method + "()", 0x8, nullptr};
}
Expected Exit(const std::string& method)
{
    return {"EXITING:  CTonwell::" + method + "CTonwell::" + method + "()", 0x8, nullptr};
}

} // namespace

TEST_F(EngineTraceTest, FixOnANormalImageTracesEveryStepAndTheWeakStrength)
{
    auto bytes = Grey(128, 100);
    {
        CTonwell engine(bytes.data(), 100, 1, 300, 3);
        EXPECT_EQ(engine.Fix(0), S_FALSE);
    }
    ExpectLines({
        Enter("CTonwell"), Exit("CTonwell"),
        Enter("Fix"),
        Enter("ClassifyExposureType"),
        Enter("GetHistogram"), Exit("GetHistogram"),
        {"Centroid = 127, Scale = 1.000000, LowEdge = 129, HighEdge = 129, Type = 0", 0x4,
         "CTonwell::ClassifyExposureType"},
        Exit("ClassifyExposureType"),
        Enter("TonwellWithGammaCurve"), Exit("TonwellWithGammaCurve"),
        {"Error returned from TonwellWithGammaCurve() hr=0x1 : hr = 0x00000001, '", 0x1, "CTonwell::Fix"},
        Exit("Fix"),
        Enter("~CTonwell"), Exit("~CTonwell"),
    });
}

TEST_F(EngineTraceTest, TheStretchUsesTheHistogramTheClassificationMade)
{
    auto bytes = GreyPixels({{100, 50}, {150, 50}});
    CTonwell engine(bytes.data(), 100, 1, 300, 3);
    ClearCapturedLines();
    EXPECT_EQ(engine.Fix(0), S_OK);
    ExpectLines({
        Enter("Fix"),
        Enter("ClassifyExposureType"),
        Enter("GetHistogram"), Exit("GetHistogram"),
        {"Centroid = 124, Scale = 5.100000, LowEdge = 101, HighEdge = 151, Type = 1", 0x4,
         "CTonwell::ClassifyExposureType"},
        Exit("ClassifyExposureType"),
        Enter("AutoBalance"), Exit("AutoBalance"),
        Exit("Fix"),
    });
}

TEST_F(EngineTraceTest, ForcedModesAndEmptyEnginesWriteNoErrorLine)
{
    auto bytes = Grey(128, 10);
    CTonwell engine(bytes.data(), 10, 1, 30, 3);
    CTonwell empty(nullptr, 10, 1, 30, 3);
    ClearCapturedLines();
    EXPECT_EQ(engine.Fix(3), S_OK);
    EXPECT_EQ(empty.Fix(0), static_cast<HRESULT>(0x8007000D));
    ExpectLines({
        Enter("Fix"), Enter("TonwellWithGammaCurve"), Exit("TonwellWithGammaCurve"), Exit("Fix"),
        Enter("Fix"), Exit("Fix"),
    });
}
