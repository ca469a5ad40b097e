// Histogram, statistics and classification of CTonwell, and Fix's dispatch.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <source_location>

#include "Tonwell.h"
#include "test_images.h"

using tonwell::test::Grey;
using tonwell::test::GreyPixels;
using tonwell::test::Measure;

namespace {

// The statistics of a packed 3-byte image laid out as one row.
ExposureStatistics StatsOf(std::vector<BYTE>& bytes)
{
    CTonwell engine(bytes.data(), static_cast<DWORD>(bytes.size() / 3), 1, static_cast<DWORD>(bytes.size()), 3);
    return Measure(engine);
}

ExposureType TypeOf(std::vector<BYTE> bytes)
{
    CTonwell engine(bytes.data(), static_cast<DWORD>(bytes.size() / 3), 1, static_cast<DWORD>(bytes.size()), 3);
    ExposureType type = static_cast<ExposureType>(99);
    EXPECT_EQ(engine.ClassifyExposureType(&type), S_OK);
    return type;
}

// What an image's statistics must be, in the order the engine derives them; a field
// left out is not checked. The scale is compared exactly.
struct Expected {
    std::optional<LONG> lowEdge = {}, highEdge = {}, width = {}, midPoint = {};
    std::optional<double> scale = {};
    std::optional<LONG> centroid = {};
    ExposureType type;
};

template <typename T, typename U>
void ExpectIfGiven(const char* what, const std::optional<T>& expected, U actual)
{
    if (expected) {
        EXPECT_EQ(actual, *expected) << what;
    }
}

void ExpectStats(std::vector<BYTE> bytes, const Expected& e,
                 std::source_location where = std::source_location::current())
{
    testing::ScopedTrace trace(where.file_name(), static_cast<int>(where.line()), "image of this line");
    const ExposureStatistics s = StatsOf(bytes);
    ExpectIfGiven("low edge", e.lowEdge, s.lLowEdge);
    ExpectIfGiven("high edge", e.highEdge, s.lHighEdge);
    ExpectIfGiven("band width", e.width, s.lHighEdge - s.lLowEdge);
    ExpectIfGiven("mid-point", e.midPoint, s.lMidPoint);
    ExpectIfGiven("scale", e.scale, s.dScale);
    ExpectIfGiven("centroid", e.centroid, s.lCentroid);
    EXPECT_EQ(s.type, e.type);
}

} // namespace

TEST(EngineClassify, GreyImagesAtTheCentroidAndDarkBoundaries)
{
    ExpectStats(Grey(128, 100),
                {.lowEdge = 129, .highEdge = 129, .midPoint = 129, .scale = 1.0, .centroid = 127, .type = ExposureNormal});
    ExpectStats(Grey(98, 100), {.midPoint = 99, .centroid = 97, .type = ExposureDark});
    // 98 is not below 98.
    ExpectStats(Grey(99, 100), {.centroid = 98, .type = ExposureNormal});
    // Centroid 200 is not bright, 201 is.
    ExpectStats(Grey(201, 100), {.centroid = 200, .type = ExposureNormal});
    ExpectStats(Grey(202, 100), {.centroid = 201, .type = ExposureBright});
    ExpectStats(Grey(220, 100), {.centroid = 218, .type = ExposureBright});
    EXPECT_EQ(TypeOf(Grey(220, 100)), ExposureBright);
}

TEST(EngineClassify, DarkNeedsTheCentroidBelowTheMidPointToo)
{
    // Centroid 94 is below 98 but not below the mid-point 50.
    ExpectStats(GreyPixels({{0, 5}, {100, 95}}),
                {.lowEdge = 0, .highEdge = 101, .midPoint = 50, .centroid = 94, .type = ExposureNormal});
}

