// Every fast pass against the plain per-pixel walk: widths around every block
// boundary of the row kernels, every stride form, both pixel sizes, counts
// beyond what a sub-histogram holds, and the path the engine picks.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <random>
#include <set>
#include <vector>

#include "Tonwell.h"
#include "TonwellKernels.h"

using tonwell::kernels::Impl;
using tonwell::kernels::PixelBuffer;

namespace {

enum class Stride {
    Packed,           // rows back to back
    Padded,           // 1 to 9 bytes after each row, so rows start unaligned
    BottomUp,         // negative, rows padded
    Zero,             // every row is the first one
    Overlapping,      // below the row length: rows share bytes
    BottomUpOverlap,  // negative and below the row length
};
constexpr Stride kStrides[] = {Stride::Packed, Stride::Padded, Stride::BottomUp, Stride::Zero, Stride::Overlapping,
                               Stride::BottomUpOverlap};

// A buffer that holds every byte a layout addresses, with guard bytes around it.
struct Layout {
    std::vector<BYTE> bytes;
    size_t origin; // index of the image's first byte
    DWORD width, height, stride, bpp;

    PixelBuffer At(std::vector<BYTE>& data) const { return {data.data() + origin, width, height, stride, bpp}; }
    std::string Describe() const
    {
        return std::to_string(width) + "x" + std::to_string(height) + " stride " +
               std::to_string(static_cast<int32_t>(stride)) + " bpp " + std::to_string(bpp);
    }
};

Layout MakeLayout(DWORD width, DWORD height, Stride form, DWORD bpp, std::mt19937& rng)
{
    Layout l{};
    l.width = width;
    l.height = height;
    l.bpp = bpp;
    const int32_t row = static_cast<int32_t>(width * bpp);
    const auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    int32_t stride = row;
    switch (form) {
    case Stride::Packed: break;
    case Stride::Padded: stride = row + pick(1, 9); break;
    case Stride::BottomUp: stride = -(row + pick(0, 5)); break;
    case Stride::Zero: stride = 0; break;
    case Stride::Overlapping: stride = pick(1, std::max(row - 1, 1)); break;
    case Stride::BottomUpOverlap: stride = -pick(1, std::max(row - 1, 1)); break;
    }
    l.stride = static_cast<DWORD>(stride);
    int64_t lo = 0, hi = 0;
    for (DWORD y = 0; y < height; ++y) {
        const int64_t start = static_cast<int64_t>(y) * stride;
        lo = std::min(lo, start);
        hi = std::max(hi, start + row);
    }
    const size_t guard = 16;
    l.origin = guard + static_cast<size_t>(-lo);
    l.bytes.resize(l.origin + static_cast<size_t>(hi) + guard);
    for (size_t i = 0; i < l.bytes.size(); i += 4) {
        const uint32_t v = rng();
        std::memcpy(&l.bytes[i], &v, std::min<size_t>(4, l.bytes.size() - i));
    }
    return l;
}

Layout RandomLayout(std::mt19937& rng, DWORD maxWidth, DWORD maxHeight)
{
    const DWORD width = std::uniform_int_distribution<DWORD>(0, maxWidth)(rng);
    const DWORD height = std::uniform_int_distribution<DWORD>(0, maxHeight)(rng);
    const Stride form = kStrides[std::uniform_int_distribution<int>(0, 5)(rng)];
    return MakeLayout(width, height, form, std::uniform_int_distribution<int>(0, 1)(rng) ? 4 : 3, rng);
}

// Every width up to 130 (row lengths at every remainder of the 64- and 128-byte
// steps of the AVX-512 table pass), and the widths on and beside each boundary of
// the row kernels: 4-pixel groups, 32-pixel vectors, 64-pixel luminance steps
// and 512-pixel blocks, up to past 2,000 pixels.
std::vector<DWORD> BoundaryWidths()
{
    std::set<DWORD> widths;
    for (DWORD w = 0; w <= 130; ++w)
        widths.insert(w);
    for (DWORD k = 1; 32 * k <= 2112; ++k)
        widths.insert({32 * k - 1, 32 * k, 32 * k + 1});
    for (DWORD m = 1; m <= 4; ++m)
        for (int d : {-33, -32, -31, -4, -3, -2, 2, 3, 4, 31, 32, 33})
            widths.insert(static_cast<DWORD>(512 * static_cast<int>(m) + d));
    widths.insert({2100, 2222});
    return {widths.begin(), widths.end()};
}

std::vector<Impl> FastImpls()
{
    std::vector<Impl> impls{Impl::Portable};
    for (Impl wide : {Impl::Avx2, Impl::Avx512}) {
        if (tonwell::kernels::ImplSupported(wide))
            impls.push_back(wide);
    }
    return impls;
}

// Both passes of impl on a copy of the layout against the plain walk.
void ExpectSameAsWalk(const Layout& l, const std::array<BYTE, 256>& table, Impl impl)
{
    std::array<ULONGLONG, 256> expected{}, got{};
    std::vector<BYTE> plain = l.bytes;
    std::vector<BYTE> fast = l.bytes;
    tonwell::kernels::Histogram(l.At(plain), expected.data(), Impl::Scalar);
    EXPECT_EQ(tonwell::kernels::Histogram(l.At(fast), got.data(), impl), impl);
    EXPECT_EQ(got, expected) << "histogram";

    for (DWORD mapped : {DWORD(3), l.bpp}) {
        std::vector<BYTE> want = l.bytes;
        std::vector<BYTE> have = l.bytes;
        tonwell::kernels::MapBytes(l.At(want), table.data(), mapped, Impl::Scalar);
        tonwell::kernels::MapBytes(l.At(have), table.data(), mapped, impl);
        EXPECT_EQ(have, want) << "bytes mapped " << mapped;
    }
}

std::array<BYTE, 256> RandomTable(std::mt19937& rng)
{
    std::array<BYTE, 256> table;
    for (BYTE& b : table)
        b = static_cast<BYTE>(rng());
    return table;
}

} // namespace

