// AVX2 row kernels. The translation unit is built for the baseline and only these
// functions are compiled for AVX2, so the library runs everywhere and takes them
// only where the processor has AVX2 (see Resolve in TonwellKernels.cpp).
#include <immintrin.h>

#include <cstring>

#include "TonwellKernelsInternal.h"

#define TONWELL_AVX2 __attribute__((target("avx2")))

namespace tonwell::kernels::detail {

namespace {

TONWELL_AVX2 inline __m256i Load2x128(const BYTE* pLow, const BYTE* pHigh)
{
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pLow));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pHigh));
    return _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
}

// Byte c of each of 16 packed 3-byte pixels, gathered from the three 16-byte
// vectors that hold them (per 128-bit lane).
TONWELL_AVX2 inline __m256i Channel(__m256i a, __m256i b, __m256i c, const __m256i& ma, const __m256i& mb,
                                    const __m256i& mc)
{
    return _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(a, ma), _mm256_shuffle_epi8(b, mb)),
                           _mm256_shuffle_epi8(c, mc));
}

TONWELL_AVX2 inline __m256i Mask16(signed char m0, signed char m1, signed char m2, signed char m3, signed char m4,
                                   signed char m5, signed char m6, signed char m7, signed char m8, signed char m9,
                                   signed char m10, signed char m11, signed char m12, signed char m13,
                                   signed char m14, signed char m15)
{
    return _mm256_setr_epi8(m0, m1, m2, m3, m4, m5, m6, m7, m8, m9, m10, m11, m12, m13, m14, m15, m0, m1, m2, m3,
                            m4, m5, m6, m7, m8, m9, m10, m11, m12, m13, m14, m15);
}

inline void Count32(const BYTE* pLuma, SubHistograms& sub)
{
    for (int i = 0; i < 32; i += c_SubHistograms) {
        for (int k = 0; k < c_SubHistograms; ++k)
            ++sub.counts[k][pLuma[i + k]];
    }
}

// Luminance of 16-bit red, green and blue lanes. The sum is at most 256 x 255,
// so it fits 16 unsigned bits.
TONWELL_AVX2 inline __m256i Luma16(__m256i r, __m256i g, __m256i b)
{
    const __m256i sum = _mm256_add_epi16(
        _mm256_add_epi16(_mm256_mullo_epi16(r, _mm256_set1_epi16(76)), _mm256_mullo_epi16(g, _mm256_set1_epi16(150))),
        _mm256_mullo_epi16(b, _mm256_set1_epi16(30)));
    return _mm256_srli_epi16(sum, 8);
}

// Luminance of 32 packed 3-byte pixels (96 bytes), in some order.
TONWELL_AVX2 inline __m256i Luma32Rgb(const BYTE* p)
{
    const signed char Z = -1;
    const __m256i a = Load2x128(p, p + 48);
    const __m256i b = Load2x128(p + 16, p + 64);
    const __m256i c = Load2x128(p + 32, p + 80);
    const __m256i r = Channel(a, b, c, Mask16(0, 3, 6, 9, 12, 15, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z),
                              Mask16(Z, Z, Z, Z, Z, Z, 2, 5, 8, 11, 14, Z, Z, Z, Z, Z),
                              Mask16(Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, 1, 4, 7, 10, 13));
    const __m256i g = Channel(a, b, c, Mask16(1, 4, 7, 10, 13, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z),
                              Mask16(Z, Z, Z, Z, Z, 0, 3, 6, 9, 12, 15, Z, Z, Z, Z, Z),
                              Mask16(Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, 2, 5, 8, 11, 14));
    const __m256i bl = Channel(a, b, c, Mask16(2, 5, 8, 11, 14, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z),
                               Mask16(Z, Z, Z, Z, Z, 1, 4, 7, 10, 13, Z, Z, Z, Z, Z, Z),
                               Mask16(Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, 0, 3, 6, 9, 12, 15));
    const __m256i zero = _mm256_setzero_si256();
    const __m256i lo = Luma16(_mm256_unpacklo_epi8(r, zero), _mm256_unpacklo_epi8(g, zero),
                              _mm256_unpacklo_epi8(bl, zero));
    const __m256i hi = Luma16(_mm256_unpackhi_epi8(r, zero), _mm256_unpackhi_epi8(g, zero),
                              _mm256_unpackhi_epi8(bl, zero));
    return _mm256_packus_epi16(lo, hi);
}

