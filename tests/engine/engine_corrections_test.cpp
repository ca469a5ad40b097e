// The tone curve and the linear stretch.
#include <gtest/gtest.h>

#include <initializer_list>
#include <utility>
#include <vector>

#include "Tonwell.h"
#include "test_images.h"

using tonwell::test::Grey;
using tonwell::test::GreyPixels;
using tonwell::test::Measure;

namespace {

// One 3-byte pixel per byte value, all three bytes equal.
std::vector<BYTE> Ramp()
{
    std::vector<BYTE> bytes;
    for (int v = 0; v < 256; ++v)
        bytes.insert(bytes.end(), 3, static_cast<BYTE>(v));
    return bytes;
}

// What the engine's curve turns each byte value into.
std::vector<BYTE> CurveOf(ExposureType type, double dStrength = 1.0)
{
    std::vector<BYTE> bytes = Ramp();
    CTonwell engine(bytes.data(), 256, 1, 768, 3);
    EXPECT_EQ(engine.SetStrength(dStrength), S_OK);
    EXPECT_EQ(engine.TonwellWithGammaCurve(type), S_OK);
    std::vector<BYTE> curve(256);
    for (int v = 0; v < 256; ++v) {
        curve[v] = bytes[3 * v];
        EXPECT_EQ(bytes[3 * v + 1], curve[v]);
        EXPECT_EQ(bytes[3 * v + 2], curve[v]);
    }
    return curve;
}

// Expects the curve to turn each byte value of `points` into the value paired with it.
void ExpectPoints(const std::vector<BYTE>& curve, std::initializer_list<std::pair<int, int>> points)
{
    for (const auto& [value, becomes] : points)
        EXPECT_EQ(curve[value], becomes) << "byte value " << value;
}

} // namespace

TEST(EngineGammaCurve, DarkeningTable)
{
    const std::vector<BYTE> curve = CurveOf(ExposureBright);
    for (int v = 0; v <= 21; ++v)
        EXPECT_EQ(curve[v], 0) << v;
    ExpectPoints(curve, {{22, 1}, {64, 8}, {100, 24}, {128, 45}, {192, 125}, {250, 241}, {255, 254}});
}

TEST(EngineGammaCurve, BrighteningTableForEveryTypeButNormalAndBright)
{
    const std::vector<BYTE> curve = CurveOf(ExposureDark);
    ExpectPoints(curve, {{0, 0}, {1, 2}, {16, 38}, {64, 131}, {100, 182}, {128, 211}, {192, 248}, {223, 254}});
    for (int v = 224; v < 256; ++v)
        EXPECT_EQ(curve[v], 255) << v;
    EXPECT_EQ(CurveOf(ExposureLowContrast), curve);
    EXPECT_EQ(CurveOf(static_cast<ExposureType>(7)), curve);
}

TEST(EngineGammaCurve, StrengthCurveStartsAt105)
{
    EXPECT_EQ(CurveOf(ExposureNormal, 1.5)[128], 165);
    EXPECT_EQ(CurveOf(ExposureNormal, 1.5)[0], 0);
    EXPECT_EQ(CurveOf(ExposureNormal, 1.1)[128], 137);
    EXPECT_EQ(CurveOf(ExposureNormal, 1.05)[128], 132);

    for (double weak : {1.0, 1.0499999999999998}) {
        std::vector<BYTE> bytes = Ramp();
        CTonwell engine(bytes.data(), 256, 1, 768, 3);
        ASSERT_EQ(engine.SetStrength(weak), S_OK);
        EXPECT_EQ(engine.TonwellWithGammaCurve(ExposureNormal), S_FALSE);
        EXPECT_EQ(bytes, Ramp());
    }
}

TEST(EngineGammaCurve, FourthByteIsLeftAlone)
{
    std::vector<BYTE> bgrx;
    for (int i = 0; i < 20; ++i)
        bgrx.insert(bgrx.end(), {128, 64, 0, static_cast<BYTE>(i)});
    CTonwell engine(bgrx.data(), 20, 1, 80, 4);
    ASSERT_EQ(engine.TonwellWithGammaCurve(ExposureDark), S_OK);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(bgrx[4 * i], 211);
        EXPECT_EQ(bgrx[4 * i + 1], 131);
        EXPECT_EQ(bgrx[4 * i + 2], 0);
        EXPECT_EQ(bgrx[4 * i + 3], i);
    }
}

