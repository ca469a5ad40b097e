// AVX-512 row kernels (BW and VBMI). Like the AVX2 ones, only these functions are
// compiled for the wider instructions; Resolve takes them only where the
// processor has them.
#include <immintrin.h>

#include "TonwellKernelsInternal.h"

#define TONWELL_AVX512 __attribute__((target("avx512f,avx512bw,avx512vbmi")))

namespace tonwell::kernels::detail {

namespace {

// The 256-entry table in four registers: a two-source byte permutation looks up
// 128 entries at once with bits 0 to 6 of each byte, and bit 7 picks the half.
struct WideTable {
    __m512i q0, q1, q2, q3;
};

TONWELL_AVX512 inline __m512i Lookup(const WideTable& t, __m512i x)
{
    const __m512i low = _mm512_permutex2var_epi8(t.q0, x, t.q1);
    const __m512i high = _mm512_permutex2var_epi8(t.q2, x, t.q3);
    return _mm512_mask_blend_epi8(_mm512_movepi8_mask(x), low, high);
}

// Bytes 0 to 2 of every 4-byte pixel, for a run that starts on a pixel.
constexpr __mmask64 c_ColourBytes = 0x7777777777777777ull;

} // namespace

TONWELL_AVX512 void MapRowAvx512(BYTE* pRow, DWORD dwPixels, DWORD dwBytesPerPixel, DWORD dwBytesMapped,
                                 const BYTE* pTable)
{
    const WideTable t{_mm512_loadu_si512(pTable), _mm512_loadu_si512(pTable + 64), _mm512_loadu_si512(pTable + 128),
                      _mm512_loadu_si512(pTable + 192)};
    // 64 bytes hold 16 four-byte pixels, so every step starts on a pixel.
    const __mmask64 write = dwBytesMapped == dwBytesPerPixel ? ~__mmask64(0) : c_ColourBytes;
    const SIZE_T cb = static_cast<SIZE_T>(dwPixels) * dwBytesPerPixel;
    SIZE_T i = 0;
    for (; i + 128 <= cb; i += 128) {
        const __m512i a = _mm512_loadu_si512(pRow + i);
        const __m512i b = _mm512_loadu_si512(pRow + i + 64);
        _mm512_mask_storeu_epi8(pRow + i, write, Lookup(t, a));
        _mm512_mask_storeu_epi8(pRow + i + 64, write, Lookup(t, b));
    }
    for (; i < cb; i += 64) {
        // Masked loads and stores touch only the bytes of the row.
        const SIZE_T n = cb - i < 64 ? cb - i : 64;
        const __mmask64 inRow = n == 64 ? ~__mmask64(0) : (__mmask64(1) << n) - 1;
        const __m512i a = _mm512_maskz_loadu_epi8(inRow, pRow + i);
        _mm512_mask_storeu_epi8(pRow + i, write & inRow, Lookup(t, a));
    }
}

} // namespace tonwell::kernels::detail