TEST(EngineClassify, LowContrastHoldsForBandsUpTo97Wide)
{
    ExpectStats(GreyPixels({{100, 50}, {197, 50}}), {.width = 97, .type = ExposureLowContrast});
    ExpectStats(GreyPixels({{100, 50}, {198, 50}}), {.width = 98, .type = ExposureNormal});
    ExpectStats(GreyPixels({{100, 50}, {150, 50}}), {.lowEdge = 101, .highEdge = 151, .midPoint = 126,
                                                     .scale = 255.0 / 50, .centroid = 124,
                                                     .type = ExposureLowContrast});
}

TEST(EngineClassify, RulesApplyInOrder)
{
    // Bright and narrow: bright wins.
    EXPECT_EQ(TypeOf(GreyPixels({{210, 50}, {240, 50}})), ExposureBright);
    // Narrow and dark (centroid 30 below mid-point 31): low contrast wins.
    ExpectStats(GreyPixels({{30, 50}, {31, 50}}), {.midPoint = 31, .centroid = 30, .type = ExposureLowContrast});
    // Black: scale 255 over a 1-bin band.
    ExpectStats(Grey(0, 100),
                {.lowEdge = 0, .highEdge = 1, .scale = 255.0, .centroid = 0, .type = ExposureLowContrast});
}

TEST(EngineClassify, PercentileSearchResumesAndRunsOut)
{
    // The 5 % search passes bin 249 without a test after adding it, so it and every
    // later search keep their presets.
    ExpectStats(Grey(249, 100), {.lowEdge = 0, .highEdge = 250, .midPoint = 125, .scale = 255.0 / 250,
                                 .centroid = 247, .type = ExposureBright});
}

TEST(EngineClassify, EmptyBandLooksLikeAnEmptyImage)
{
    for (BYTE value : {BYTE(250), BYTE(255)}) {
        ExpectStats(Grey(value, 64), {.lowEdge = 0, .highEdge = 0, .midPoint = 0, .scale = 1.0, .centroid = 1,
                                      .type = ExposureNormal});
    }
}

// 1000 pixels: percentile targets 9, 50, 200, 800, 949 and 990.
TEST(EngineClassify, HighEdgeTakesThe99PercentIndexOnlyFor5To20)
{
    const struct {
        int gap;
        LONG high;
    } cases[] = {{4, 101}, {5, 106}, {20, 121}, {21, 101}};
    for (const auto& c : cases) {
        auto bytes = GreyPixels({{100, 949}, {BYTE(100 + c.gap), 41}, {200, 10}});
        ExposureStatistics s = StatsOf(bytes);
        EXPECT_EQ(s.lHighEdge, c.high) << "P5 - P4 = " << c.gap;
    }
}

TEST(EngineClassify, LowEdgeTakesThe5PercentIndexAbove20)
{
    const struct {
        int gap;
        LONG low;
    } cases[] = {{20, 51}, {21, 72}};
    for (const auto& c : cases) {
        auto bytes = GreyPixels({{50, 9}, {BYTE(50 + c.gap), 41}, {150, 950}});
        ExposureStatistics s = StatsOf(bytes);
        EXPECT_EQ(s.lLowEdge, c.low) << "P1 - P0 = " << c.gap;
        EXPECT_EQ(s.lHighEdge, 151);
    }
}

TEST(EngineClassify, ZeroSizeImagesReadNothing)
{
    BYTE sentinel[12] = {7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7};
    for (auto [w, h] : {std::pair<DWORD, DWORD>{0, 4}, {4, 0}, {0, 0}}) {
        CTonwell engine(sentinel, w, h, 12, 3);
        const ExposureStatistics s = Measure(engine);
        EXPECT_EQ(s.lCentroid, 1);
        EXPECT_EQ(s.dScale, 1.0);
        EXPECT_EQ(s.type, ExposureNormal);
        EXPECT_EQ(engine.Fix(0), S_FALSE);
        EXPECT_EQ(engine.Fix(1), S_OK);
        EXPECT_EQ(engine.TonwellWithGammaCurve(ExposureDark), S_OK);
    }
    for (BYTE b : sentinel)
        EXPECT_EQ(b, 7);
}

