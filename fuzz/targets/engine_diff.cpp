// The engine's fast passes against the plain per-pixel walk on layouts the input
// chooses: width, height, stride (padded, zero, overlapping, bottom-up), pixel size and
// the mapping table come from the first bytes, the pixels from the rest. The buffer
// holds exactly the bytes the layout addresses, so a pass that strays leaves it.
#include "fuzz_target.h"
#include "TonwellKernels.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

using tonwell::kernels::Impl;
using tonwell::kernels::PixelBuffer;

TONWELL_FUZZ_TARGET(engine_diff)
{
    if (size < 6)
        return 0;
    const DWORD width = data[0] | (DWORD(data[1] & 0x07) << 8); // up to 2047
    const DWORD height = data[2] % 17;
    const DWORD bpp = (data[1] & 0x08) ? 4 : 3;
    const int32_t row = int32_t(width * bpp);
    int32_t stride = row + int8_t(data[3]); // around the row length, overlaps and padding
    if (data[1] & 0x10)
        stride = -stride;
    const BYTE tableSeed = data[4];
    const DWORD mapped = (data[5] & 1) ? 3 : bpp;
    data += 6;
    size -= 6;

    int64_t lo = 0, hi = 0;
    for (DWORD y = 0; y < height; ++y) {
        const int64_t start = int64_t(y) * stride;
        lo = std::min(lo, start);
        hi = std::max(hi, start + row);
    }
    const size_t total = size_t(hi - lo);
    std::vector<BYTE> base(total);
    for (size_t i = 0; i < total && size; ++i)
        base[i] = data[i % size];
    const size_t origin = size_t(-lo);

    BYTE table[256];
    for (int i = 0; i < 256; ++i)
        table[i] = BYTE(i * (tableSeed | 1) + tableSeed);

    std::vector<Impl> impls{Impl::Portable};
    for (Impl wide : {Impl::Avx2, Impl::Avx512}) {
        if (tonwell::kernels::ImplSupported(wide))
            impls.push_back(wide);
    }

    auto at = [&](std::vector<BYTE>& v) {
        return PixelBuffer{v.data() + origin, width, height, DWORD(stride), bpp};
    };
    std::vector<BYTE> plain = base;
    ULONGLONG expected[256] = {};
    tonwell::kernels::Histogram(at(plain), expected, Impl::Scalar);
    std::vector<BYTE> want = base;
    tonwell::kernels::MapBytes(at(want), table, mapped, Impl::Scalar);
    for (Impl impl : impls) {
        std::vector<BYTE> fast = base;
        ULONGLONG got[256] = {};
        tonwell::kernels::Histogram(at(fast), got, impl);
        if (std::memcmp(got, expected, sizeof got) != 0)
            std::abort();
        std::vector<BYTE> have = base;
        tonwell::kernels::MapBytes(at(have), table, mapped, impl);
        if (have != want)
            std::abort();
    }
    return 0;
}