TEST(EngineKernels, EveryWidthAroundTheBlockBoundariesMatchesTheWalk)
{
    std::mt19937 rng(20240517);
    const std::vector<DWORD> widths = BoundaryWidths();
    ASSERT_GT(widths.back(), 2000u);
    for (DWORD width : widths) {
        for (Stride form : kStrides) {
            for (DWORD bpp : {DWORD(3), DWORD(4)}) {
                const DWORD height = std::uniform_int_distribution<DWORD>(1, 3)(rng);
                const Layout l = MakeLayout(width, height, form, bpp, rng);
                const std::array<BYTE, 256> table = RandomTable(rng);
                for (Impl impl : FastImpls()) {
                    SCOPED_TRACE(testing::Message() << tonwell::kernels::ImplName(impl) << " " << l.Describe());
                    ExpectSameAsWalk(l, table, impl);
                }
                if (HasFailure())
                    return; // one layout's report says enough
            }
        }
    }
}

TEST(EngineKernels, RandomLayoutsMatchTheWalk)
{
    std::mt19937 rng(7331);
    for (int round = 0; round < 300; ++round) {
        const Layout l = RandomLayout(rng, 1200, 12);
        const std::array<BYTE, 256> table = RandomTable(rng);
        for (Impl impl : FastImpls()) {
            SCOPED_TRACE(testing::Message() << "round " << round << " " << tonwell::kernels::ImplName(impl) << " "
                                            << l.Describe());
            ExpectSameAsWalk(l, table, impl);
        }
    }
}