TEST(EngineClassify, EmptyEngineRefusesEverything)
{
    BYTE pixel[4] = {1, 2, 3, 4};
    CTonwell nullImage(nullptr, 1, 1, 3, 3);
    CTonwell twoBytes(pixel, 1, 1, 3, 2);
    CTonwell fiveBytes(pixel, 1, 1, 5, 5);
    for (CTonwell* engine : {&nullImage, &twoBytes, &fiveBytes}) {
        ExposureType type = static_cast<ExposureType>(42);
        ExposureDecision decision{};
        decision.stats.lCentroid = 42;
        EXPECT_EQ(engine->GetHistogram(), E_INVALIDARG);
        EXPECT_EQ(engine->ClassifyExposureType(&type), E_INVALIDARG);
        EXPECT_EQ(type, static_cast<ExposureType>(42));
        EXPECT_EQ(engine->Decide(&decision), E_INVALIDARG);
        EXPECT_EQ(decision.stats.lCentroid, 42);
        EXPECT_EQ(engine->TonwellWithGammaCurve(ExposureDark), E_INVALIDARG);
        EXPECT_EQ(engine->AutoBalance(), E_INVALIDARG);
        EXPECT_EQ(engine->Fix(0), static_cast<HRESULT>(0x8007000D));
        EXPECT_EQ(engine->Fix(1), static_cast<HRESULT>(0x8007000D));
    }
    EXPECT_EQ(pixel[0], 1);
    EXPECT_EQ(pixel[3], 4);
}

TEST(EngineClassify, NullOutPointersAreRefused)
{
    auto bytes = Grey(128, 4);
    CTonwell engine(bytes.data(), 4, 1, 12, 3);
    EXPECT_EQ(engine.ClassifyExposureType(nullptr), E_POINTER);
    EXPECT_EQ(engine.Decide(nullptr), E_POINTER);
}

TEST(EngineClassify, FourBytePixelsReadBlueGreenRed)
{
    // (255, 0, 0) is red as a 3-byte pixel (luminance 75) and blue as a 4-byte one (29).
    std::vector<BYTE> rgb;
    std::vector<BYTE> bgrx;
    for (int i = 0; i < 100; ++i) {
        rgb.insert(rgb.end(), {255, 0, 0});
        bgrx.insert(bgrx.end(), {255, 0, 0, 200});
    }
    CTonwell red(rgb.data(), 100, 1, 300, 3);
    CTonwell blue(bgrx.data(), 100, 1, 400, 4);
    EXPECT_EQ(Measure(red).lCentroid, 74);  // trunc(7500.5 / 100.5)
    EXPECT_EQ(Measure(blue).lCentroid, 28); // trunc(2900.5 / 100.5)
}

TEST(EngineDecide, NamesTheCorrectionAndItsParameter)
{
    const struct {
        std::vector<BYTE> bytes;
        double strength;
        ExposureCorrection correction;
        double exponent;
    } cases[] = {
        {Grey(50, 100), 1.0, CorrectionBrighten, 2.5},
        {Grey(50, 100), 3.0, CorrectionBrighten, 2.5}, // the strength plays no part
        {Grey(220, 100), 1.5, CorrectionDarken, 2.5},
        {GreyPixels({{100, 50}, {150, 50}}), 1.5, CorrectionStretch, 0.0},
        {Grey(128, 100), 1.0, CorrectionNone, 0.0},
        {Grey(128, 100), 1.0499999999999998, CorrectionNone, 0.0},
        {Grey(128, 100), 1.05, CorrectionStrengthCurve, 1.05},
        {Grey(128, 100), 1.5, CorrectionStrengthCurve, 1.5},
    };
    for (auto c : cases) {
        CTonwell engine(c.bytes.data(), static_cast<DWORD>(c.bytes.size() / 3), 1,
                        static_cast<DWORD>(c.bytes.size()), 3);
        ASSERT_EQ(engine.SetStrength(c.strength), S_OK);
        ExposureDecision d{};
        ASSERT_EQ(engine.Decide(&d), S_OK);
        EXPECT_EQ(d.correction, c.correction) << "grey " << int(c.bytes[0]) << " strength " << c.strength;
        EXPECT_EQ(d.dExponent, c.exponent) << "grey " << int(c.bytes[0]) << " strength " << c.strength;
        ExposureType type = static_cast<ExposureType>(99);
        ASSERT_EQ(engine.ClassifyExposureType(&type), S_OK);
        EXPECT_EQ(type, d.stats.type);
    }
}

