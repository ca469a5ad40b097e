// CTonwellRows against CTonwell: the same decision and the same bytes as Fix(0)
// over the whole buffer, however the image is cut into bands.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "Tonwell.h"

namespace {

struct Scene {
    const char* name;
    int base, spread; // values base .. base + spread, with noise
};

// Padded rows of an image whose values follow a scene, with noise.
std::vector<BYTE> MakeScene(const Scene& scene, DWORD width, DWORD height, DWORD stride, DWORD bpp, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<BYTE> bytes(size_t(stride) * height);
    for (auto& b : bytes)
        b = BYTE(rng()); // padding and fourth bytes hold whatever
    for (DWORD y = 0; y < height; ++y) {
        for (DWORD x = 0; x < width; ++x) {
            const double t = (double(x) / width + double(y) / height) / 2;
            for (DWORD c = 0; c < 3; ++c) {
                const int v = scene.base + int(scene.spread * t * t) + int(rng() % 9) - 4 + int(c) * 2;
                bytes[size_t(y) * stride + x * bpp + c] = BYTE(v < 0 ? 0 : v > 255 ? 255 : v);
            }
        }
    }
    return bytes;
}

const Scene kScenes[] = {
    {"dark", 0, 150}, {"bright", 210, 45}, {"flat", 100, 50}, {"normal", 0, 250}, {"black", 0, 0},
};

TEST(EngineRows, BandsGiveTheBytesOfFixOverTheWholeBuffer)
{
    const DWORD width = 97, height = 61;
    for (DWORD bpp : {3u, 4u}) {
        const DWORD stride = width * bpp + 5;
        for (const Scene& scene : kScenes) {
            for (double strength : {1.0, 1.5, 0.2}) {
                SCOPED_TRACE(std::string(scene.name) + " bpp " + std::to_string(bpp) + " strength " +
                             std::to_string(strength));
                const std::vector<BYTE> original = MakeScene(scene, width, height, stride, bpp, 7);
                std::vector<BYTE> whole = original;
                CTonwell engine(whole.data(), width, height, stride, bpp);
                ASSERT_EQ(engine.SetStrength(strength), S_OK);
                ExposureDecision expected{};
                ASSERT_EQ(engine.Decide(&expected), S_OK);
                const HRESULT hrFix = engine.Fix(0);

                for (DWORD band : {1u, 2u, 16u, 60u, 61u, 1000u}) {
                    SCOPED_TRACE("band " + std::to_string(band));
                    std::vector<BYTE> rows = original;
                    CTonwellRows stream(width, bpp);
                    ASSERT_EQ(stream.SetStrength(strength), S_OK);
                    for (DWORD y = 0; y < height; y += band)
                        ASSERT_EQ(stream.AddRows(rows.data() + size_t(y) * stride, std::min(band, height - y), stride),
                                  S_OK);
                    ExposureDecision decision{};
                    ASSERT_EQ(stream.Decide(&decision), S_OK);
                    EXPECT_EQ(0, std::memcmp(&decision, &expected, sizeof decision));
                    for (DWORD y = 0; y < height; y += band)
                        ASSERT_EQ(stream.ApplyRows(rows.data() + size_t(y) * stride, std::min(band, height - y), stride),
                                  hrFix);
                    ASSERT_EQ(rows, whole);
                }
            }
        }
    }
}

TEST(EngineRows, RefusesWhatItCannotDoAndKeepsItsOrder)
{
    std::vector<BYTE> band(3 * 8 * 4, 40);
    CTonwellRows bad(8, 2);
    ExposureDecision d{};
    EXPECT_EQ(bad.AddRows(band.data(), 4, 24), E_INVALIDARG);
    EXPECT_EQ(bad.Decide(&d), E_INVALIDARG);
    EXPECT_EQ(CTonwellRows(0, 3).Decide(&d), E_INVALIDARG);

    CTonwellRows rows(8, 3);
    EXPECT_EQ(rows.SetStrength(0.0), E_INVALIDARG);
    EXPECT_EQ(rows.SetStrength(std::nan("")), E_INVALIDARG);
    EXPECT_EQ(rows.AddRows(nullptr, 4, 24), E_INVALIDARG);
    EXPECT_EQ(rows.AddRows(band.data(), 4, 23), E_INVALIDARG) << "rows that overlap";
    EXPECT_EQ(rows.AddRows(band.data(), 4, 0xFFFFFFE8u), E_INVALIDARG) << "a band that walks upwards";
    EXPECT_EQ(rows.AddRows(band.data(), 3, 0x40000000u), E_INVALIDARG) << "beyond 2 GiB";
    EXPECT_EQ(rows.ApplyRows(band.data(), 4, 24), E_UNEXPECTED) << "nothing is decided yet";
    EXPECT_EQ(rows.AddRows(band.data(), 0, 0), S_OK);
    EXPECT_EQ(rows.AddRows(band.data(), 4, 24), S_OK);
    EXPECT_EQ(rows.Decide(nullptr), E_POINTER);
    ASSERT_EQ(rows.Decide(&d), S_OK);
    EXPECT_EQ(d.correction, CorrectionBrighten);
    EXPECT_EQ(rows.AddRows(band.data(), 4, 24), E_UNEXPECTED) << "the decision is taken";
    ExposureDecision again{};
    ASSERT_EQ(rows.Decide(&again), S_OK);
    EXPECT_EQ(0, std::memcmp(&d, &again, sizeof d));
    ASSERT_EQ(rows.ApplyRows(band.data(), 4, 24), S_OK);
    EXPECT_EQ(band[0], 89); // grey 40 through the brightening curve

    // Nothing to do: S_FALSE and no byte touched.
    std::vector<BYTE> normal(3 * 256);
    for (int v = 0; v < 256; ++v)
        normal[3 * v] = normal[3 * v + 1] = normal[3 * v + 2] = BYTE(v);
    const std::vector<BYTE> before = normal;
    CTonwellRows none(256, 3);
    ASSERT_EQ(none.AddRows(normal.data(), 1, 768), S_OK);
    ASSERT_EQ(none.Decide(&d), S_OK);
    EXPECT_EQ(d.correction, CorrectionNone);
    EXPECT_EQ(none.ApplyRows(normal.data(), 1, 768), S_FALSE);
    EXPECT_EQ(normal, before);
}

} // namespace