// Luminance of 8 blue-green-red-x pixels as 32-bit values.
TONWELL_AVX2 inline __m256i Luma8Bgrx(const BYTE* p)
{
    const __m256i px = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i lowBytes = _mm256_set1_epi32(0x00FF00FF);
    const __m256i blueRed = _mm256_and_si256(px, lowBytes);                       // B | R << 16
    const __m256i green = _mm256_and_si256(_mm256_srli_epi32(px, 8), _mm256_set1_epi32(0xFF));
    const __m256i br = _mm256_madd_epi16(blueRed, _mm256_set1_epi32((76 << 16) | 30));
    const __m256i gg = _mm256_madd_epi16(green, _mm256_set1_epi32(150));
    return _mm256_srli_epi32(_mm256_add_epi32(br, gg), 8);
}

} // namespace

namespace {

// Luminance of 32 pixels of dwBytesPerPixel bytes.
template <DWORD dwBytesPerPixel>
TONWELL_AVX2 inline __m256i Luma32(const BYTE* p)
{
    if constexpr (dwBytesPerPixel == 3) {
        return Luma32Rgb(p);
    } else {
        const __m256i w0 = _mm256_packus_epi32(Luma8Bgrx(p), Luma8Bgrx(p + 32));
        const __m256i w1 = _mm256_packus_epi32(Luma8Bgrx(p + 64), Luma8Bgrx(p + 96));
        return _mm256_packus_epi16(w0, w1);
    }
}

template <DWORD dwBytesPerPixel>
TONWELL_AVX2 void HistogramRow(const BYTE* pRow, DWORD dwPixels, SubHistograms& sub)
{
    // Software pipelined: each step works out the luminance of the next 64 pixels
    // with vector instructions while it counts the previous 64 from a small
    // buffer, so that the vector units and the counting (loads and stores) run side
    // by side instead of taking turns.
    constexpr DWORD c_Step = 64;
    constexpr DWORD c_StepBytes = c_Step * dwBytesPerPixel;
    alignas(32) BYTE luma[2][c_Step];
    const DWORD dwSteps = dwPixels / c_Step;
    if (dwSteps > 0) {
        for (DWORD i = 0; i < c_Step; i += 32)
            _mm256_store_si256(reinterpret_cast<__m256i*>(luma[0] + i),
                               Luma32<dwBytesPerPixel>(pRow + i * dwBytesPerPixel));
        for (DWORD k = 0; k < dwSteps; ++k) {
            pRow += c_StepBytes;
            if (k + 1 < dwSteps) {
                BYTE* pNext = luma[(k + 1) & 1];
                for (DWORD i = 0; i < c_Step; i += 32)
                    _mm256_store_si256(reinterpret_cast<__m256i*>(pNext + i),
                                       Luma32<dwBytesPerPixel>(pRow + i * dwBytesPerPixel));
            }
            for (DWORD i = 0; i < c_Step; i += 32)
                Count32(luma[k & 1] + i, sub);
        }
    }
    DWORD x = dwSteps * c_Step;
    if (dwPixels - x >= 32) {
        _mm256_store_si256(reinterpret_cast<__m256i*>(luma[0]), Luma32<dwBytesPerPixel>(pRow));
        Count32(luma[0], sub);
        pRow += 32 * dwBytesPerPixel;
        x += 32;
    }
    HistogramRowPortable(pRow, dwPixels - x, dwBytesPerPixel, sub);
}

} // namespace

