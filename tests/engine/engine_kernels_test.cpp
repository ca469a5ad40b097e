// Every fast pass against the plain per-pixel walk, on random images of random
// sizes, strides and pixel sizes.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <random>
#include <vector>

#include "Tonwell.h"
#include "TonwellKernels.h"

using tonwell::kernels::Impl;
using tonwell::kernels::PixelBuffer;

namespace {

// A buffer that holds every byte a layout addresses, with guard bytes around it.
struct Layout {
    std::vector<BYTE> bytes;
    size_t origin; // index of the image's first byte
    DWORD width, height, stride, bpp;

    PixelBuffer At(std::vector<BYTE>& data) const { return {data.data() + origin, width, height, stride, bpp}; }
};

Layout RandomLayout(std::mt19937& rng)
{
    Layout l{};
    l.bpp = std::uniform_int_distribution<int>(0, 1)(rng) ? 4 : 3;
    l.width = std::uniform_int_distribution<DWORD>(0, 90)(rng);
    l.height = std::uniform_int_distribution<DWORD>(0, 12)(rng);
    const int32_t row = static_cast<int32_t>(l.width * l.bpp);
    int32_t stride = row;
    switch (std::uniform_int_distribution<int>(0, 5)(rng)) {
    case 0: break;                                                          // packed
    case 1: stride = row + std::uniform_int_distribution<int>(1, 9)(rng); break;   // padded
    case 2: stride = (row + 3) & ~3; break;                                 // 4-byte rows
    case 3: stride = -(row + std::uniform_int_distribution<int>(0, 5)(rng)); break; // bottom-up
    case 4: stride = std::uniform_int_distribution<int>(0, std::max(row, 1))(rng); break; // overlapping
    case 5: stride = -std::uniform_int_distribution<int>(0, std::max(row, 1))(rng); break;
    }
    l.stride = static_cast<DWORD>(stride);
    int64_t lo = 0, hi = 0;
    for (DWORD y = 0; y < l.height; ++y) {
        const int64_t start = static_cast<int64_t>(y) * stride;
        lo = std::min(lo, start);
        hi = std::max(hi, start + row);
    }
    const size_t guard = 16;
    l.origin = guard + static_cast<size_t>(-lo);
    l.bytes.resize(l.origin + static_cast<size_t>(hi) + guard);
    for (BYTE& b : l.bytes)
        b = static_cast<BYTE>(rng());
    return l;
}

std::vector<Impl> FastImpls()
{
    std::vector<Impl> impls{Impl::Portable, Impl::Best};
    if (tonwell::kernels::ImplSupported(Impl::Avx2))
        impls.push_back(Impl::Avx2);
    return impls;
}

} // namespace

TEST(EngineKernels, FastPassesMatchThePlainWalk)
{
    std::mt19937 rng(20240517);
    for (int round = 0; round < 400; ++round) {
        Layout l = RandomLayout(rng);
        std::array<BYTE, 256> table;
        for (BYTE& b : table)
            b = static_cast<BYTE>(rng());

        std::array<ULONGLONG, 256> expected{};
        std::vector<BYTE> plain = l.bytes;
        tonwell::kernels::Histogram(l.At(plain), expected.data(), Impl::Scalar);

        for (Impl impl : FastImpls()) {
            SCOPED_TRACE(testing::Message() << "round " << round << " " << tonwell::kernels::ImplName(impl) << " "
                                            << l.width << "x" << l.height << " stride "
                                            << static_cast<int32_t>(l.stride) << " bpp " << l.bpp);
            std::array<ULONGLONG, 256> got{};
            std::vector<BYTE> fast = l.bytes;
            tonwell::kernels::Histogram(l.At(fast), got.data(), impl);
            EXPECT_EQ(got, expected);

            for (DWORD mapped : {DWORD(3), l.bpp}) {
                std::vector<BYTE> want = l.bytes;
                std::vector<BYTE> have = l.bytes;
                tonwell::kernels::MapBytes(l.At(want), table.data(), mapped, Impl::Scalar);
                tonwell::kernels::MapBytes(l.At(have), table.data(), mapped, impl);
                EXPECT_EQ(have, want) << "bytes mapped " << mapped;
            }
        }
    }
}

TEST(EngineKernels, TablesMatchPerByteArithmetic)
{
    std::mt19937 rng(7);
    for (int round = 0; round < 200; ++round) {
        const LONG mid = std::uniform_int_distribution<LONG>(0, 250)(rng);
        const LONG span = std::uniform_int_distribution<LONG>(0, 250)(rng);
        const double scale = span > 0 ? 255.0 / span : 1.0;
        Layout l = RandomLayout(rng);
        std::vector<BYTE> perByte = l.bytes;
        std::vector<BYTE> viaTable = l.bytes;
        tonwell::kernels::AutoBalanceScalar(l.At(perByte), mid, scale);
        BYTE table[256];
        tonwell::kernels::BuildBalanceTable(mid, scale, table);
        tonwell::kernels::MapBytes(l.At(viaTable), table, l.bpp);
        EXPECT_EQ(viaTable, perByte) << "mid " << mid << " span " << span;
    }
}

TEST(EngineKernels, EngineGivesTheSameBytesOnEveryPath)
{
    // Whole Fix runs: the engine (fast passes) against the walk done by hand.
    std::mt19937 rng(99);
    for (int round = 0; round < 100; ++round) {
        Layout l = RandomLayout(rng);
        // Squeeze the values so that every class shows up now and then.
        const int lo = std::uniform_int_distribution<int>(0, 200)(rng);
        const int span = std::uniform_int_distribution<int>(1, 255 - lo)(rng);
        for (BYTE& b : l.bytes)
            b = static_cast<BYTE>(lo + b % span);
        std::vector<BYTE> viaEngine = l.bytes;
        std::vector<BYTE> viaWalk = l.bytes;
        const PixelBuffer engineBuffer = l.At(viaEngine);
        CTonwell engine(engineBuffer.pImage, l.width, l.height, l.stride, l.bpp);
        ExposureStatistics s{};
        ASSERT_EQ(engine.GetStatistics(&s), S_OK);
        const HRESULT hr = engine.Fix(0);

        BYTE table[256];
        if (s.type == ExposureLowContrast) {
            tonwell::kernels::AutoBalanceScalar(l.At(viaWalk), s.lMidPoint, s.dScale);
            EXPECT_EQ(hr, S_OK);
        } else if (s.type != ExposureNormal) {
            tonwell::kernels::BuildGammaTable(s.type, 2.5, table);
            tonwell::kernels::MapBytes(l.At(viaWalk), table, 3, Impl::Scalar);
            EXPECT_EQ(hr, S_OK);
        } else {
            EXPECT_EQ(hr, S_FALSE);
        }
        EXPECT_EQ(viaEngine, viaWalk) << "round " << round << " type " << s.type;
    }
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