// These images put far more than 65,535 pixels into one bin of one sub-histogram,
// through the vector blocks, the 4-pixel groups and the single-pixel tail, and
// through rows wider than a piece of the row walk. The narrow build of this test
// counts in 16 bits, where only the folds into the histogram keep them right.
TEST(EngineKernels, CountsBeyondWhatASubHistogramHolds)
{
    const struct {
        DWORD width, height, bpp;
    } shapes[] = {
        {2048, 160, 3},  // 81,920 per sub-histogram, all in 512-pixel blocks
        {2048, 160, 4},
        {1, 70000, 3},   // the single-pixel tail: every pixel in the first sub-histogram
        {3, 40000, 4},
        {70000, 4, 3},   // rows wider than the fold limit
        {4099, 70, 3},   // blocks, a 4-pixel group and a tail in every row
    };
    for (const auto& s : shapes) {
        // Every row is the same row (stride 0): grey 77 but for one red pixel in
        // four, so two bins fill up at different rates.
        std::vector<BYTE> row(static_cast<size_t>(s.width) * s.bpp, 77);
        for (DWORD x = 0; x < s.width; x += 4) {
            BYTE* p = &row[static_cast<size_t>(x) * s.bpp];
            std::fill_n(p, 3, 0);
            p[s.bpp == 3 ? 0 : 2] = 255;
        }
        const PixelBuffer buffer{row.data(), s.width, s.height, 0, s.bpp};
        const ULONGLONG red = static_cast<ULONGLONG>((s.width + 3) / 4) * s.height;
        const ULONGLONG grey = static_cast<ULONGLONG>(s.width) * s.height - red;
        for (Impl impl : {Impl::Scalar, Impl::Portable, Impl::Avx2, Impl::Avx512, Impl::Best}) {
            SCOPED_TRACE(testing::Message() << tonwell::kernels::ImplName(impl) << " " << s.width << "x" << s.height
                                            << " bpp " << s.bpp);
            std::array<ULONGLONG, 256> histogram{};
            tonwell::kernels::Histogram(buffer, histogram.data(), impl);
            EXPECT_EQ(histogram[75], red);
            EXPECT_EQ(histogram[77], grey);
            EXPECT_EQ(std::accumulate(histogram.begin(), histogram.end(), ULONGLONG(0)), red + grey);
        }
    }
}

TEST(EngineKernels, BestRunsThePathTheEnvironmentAsksFor)
{
    // TONWELL_ENGINE_PORTABLE=1 is how CTest's second run of this suite keeps the
    // engine off the wide kernels; without it, the engine must take the widest the
    // processor has.
    const char* value = std::getenv("TONWELL_ENGINE_PORTABLE");
    const bool forced = value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0;
    Impl expected = Impl::Portable;
    if (!forced && tonwell::kernels::ImplSupported(Impl::Avx512))
        expected = Impl::Avx512;
    else if (!forced && tonwell::kernels::ImplSupported(Impl::Avx2))
        expected = Impl::Avx2;

    std::vector<BYTE> pixels(3 * 600, 90);
    const PixelBuffer buffer{pixels.data(), 600, 1, 1800, 3};
    std::array<ULONGLONG, 256> histogram{};
    BYTE table[256];
    for (int i = 0; i < 256; ++i)
        table[i] = static_cast<BYTE>(255 - i);
    ASSERT_EQ(tonwell::kernels::Histogram(buffer, histogram.data()), expected);
    ASSERT_EQ(tonwell::kernels::MapBytes(buffer, table, 3), expected);
    ASSERT_STREQ(tonwell::kernels::ImplName(Impl::Best), tonwell::kernels::ImplName(expected));
    EXPECT_EQ(histogram[90], 600u);
    EXPECT_EQ(pixels[1799], 165);
    // Read by the CTest registration that sets the variable, so that a variable
    // that never reaches the process fails there too.
    std::printf("engine path: %s\n", tonwell::kernels::ImplName(expected));
}

TEST(EngineKernels, TablesMatchPerByteArithmetic)
{
    std::mt19937 rng(7);
    for (int round = 0; round < 200; ++round) {
        const LONG mid = std::uniform_int_distribution<LONG>(0, 250)(rng);
        const LONG span = std::uniform_int_distribution<LONG>(0, 250)(rng);
        const double scale = span > 0 ? 255.0 / span : 1.0;
        Layout l = RandomLayout(rng, 90, 12);
        std::vector<BYTE> perByte = l.bytes;
        std::vector<BYTE> viaTable = l.bytes;
        tonwell::kernels::AutoBalanceScalar(l.At(perByte), mid, scale);
        BYTE table[256];
        tonwell::kernels::BuildBalanceTable(mid, scale, table);
        tonwell::kernels::MapBytes(l.At(viaTable), table, l.bpp);
        EXPECT_EQ(viaTable, perByte) << "mid " << mid << " span " << span;
    }
}

