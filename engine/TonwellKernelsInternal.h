// Row kernels shared between the portable and the AVX2 translation units.
#pragma once

#include <windows.h>

#include <limits>

namespace tonwell::kernels::detail {

// Sub-histograms, small enough to stay in the first-level cache beside the
// luminance block. Several copies keep consecutive increments of one bin from
// waiting on each other. Counts are 32 bits wide: a 16-bit increment in memory
// takes twice as long on some processors (Zen 3). The caller folds them into the
// 64-bit histogram before c_SubHistogramLimit pixels have been counted into them,
// so no count can wrap whatever the image holds.
// The engine's tests build these kernels a second time with 16-bit counts
// (TONWELL_SUBHISTOGRAM_COUNT), where ordinary test images pass the limit.
#ifndef TONWELL_SUBHISTOGRAM_COUNT
#define TONWELL_SUBHISTOGRAM_COUNT DWORD
#endif
using SubHistogramCount = TONWELL_SUBHISTOGRAM_COUNT;
constexpr int c_SubHistograms = 4;
static_assert(c_SubHistograms == 4, "the row kernels spread pixels over four copies");
constexpr ULONGLONG c_SubHistogramLimit = std::numeric_limits<SubHistogramCount>::max();
struct SubHistograms {
    SubHistogramCount counts[c_SubHistograms][256];
};

// Luminance of a whole row of contiguous pixels into the sub-histograms.
void HistogramRowPortable(const BYTE* pRow, DWORD dwPixels, DWORD dwBytesPerPixel, SubHistograms& sub);
void HistogramRowAvx2(const BYTE* pRow, DWORD dwPixels, DWORD dwBytesPerPixel, SubHistograms& sub);

// Maps a row of contiguous pixels: every byte (dwBytesMapped == dwBytesPerPixel)
// or bytes 0..2 of 4-byte pixels (dwBytesMapped == 3).
void MapRowPortable(BYTE* pRow, DWORD dwPixels, DWORD dwBytesPerPixel, DWORD dwBytesMapped, const BYTE* pTable);
void MapRowAvx2(BYTE* pRow, DWORD dwPixels, DWORD dwBytesPerPixel, DWORD dwBytesMapped, const BYTE* pTable);
void MapRowAvx512(BYTE* pRow, DWORD dwPixels, DWORD dwBytesPerPixel, DWORD dwBytesMapped, const BYTE* pTable);

inline DWORD Luminance(const BYTE* pPixel, DWORD dwBytesPerPixel)
{
    // Red is byte 0 of a 3-byte pixel and byte 2 of a 4-byte one; blue the other way round.
    const DWORD r = dwBytesPerPixel == 3 ? pPixel[0] : pPixel[2];
    const DWORD g = pPixel[1];
    const DWORD b = dwBytesPerPixel == 3 ? pPixel[2] : pPixel[0];
    return (76 * r + 150 * g + 30 * b) >> 8;
}

} // namespace tonwell::kernels::detail
