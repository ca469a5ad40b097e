// The pixel walk, the table builders and the choice of row kernels.
#include "TonwellKernels.h"

#include <cmath>
#include <cstring>

#include "TonwellKernelsInternal.h"

namespace tonwell::kernels {

using detail::Luminance;

namespace {

// The byte at a 32-bit walk offset: the offset wraps as an unsigned value and is
// applied as a signed distance, so a stride reading negative walks upwards.
inline BYTE* At(BYTE* pImage, DWORD dwOffset)
{
    return pImage + static_cast<int32_t>(dwOffset);
}

bool CpuHasAvx2()
{
    // Also false when the operating system does not save the wide registers.
    static const bool s_bAvx2 = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return s_bAvx2;
}

bool CpuHasAvx512()
{
    // The byte permutations of VBMI, on the byte and word operations of BW.
    static const bool s_bAvx512 = [] {
        __builtin_cpu_init();
        return CpuHasAvx2() && __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512bw") != 0 &&
               __builtin_cpu_supports("avx512vbmi") != 0;
    }();
    return s_bAvx512;
}

// TONWELL_ENGINE_PORTABLE set to anything but "" or "0" keeps Best off the
// processor-specific kernels, so that the portable ones can be run and compared
// on a machine that has AVX2.
bool PortableForced()
{
    static const bool s_bForced = [] {
        WCHAR szValue[4] = {};
        const DWORD cch = GetEnvironmentVariableW(u"TONWELL_ENGINE_PORTABLE", szValue, 4);
        if (cch == 0)
            return false;
        return !(cch == 1 && szValue[0] == u'0');
    }();
    return s_bForced;
}

Impl Resolve(Impl impl)
{
    if (impl == Impl::Best) {
        if (PortableForced())
            return Impl::Portable;
        impl = Impl::Avx512;
    }
    if (impl == Impl::Avx512 && !CpuHasAvx512())
        impl = Impl::Avx2;
    if (impl == Impl::Avx2 && !CpuHasAvx2())
        return Impl::Portable;
    return impl;
}

// A row can be handed to a row kernel when its bytes are one run in the signed
// 32-bit window, i.e. no pixel offset of the row wraps. Rows are still visited
// in order, so rows that overlap (stride below the row length, or 0) are mapped
// exactly as often and in the same order as by the per-pixel walk.
inline bool RowIsContiguous(DWORD dwRowOffset, DWORD dwWidth, DWORD dwBytesPerPixel)
{
    const int64_t llStart = static_cast<int32_t>(dwRowOffset);
    const int64_t llEnd = llStart + static_cast<int64_t>(dwWidth) * dwBytesPerPixel; // one past the row
    return llEnd - 1 <= INT32_MAX;
}

void HistogramWalk(const PixelBuffer& buffer, ULONGLONG* pHistogram)
{
    const DWORD dwRowStep = buffer.dwStride - buffer.dwWidth * buffer.dwBytesPerPixel;
    DWORD dwOffset = 0;
    for (DWORD y = 0; y < buffer.dwHeight; ++y) {
        for (DWORD x = 0; x < buffer.dwWidth; ++x) {
            ++pHistogram[Luminance(At(buffer.pImage, dwOffset), buffer.dwBytesPerPixel)];
            dwOffset += buffer.dwBytesPerPixel;
        }
        dwOffset += dwRowStep;
    }
}

void MapWalk(const PixelBuffer& buffer, const BYTE* pTable, DWORD dwBytesMapped)
{
    const DWORD dwRowStep = buffer.dwStride - buffer.dwWidth * buffer.dwBytesPerPixel;
    DWORD dwOffset = 0;
    for (DWORD y = 0; y < buffer.dwHeight; ++y) {
        for (DWORD x = 0; x < buffer.dwWidth; ++x) {
            BYTE* pPixel = At(buffer.pImage, dwOffset);
            for (DWORD i = 0; i < dwBytesMapped; ++i)
                pPixel[i] = pTable[pPixel[i]];
            dwOffset += buffer.dwBytesPerPixel;
        }
        dwOffset += dwRowStep;
    }
}

void FoldSubHistograms(detail::SubHistograms& sub, ULONGLONG* pHistogram)
{
    for (int k = 0; k < detail::c_SubHistograms; ++k) {
        for (int i = 0; i < 256; ++i)
            pHistogram[i] += sub.counts[k][i];
    }
    std::memset(&sub, 0, sizeof(sub));
}

} // namespace

bool ImplSupported(Impl impl)
{
    return Resolve(impl) == impl || impl == Impl::Best;
}

const char* ImplName(Impl impl)
{
    switch (Resolve(impl)) {
    case Impl::Scalar:
        return "scalar";
    case Impl::Portable:
        return "portable";
    case Impl::Avx2:
        return "avx2";
    case Impl::Avx512:
        return "avx512";
    case Impl::Best:
        break;
    }
    return "?";
}

Impl Histogram(const PixelBuffer& buffer, ULONGLONG* pHistogram, Impl impl)
{
    std::memset(pHistogram, 0, 256 * sizeof(ULONGLONG));
    impl = Resolve(impl);
    if (impl == Impl::Scalar) {
        HistogramWalk(buffer, pHistogram);
        return impl;
    }

    // Rows go to the row kernel in pieces of whole 512-pixel blocks, so that a
    // fold can come between any two pieces of a row wider than the limit.
    constexpr DWORD c_Piece = 127 * 512;
    static_assert(c_Piece <= detail::c_SubHistogramLimit);

    auto* pRowKernel = impl == Impl::Portable ? detail::HistogramRowPortable : detail::HistogramRowAvx2;
    detail::SubHistograms sub;
    std::memset(&sub, 0, sizeof(sub));
    ULONGLONG ullPending = 0; // pixels counted into the sub-histograms since the last fold
    DWORD dwRowOffset = 0;
    for (DWORD y = 0; y < buffer.dwHeight; ++y, dwRowOffset += buffer.dwStride) {
        if (!RowIsContiguous(dwRowOffset, buffer.dwWidth, buffer.dwBytesPerPixel)) {
            DWORD dwOffset = dwRowOffset;
            for (DWORD x = 0; x < buffer.dwWidth; ++x, dwOffset += buffer.dwBytesPerPixel)
                ++pHistogram[Luminance(At(buffer.pImage, dwOffset), buffer.dwBytesPerPixel)];
            continue;
        }
        const BYTE* pPiece = At(buffer.pImage, dwRowOffset);
        for (DWORD dwLeft = buffer.dwWidth; dwLeft > 0;) {
            const DWORD dwPixels = dwLeft < c_Piece ? dwLeft : c_Piece;
            if (ullPending + dwPixels > detail::c_SubHistogramLimit) {
                FoldSubHistograms(sub, pHistogram);
                ullPending = 0;
            }
            pRowKernel(pPiece, dwPixels, buffer.dwBytesPerPixel, sub);
            ullPending += dwPixels;
            pPiece += static_cast<SIZE_T>(dwPixels) * buffer.dwBytesPerPixel;
            dwLeft -= dwPixels;
        }
    }
    FoldSubHistograms(sub, pHistogram);
    return impl;
}

Impl MapBytes(const PixelBuffer& buffer, const BYTE* pTable, DWORD dwBytesMapped, Impl impl)
{
    impl = Resolve(impl);
    if (impl == Impl::Scalar) {
        MapWalk(buffer, pTable, dwBytesMapped);
        return impl;
    }

    auto* pRowKernel = impl == Impl::Avx512 ? detail::MapRowAvx512
                       : impl == Impl::Avx2 ? detail::MapRowAvx2
                                            : detail::MapRowPortable;
    DWORD dwRowOffset = 0;
    for (DWORD y = 0; y < buffer.dwHeight; ++y, dwRowOffset += buffer.dwStride) {
        if (RowIsContiguous(dwRowOffset, buffer.dwWidth, buffer.dwBytesPerPixel)) {
            pRowKernel(At(buffer.pImage, dwRowOffset), buffer.dwWidth, buffer.dwBytesPerPixel, dwBytesMapped,
                       pTable);
        } else {
            DWORD dwOffset = dwRowOffset;
            for (DWORD x = 0; x < buffer.dwWidth; ++x, dwOffset += buffer.dwBytesPerPixel) {
                BYTE* pPixel = At(buffer.pImage, dwOffset);
                for (DWORD i = 0; i < dwBytesMapped; ++i)
                    pPixel[i] = pTable[pPixel[i]];
            }
        }
    }
    return impl;
}

void BuildGammaTable(DWORD dwType, double dExponent, BYTE* pTable)
{
    for (int i = 0; i < 256; ++i) {
        double f;
        if (dwType == 3)
            f = std::pow(i * 0.00390625, dExponent);
        else
            f = 1.0 - std::pow((256 - i) * 0.00390625, dExponent);
        double v = f * 256.0 + 0.5;
        if (v > 255.0)
            v = 255.0;
        if (v < 0.0)
            v = 0.0;
        pTable[i] = static_cast<BYTE>(static_cast<LONGLONG>(v));
    }
}

BYTE BalanceByte(BYTE bValue, LONG lMidPoint, double dScale)
{
    const LONG lDelta = static_cast<LONG>(bValue) - lMidPoint;
    const double x = dScale * static_cast<double>(lDelta) + 128.0;
    if (x > 255.0)
        return 255;
    if (x < 0.0)
        return 0;
    return static_cast<BYTE>(static_cast<LONGLONG>(x));
}

void BuildBalanceTable(LONG lMidPoint, double dScale, BYTE* pTable)
{
    for (int i = 0; i < 256; ++i)
        pTable[i] = BalanceByte(static_cast<BYTE>(i), lMidPoint, dScale);
}

void AutoBalanceScalar(const PixelBuffer& buffer, LONG lMidPoint, double dScale)
{
    const DWORD dwRowStep = buffer.dwStride - buffer.dwWidth * buffer.dwBytesPerPixel;
    DWORD dwOffset = 0;
    for (DWORD y = 0; y < buffer.dwHeight; ++y) {
        for (DWORD x = 0; x < buffer.dwWidth; ++x) {
            BYTE* pPixel = At(buffer.pImage, dwOffset);
            for (DWORD i = 0; i < buffer.dwBytesPerPixel; ++i)
                pPixel[i] = BalanceByte(pPixel[i], lMidPoint, dScale);
            dwOffset += buffer.dwBytesPerPixel;
        }
        dwOffset += dwRowStep;
    }
}

namespace detail {

void HistogramRowPortable(const BYTE* pRow, DWORD dwPixels, DWORD dwBytesPerPixel, SubHistograms& sub)
{
    DWORD x = 0;
    if (dwBytesPerPixel == 3) {
        for (; x + 4 <= dwPixels; x += 4, pRow += 12) {
            ++sub.counts[0][(76 * pRow[0] + 150 * pRow[1] + 30 * pRow[2]) >> 8];
            ++sub.counts[1][(76 * pRow[3] + 150 * pRow[4] + 30 * pRow[5]) >> 8];
            ++sub.counts[2][(76 * pRow[6] + 150 * pRow[7] + 30 * pRow[8]) >> 8];
            ++sub.counts[3][(76 * pRow[9] + 150 * pRow[10] + 30 * pRow[11]) >> 8];
        }
    } else {
        for (; x + 4 <= dwPixels; x += 4, pRow += 16) {
            ++sub.counts[0][(76 * pRow[2] + 150 * pRow[1] + 30 * pRow[0]) >> 8];
            ++sub.counts[1][(76 * pRow[6] + 150 * pRow[5] + 30 * pRow[4]) >> 8];
            ++sub.counts[2][(76 * pRow[10] + 150 * pRow[9] + 30 * pRow[8]) >> 8];
            ++sub.counts[3][(76 * pRow[14] + 150 * pRow[13] + 30 * pRow[12]) >> 8];
        }
    }
    for (; x < dwPixels; ++x, pRow += dwBytesPerPixel)
        ++sub.counts[0][Luminance(pRow, dwBytesPerPixel)];
}

void MapRowPortable(BYTE* pRow, DWORD dwPixels, DWORD dwBytesPerPixel, DWORD dwBytesMapped, const BYTE* pTable)
{
    if (dwBytesMapped == dwBytesPerPixel) {
        // Every byte of the row: map it as one run, eight bytes per step.
        const SIZE_T cb = static_cast<SIZE_T>(dwPixels) * dwBytesPerPixel;
        SIZE_T i = 0;
        for (; i + 8 <= cb; i += 8) {
            uint64_t v;
            std::memcpy(&v, pRow + i, 8);
            uint64_t r = 0;
            for (int k = 0; k < 8; ++k)
                r |= static_cast<uint64_t>(pTable[(v >> (8 * k)) & 0xFF]) << (8 * k);
            std::memcpy(pRow + i, &r, 8);
        }
        for (; i < cb; ++i)
            pRow[i] = pTable[pRow[i]];
        return;
    }
    for (DWORD x = 0; x < dwPixels; ++x, pRow += dwBytesPerPixel) {
        pRow[0] = pTable[pRow[0]];
        pRow[1] = pTable[pRow[1]];
        pRow[2] = pTable[pRow[2]];
    }
}

} // namespace detail

} // namespace tonwell::kernels