TONWELL_AVX2 void HistogramRowAvx2(const BYTE* pRow, DWORD dwPixels, DWORD dwBytesPerPixel, SubHistograms& sub)
{
    if (dwBytesPerPixel == 3)
        HistogramRow<3>(pRow, dwPixels, sub);
    else
        HistogramRow<4>(pRow, dwPixels, sub);
}

namespace {

// A 256-entry byte table as sixteen 16-entry slices: every slice is looked up
// with the low four bits of the byte, and bits 4 to 7 then choose among the
// sixteen results, pairwise, in four rounds of blends (a blend takes the top bit
// of each mask byte, so the mask is the byte shifted until the bit is on top).
struct ByteTable {
    __m256i slice[16];
};

TONWELL_AVX2 void PrepareTable(const BYTE* pTable, ByteTable& t)
{
    for (int h = 0; h < 16; ++h)
        t.slice[h] = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(pTable + 16 * h)));
}

TONWELL_AVX2 inline __m256i Lookup(const ByteTable& t, __m256i x)
{
    const __m256i lo = _mm256_and_si256(x, _mm256_set1_epi8(0x0F));
    __m256i r[16];
    for (int h = 0; h < 16; ++h)
        r[h] = _mm256_shuffle_epi8(t.slice[h], lo);
    const __m256i m4 = _mm256_slli_epi16(x, 3);
    for (int j = 0; j < 8; ++j)
        r[j] = _mm256_blendv_epi8(r[2 * j], r[2 * j + 1], m4);
    const __m256i m5 = _mm256_slli_epi16(x, 2);
    for (int j = 0; j < 4; ++j)
        r[j] = _mm256_blendv_epi8(r[2 * j], r[2 * j + 1], m5);
    const __m256i m6 = _mm256_slli_epi16(x, 1);
    for (int j = 0; j < 2; ++j)
        r[j] = _mm256_blendv_epi8(r[2 * j], r[2 * j + 1], m6);
    return _mm256_blendv_epi8(r[0], r[1], x);
}

} // namespace

TONWELL_AVX2 void MapRowAvx2(BYTE* pRow, DWORD dwPixels, DWORD dwBytesPerPixel, DWORD dwBytesMapped,
                             const BYTE* pTable)
{
    const SIZE_T cb = static_cast<SIZE_T>(dwPixels) * dwBytesPerPixel;
    if (cb < 64) {
        MapRowPortable(pRow, dwPixels, dwBytesPerPixel, dwBytesMapped, pTable);
        return;
    }
    ByteTable t;
    PrepareTable(pTable, t);
    SIZE_T i = 0;
    if (dwBytesMapped == dwBytesPerPixel) {
        for (; i + 32 <= cb; i += 32) {
            __m256i* p = reinterpret_cast<__m256i*>(pRow + i);
            _mm256_storeu_si256(p, Lookup(t, _mm256_loadu_si256(p)));
        }
    } else {
        // Colour bytes of 4-byte pixels: the fourth byte of each keeps its value.
        const __m256i keep = _mm256_set1_epi32(static_cast<int>(0xFF000000u));
        for (; i + 32 <= cb; i += 32) {
            __m256i* p = reinterpret_cast<__m256i*>(pRow + i);
            const __m256i x = _mm256_loadu_si256(p);
            _mm256_storeu_si256(p, _mm256_blendv_epi8(Lookup(t, x), x, keep));
        }
    }
    if (dwBytesMapped == dwBytesPerPixel) {
        for (; i < cb; ++i)
            pRow[i] = pTable[pRow[i]];
    } else {
        // 32 bytes hold 8 four-byte pixels, so the rest starts on a pixel.
        MapRowPortable(pRow + i, static_cast<DWORD>((cb - i) / 4), 4, 3, pTable);
    }
}

} // namespace tonwell::kernels::detail