TEST(EngineAutoBalance, StretchesAboutTheMidPoint)
{
    // Low edge 101, high edge 151, mid-point 126, scale 5.1 (a single pixel of 126
    // moves no percentile).
    auto bytes = GreyPixels({{100, 50}, {150, 50}, {126, 1}});
    bytes.insert(bytes.end(), {126, 126, 126}); // in a 102nd pixel the engine does not see
    CTonwell engine(bytes.data(), 101, 1, 303, 3);
    const ExposureStatistics s = Measure(engine);
    ASSERT_EQ(s.lMidPoint, 126);
    ASSERT_EQ(s.dScale, 255.0 / 50);
    ASSERT_EQ(engine.AutoBalance(), S_OK);
    EXPECT_EQ(bytes[0], 0);      // x = -4.6
    EXPECT_EQ(bytes[299], 250);  // x = 250.4
    EXPECT_EQ(bytes[300], 128);  // x = 128
    EXPECT_EQ(bytes[303], 126);  // outside the image

    // A one-bin band: scale 1.0 about mid-point 129.
    auto grey = Grey(128, 100);
    CTonwell greyEngine(grey.data(), 10, 10, 30, 3);
    ASSERT_EQ(greyEngine.AutoBalance(), S_OK);
    EXPECT_EQ(grey[0], 127);

    auto black = Grey(0, 100);
    CTonwell blackEngine(black.data(), 10, 10, 30, 3);
    ASSERT_EQ(blackEngine.Fix(0), S_OK);
    EXPECT_EQ(black[0], 128);
}

TEST(EngineAutoBalance, MapsTheFourthByteInDoubleArithmetic)
{
    // Luminances 30 and 231: low edge 31, high edge 232, so high - low = 201 and
    // the mid-point is 131. The fourth byte (not analysed) holds 64: 64 - 131 = -67,
    // and 255/201 x -67 + 128 = 42.999999999999986, which truncates to 42.
    std::vector<BYTE> bgrx;
    for (int i = 0; i < 50; ++i)
        bgrx.insert(bgrx.end(), {30, 30, 30, 64});
    for (int i = 0; i < 50; ++i)
        bgrx.insert(bgrx.end(), {231, 231, 231, 255});
    CTonwell engine(bgrx.data(), 100, 1, 400, 4);
    const ExposureStatistics s = Measure(engine);
    ASSERT_EQ(s.lLowEdge, 31);
    ASSERT_EQ(s.lHighEdge, 232);
    ASSERT_EQ(s.lMidPoint, 131);
    ASSERT_EQ(s.type, ExposureNormal);

    ASSERT_EQ(engine.Fix(1), S_OK);
    EXPECT_EQ(bgrx[0], 0);     // x = -0.13
    EXPECT_EQ(bgrx[3], 42);
    EXPECT_EQ(bgrx[396], 254); // x = 254.87
    EXPECT_EQ(bgrx[399], 255);
}

TEST(EngineWalk, NegativeStrideWalksRowsUpwards)
{
    // Three rows of four pixels with two bytes of padding, stored bottom-up: the
    // engine gets the last row and a negative stride.
    const DWORD width = 4, height = 3, stride = 14;
    std::vector<BYTE> topDown(stride * height, 0xEE);
    const BYTE rows[3] = {40, 50, 60};
    for (DWORD y = 0; y < height; ++y)
        for (DWORD i = 0; i < width * 3; ++i)
            topDown[y * stride + i] = static_cast<BYTE>(rows[y] + i);
    std::vector<BYTE> bottomUp(topDown.size());
    for (DWORD y = 0; y < height; ++y)
        std::copy_n(&topDown[y * stride], stride, &bottomUp[(height - 1 - y) * stride]);

    CTonwell down(topDown.data(), width, height, stride, 3);
    CTonwell up(bottomUp.data() + (height - 1) * stride, width, height, static_cast<DWORD>(-int32_t(stride)), 3);
    const ExposureStatistics sDown = Measure(down);
    const ExposureStatistics sUp = Measure(up);
    EXPECT_EQ(sUp.lCentroid, sDown.lCentroid);
    EXPECT_EQ(sUp.lMidPoint, sDown.lMidPoint);
    EXPECT_EQ(sUp.type, sDown.type);
    EXPECT_EQ(sDown.type, ExposureLowContrast);

    ASSERT_EQ(down.Fix(0), S_OK);
    ASSERT_EQ(up.Fix(0), S_OK);
    for (DWORD y = 0; y < height; ++y) {
        for (DWORD i = 0; i < stride; ++i)
            EXPECT_EQ(bottomUp[(height - 1 - y) * stride + i], topDown[y * stride + i]) << y << "," << i;
        EXPECT_EQ(topDown[y * stride + 12], 0xEE); // padding untouched
        EXPECT_NE(topDown[y * stride], rows[y]);
    }
}