TEST(EngineDecide, StrengthFromFlagsIsATenthOfTheSignedFlags)
{
    // What a component's Initialize(dwFlags) does to a normally exposed image.
    const struct {
        DWORD flags;
        ExposureCorrection correction;
        BYTE grey128;
    } cases[] = {
        {0, CorrectionNone, 128},           {10, CorrectionNone, 128},
        {11, CorrectionStrengthCurve, 137}, {15, CorrectionStrengthCurve, 165},
        {0x80000000, CorrectionNone, 128},  {0xFFFFFFFF, CorrectionNone, 128},
    };
    for (const auto& c : cases) {
        auto bytes = Grey(128, 100);
        CTonwell engine(bytes.data(), 10, 10, 30, 3);
        engine.SetStrength(StrengthFromFlags(c.flags));
        ExposureDecision d{};
        ASSERT_EQ(engine.Decide(&d), S_OK);
        EXPECT_EQ(d.correction, c.correction) << c.flags;
        EXPECT_EQ(engine.Fix(0), c.correction == CorrectionNone ? S_FALSE : S_OK) << c.flags;
        EXPECT_EQ(bytes[0], c.grey128) << c.flags;
    }
    EXPECT_EQ(StrengthFromFlags(15), 15 * 0.1);
    EXPECT_EQ(StrengthFromFlags(0xFFFFFFF6), -10 * 0.1);
}

TEST(EngineFix, ModesChooseTheCorrection)
{
    struct {
        DWORD mode;
        BYTE expected; // what grey 128 becomes
    } cases[] = {{2, 211}, {3, 45}, {1, 127}, {4, 127}, {0xFFFFFFFF, 127}};
    for (const auto& c : cases) {
        auto bytes = Grey(128, 100);
        CTonwell engine(bytes.data(), 10, 10, 30, 3);
        EXPECT_EQ(engine.Fix(c.mode), S_OK);
        EXPECT_EQ(bytes[0], c.expected) << "mode " << c.mode;
        EXPECT_EQ(bytes.back(), c.expected) << "mode " << c.mode;
    }
}

TEST(EngineFix, AutomaticModeCorrectsByType)
{
    auto dark = Grey(50, 100);
    CTonwell darkEngine(dark.data(), 10, 10, 30, 3);
    EXPECT_EQ(darkEngine.Fix(0), S_OK);
    EXPECT_EQ(dark[0], 107);

    auto bright = Grey(220, 100);
    CTonwell brightEngine(bright.data(), 10, 10, 30, 3);
    EXPECT_EQ(brightEngine.Fix(0), S_OK);
    EXPECT_EQ(bright[5], 175); // 256 x (220/256)^2.5, rounded

    auto narrow = GreyPixels({{100, 50}, {150, 50}});
    CTonwell narrowEngine(narrow.data(), 100, 1, 300, 3);
    EXPECT_EQ(narrowEngine.Fix(0), S_OK);
    EXPECT_EQ(narrow[0], 0);
    EXPECT_EQ(narrow.back(), 250);

    auto normal = Grey(128, 100);
    CTonwell normalEngine(normal.data(), 10, 10, 30, 3);
    EXPECT_EQ(normalEngine.Fix(0), S_FALSE);
    EXPECT_EQ(normal[0], 128);
}

