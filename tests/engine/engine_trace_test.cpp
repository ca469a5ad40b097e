// The lines the engine hands to the trace library, in order: its method scopes,
// the statistics line and the error lines of Fix, each with its flag.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "Tonwell.h"
#include "test_images.h"
#include "trace_capture.h"

using namespace tonwell::test;

namespace {

class EngineTraceTest : public TraceCaptureTest {
protected:
    EngineTraceTest() : TraceCaptureTest(0x40D) {} // error, trace and scope lines, written at once
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

// A classification that reads the histogram first and writes its statistics line.
std::vector<Expected> Classification(const std::string& statistics)
{
    return {Enter("ClassifyExposureType"), Enter("GetHistogram"), Exit("GetHistogram"),
            {statistics, 0x4, "CTonwell::ClassifyExposureType"}, Exit("ClassifyExposureType")};
}

std::vector<Expected> Join(std::initializer_list<std::vector<Expected>> parts)
{
    std::vector<Expected> all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

} // namespace

TEST_F(EngineTraceTest, FixOnANormalImageTracesEveryStepAndTheWeakStrength)
{
    auto bytes = Grey(128, 100);
    {
        CTonwell engine(bytes.data(), 100, 1, 300, 3);
        EXPECT_EQ(engine.Fix(0), S_FALSE);
    }
    ExpectLines(Join({
        {Enter("CTonwell"), Exit("CTonwell"), Enter("Fix")},
        Classification("Centroid = 127, Scale = 1.000000, LowEdge = 129, HighEdge = 129, Type = 0"),
        {Enter("TonwellWithGammaCurve"), Exit("TonwellWithGammaCurve"),
         {"Error returned from TonwellWithGammaCurve() hr=0x1 : hr = 0x00000001, '", 0x1, "CTonwell::Fix"},
         Exit("Fix"), Enter("~CTonwell"), Exit("~CTonwell")},
    }));
}

TEST_F(EngineTraceTest, TheStretchUsesTheHistogramTheClassificationMade)
{
    auto bytes = GreyPixels({{100, 50}, {150, 50}});
    CTonwell engine(bytes.data(), 100, 1, 300, 3);
    ClearCapturedLines();
    EXPECT_EQ(engine.Fix(0), S_OK);
    ExpectLines(Join({
        {Enter("Fix")},
        Classification("Centroid = 124, Scale = 5.100000, LowEdge = 101, HighEdge = 151, Type = 1"),
        {Enter("AutoBalance"), Exit("AutoBalance"), Exit("Fix")},
    }));
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
