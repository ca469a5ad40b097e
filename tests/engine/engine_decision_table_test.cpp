// What hosts draw and explain from the engine: the tone table of a decision is
// the mapping Fix(0) applies, and the histogram and percentiles they are shown
// are the ones the decision was taken on.
#include "test_images.h"

#include <algorithm>

namespace tonwell::test {
namespace {

// Pixels spread over a range, so that each photo-like class can be made.
std::vector<BYTE> Ramp(int low, int high, size_t count)
{
    std::vector<BYTE> bytes;
    for (size_t i = 0; i < count; ++i) {
        const BYTE v = BYTE(low + (high - low) * int(i) / int(count - 1));
        bytes.insert(bytes.end(), {v, BYTE(std::min(255, v + 7)), BYTE(std::max(0, v - 5))});
    }
    return bytes;
}

TEST(EngineDecisionTable, TheToneTableIsTheMappingFixApplies)
{
    struct Case {
        const char* what;
        std::vector<BYTE> bytes;
        double strength;
        ExposureCorrection expected;
    };
    std::vector<BYTE> dark = GreyPixels({{10, 300}, {40, 300}, {200, 100}});
    std::vector<BYTE> bright = GreyPixels({{215, 400}, {240, 300}, {90, 10}});
    const Case cases[] = {
        {"dark", dark, 1.0, CorrectionBrighten},
        {"bright", bright, 1.0, CorrectionDarken},
        {"low contrast", Ramp(100, 160, 600), 1.0, CorrectionStretch},
        {"normal at strength 1.5", Ramp(0, 249, 600), 1.5, CorrectionStrengthCurve},
        {"normal", Ramp(0, 249, 600), 1.0, CorrectionNone},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<BYTE> fixed = c.bytes;
        const DWORD pixels = DWORD(fixed.size() / 3);
        CTonwell engine(fixed.data(), pixels, 1, pixels * 3, 3);
        ASSERT_EQ(engine.SetStrength(c.strength), S_OK);
        ExposureDecision decision{};
        ASSERT_EQ(engine.Decide(&decision), S_OK);
        EXPECT_EQ(decision.correction, c.expected);
        BYTE table[256];
        DecisionToneTable(decision, table);
        engine.Fix(0);
        for (size_t i = 0; i < fixed.size(); ++i)
            ASSERT_EQ(fixed[i], table[c.bytes[i]]) << "byte " << i;
        if (c.expected == CorrectionNone) {
            for (int i = 0; i < 256; ++i)
                ASSERT_EQ(table[i], i);
        }
    }
}

TEST(EngineDecisionTable, HistogramAndPercentilesDescribeTheBufferAsItIs)
{
    std::vector<BYTE> bytes = GreyPixels({{20, 10}, {60, 80}, {250, 10}});
    CTonwell engine(bytes.data(), 100, 1, 300, 3);
    ULONGLONG histogram[256];
    ASSERT_EQ(engine.GetLuminanceHistogram(histogram), S_OK);
    EXPECT_EQ(histogram[20], 10u);
    EXPECT_EQ(histogram[60], 80u);
    EXPECT_EQ(histogram[250], 10u); // counted, though outside the band
    ULONGLONG total = 0;
    for (ULONGLONG n : histogram)
        total += n;
    EXPECT_EQ(total, 100u);

    ExposureDecision decision{};
    ASSERT_EQ(engine.Decide(&decision), S_OK);
    EXPECT_TRUE(std::is_sorted(std::begin(decision.lPercentile), std::end(decision.lPercentile)));
    EXPECT_EQ(decision.lPercentile[0], 0);  // 1 %: reached at the first bin
    // Over the band's 90 pixels: 5 % is met just past bin 20, 20 % just past 60.
    EXPECT_EQ(decision.lPercentile[1], 21);
    EXPECT_EQ(decision.lPercentile[2], 61);

    // After a correction the histogram is measured afresh.
    ASSERT_EQ(engine.Fix(2), S_OK);
    ASSERT_EQ(engine.GetLuminanceHistogram(histogram), S_OK);
    EXPECT_EQ(histogram[60], 0u);

    CTonwell empty(nullptr, 0, 0, 0, 3);
    EXPECT_EQ(empty.GetLuminanceHistogram(histogram), E_INVALIDARG);
    EXPECT_EQ(engine.GetLuminanceHistogram(nullptr), E_POINTER);
}

} // namespace
} // namespace tonwell::test