TEST(EngineFix, StrengthRefusesNonPositiveValues)
{
    for (double bad : {0.0, -1.0, std::numeric_limits<double>::quiet_NaN(), -0.0}) {
        auto bytes = Grey(128, 100);
        CTonwell engine(bytes.data(), 10, 10, 30, 3);
        ASSERT_EQ(engine.SetStrength(1.5), S_OK);
        EXPECT_EQ(engine.SetStrength(bad), E_INVALIDARG);
        EXPECT_EQ(engine.Fix(0), S_OK); // still 1.5
        EXPECT_EQ(bytes[0], 165);
    }
}

TEST(EngineFix, AnalysisAfterACorrectionDescribesTheCorrectedBytes)
{
    // Grey 50 is dark; brightened it reads as grey 107, which is normal.
    auto bytes = Grey(50, 100);
    CTonwell engine(bytes.data(), 10, 10, 30, 3);
    ExposureType type = ExposureNormal;
    ASSERT_EQ(engine.ClassifyExposureType(&type), S_OK);
    EXPECT_EQ(type, ExposureDark);
    ASSERT_EQ(engine.Fix(0), S_OK);
    ASSERT_EQ(bytes[0], 107);
    ASSERT_EQ(engine.ClassifyExposureType(&type), S_OK);
    EXPECT_EQ(type, ExposureNormal);
    EXPECT_EQ(Measure(engine).lCentroid, 106);
    EXPECT_EQ(engine.Fix(0), S_FALSE) << "nothing left to correct";

    // A stretch after the curve centres the corrected band (one bin, mid-point
    // 108, scale 1.0): 107 - 108 + 128.
    ASSERT_EQ(engine.AutoBalance(), S_OK);
    EXPECT_EQ(bytes[0], 127);
}

TEST(EngineFix, OneEngineAnswersAsAFreshEngineOverTheSameBytes)
{
    // Any sequence of corrections on one engine leaves the bytes and statistics
    // that a new engine for each step would give.
    std::mt19937 rng(4242);
    const DWORD modes[] = {0, 1, 2, 3};
    for (int round = 0; round < 60; ++round) {
        const DWORD width = std::uniform_int_distribution<DWORD>(1, 40)(rng);
        const DWORD height = std::uniform_int_distribution<DWORD>(1, 8)(rng);
        const int level = std::uniform_int_distribution<int>(0, 230)(rng);
        const int spread = std::uniform_int_distribution<int>(1, 120)(rng);
        std::vector<BYTE> once(static_cast<size_t>(width) * height * 3);
        for (BYTE& b : once)
            b = static_cast<BYTE>(std::min(255, level + static_cast<int>(rng() % spread)));
        std::vector<BYTE> fresh = once;
        const DWORD stride = width * 3;

        CTonwell engine(once.data(), width, height, stride, 3);
        ASSERT_EQ(engine.SetStrength(1.5), S_OK);
        for (int step = 0; step < 3; ++step) {
            const DWORD mode = modes[rng() % 4];
            CTonwell another(fresh.data(), width, height, stride, 3);
            ASSERT_EQ(another.SetStrength(1.5), S_OK);
            EXPECT_EQ(engine.Fix(mode), another.Fix(mode)) << "round " << round << " step " << step;
            EXPECT_EQ(once, fresh) << "round " << round << " step " << step << " mode " << mode;
            CTonwell observer(fresh.data(), width, height, stride, 3);
            const ExposureStatistics mine = Measure(engine);
            const ExposureStatistics theirs = Measure(observer);
            EXPECT_EQ(mine.lCentroid, theirs.lCentroid);
            EXPECT_EQ(mine.lMidPoint, theirs.lMidPoint);
            EXPECT_EQ(mine.dScale, theirs.dScale);
            EXPECT_EQ(mine.type, theirs.type);
        }
    }
}