TEST(EngineKernels, FixDoesWhatTheDecisionSaysOnEveryPath)
{
    // Whole Fix runs on photo-sized rows: the engine (fast passes) against the
    // decided correction done by hand with the plain walk.
    std::mt19937 rng(99);
    const double strengths[] = {1.0, 1.04, 1.05, 1.5, 3.0};
    std::set<int> corrections;
    for (int round = 0; round < 120; ++round) {
        Layout l = RandomLayout(rng, round % 4 == 0 ? 2100 : 300, 6);
        // Squeeze the values so that every class shows up now and then.
        const int lo = std::uniform_int_distribution<int>(0, 200)(rng);
        const int span = std::uniform_int_distribution<int>(1, 255 - lo)(rng);
        for (BYTE& b : l.bytes)
            b = static_cast<BYTE>(lo + b % span);
        std::vector<BYTE> viaEngine = l.bytes;
        std::vector<BYTE> viaWalk = l.bytes;
        const PixelBuffer engineBuffer = l.At(viaEngine);
        CTonwell engine(engineBuffer.pImage, l.width, l.height, l.stride, l.bpp);
        ASSERT_EQ(engine.SetStrength(strengths[round % 5]), S_OK);
        ExposureDecision d{};
        ASSERT_EQ(engine.Decide(&d), S_OK);
        EXPECT_EQ(viaEngine, l.bytes) << "deciding changes nothing";
        const HRESULT hr = engine.Fix(0);
        corrections.insert(d.correction);

        BYTE table[256];
        switch (d.correction) {
        case CorrectionStretch:
            tonwell::kernels::AutoBalanceScalar(l.At(viaWalk), d.stats.lMidPoint, d.stats.dScale);
            break;
        case CorrectionBrighten:
        case CorrectionDarken:
        case CorrectionStrengthCurve:
            tonwell::kernels::BuildGammaTable(d.correction == CorrectionDarken ? 3 : 2, d.dExponent, table);
            tonwell::kernels::MapBytes(l.At(viaWalk), table, 3, Impl::Scalar);
            break;
        case CorrectionNone:
            break;
        }
        EXPECT_EQ(hr, d.correction == CorrectionNone ? S_FALSE : S_OK) << "round " << round;
        EXPECT_EQ(viaEngine, viaWalk) << "round " << round << " correction " << d.correction << " " << l.Describe();
    }
    EXPECT_EQ(corrections.size(), 5u) << "every correction should have turned up";
}

TEST(EngineKernels, RowsThatWrapTheSignedWindowFollowTheWalk)
{
    // Row 1 starts just below +2 GiB, so its pixels cross into the negative half of
    // the 32-bit window and land 2 GiB below the first row. Only the touched pages
    // of the reservation are ever backed.
    const size_t reserve = size_t(1) << 33;
    void* p = mmap(nullptr, reserve, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED)
        GTEST_SKIP() << "cannot reserve 8 GiB of address space";
    BYTE* base = static_cast<BYTE*>(p) + (size_t(1) << 32);
    const DWORD width = 40, height = 3, bpp = 3;
    const DWORD stride = 0x7FFFFFF0u; // row 1 at +0x7FFFFFF0, row 2 wraps to -0x20
    std::mt19937 rng(3);
    // The 160-byte windows that hold every byte of the three rows.
    const int64_t windows[4] = {0, 0x7FFFFFF0, -int64_t(0x80000000), -0x20};
    for (int64_t w : windows)
        for (int i = 0; i < 160; ++i)
            base[w + i] = static_cast<BYTE>(rng());
    auto snapshot = [&] {
        std::vector<BYTE> s;
        for (int64_t w : windows)
            s.insert(s.end(), base + w, base + w + 160);
        return s;
    };
    const std::vector<BYTE> original = snapshot();
    const PixelBuffer buffer{base, width, height, stride, bpp};
    std::array<ULONGLONG, 256> plain{}, fast{};
    tonwell::kernels::Histogram(buffer, plain.data(), Impl::Scalar);
    tonwell::kernels::Histogram(buffer, fast.data(), Impl::Best);
    EXPECT_EQ(fast, plain);
    ULONGLONG total = 0;
    for (ULONGLONG c : plain)
        total += c;
    EXPECT_EQ(total, width * height);

    BYTE table[256];
    for (int i = 0; i < 256; ++i)
        table[i] = static_cast<BYTE>(i * 7 + 1);
    tonwell::kernels::MapBytes(buffer, table, 3, Impl::Scalar);
    const std::vector<BYTE> walked = snapshot();
    EXPECT_NE(walked, original);
    // Start over and take the fast path.
    for (int k = 0; k < 4; ++k)
        std::memcpy(base + windows[k], original.data() + 160 * k, 160);
    tonwell::kernels::MapBytes(buffer, table, 3, Impl::Best);
    EXPECT_EQ(snapshot(), walked);
    munmap(p, reserve);
}
