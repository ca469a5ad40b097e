// The engine's pixel passes and table builders, each in a plain scalar form that
// walks the buffer exactly as the engine defines it, and in a fast form chosen
// at run time for the processor. Both forms give identical results; the tests
// hold them to that.
#pragma once

#include <windows.h>

namespace tonwell::kernels {

// The pixel walk: row r starts at the 32-bit offset r x dwStride (wrapping), pixel
// c of a row dwBytesPerPixel x c further on, and every offset is applied to
// pImage as a signed 32-bit distance.
struct PixelBuffer {
    BYTE* pImage;
    DWORD dwWidth;
    DWORD dwHeight;
    DWORD dwStride;
    DWORD dwBytesPerPixel; // 3 or 4
};

enum class Impl {
    Scalar,   // the exact per-pixel walk, no tricks
    Portable, // row-wise, unrolled, no processor-specific instructions
    Avx2,     // row-wise with AVX2 where the processor has it
    Avx512,   // row-wise with AVX-512 (BW and VBMI) where the processor has it; the
              // histogram takes the AVX2 row kernel
    Best,     // the widest of the above the processor has, else portable; portable
              // whenever the environment variable TONWELL_ENGINE_PORTABLE is set to
              // anything but "" or "0" (read once per process, on first use)
};

// Whether impl runs as such here. An unsupported Avx512 falls back to Avx2, an
// unsupported Avx2 to Portable.
bool ImplSupported(Impl impl);
// "scalar", "portable", "avx2" or "avx512": the form a request for impl runs as.
const char* ImplName(Impl impl);

// The passes below return the form that actually ran. They allocate no memory of
// their own (the first Best request of a process reads the environment once,
// through the platform) and keep no state between calls, so separate buffers
// may be processed on separate threads at once.

// Sets the 256 counts to the luminance histogram of the buffer:
// Y = (76 R + 150 G + 30 B) >> 8.
Impl Histogram(const PixelBuffer& buffer, ULONGLONG* pHistogram, Impl impl = Impl::Best);

// Replaces bytes 0 .. dwBytesMapped-1 of every pixel by pTable[old value], row by
// row and pixel by pixel in walk order, so rows that overlap (a stride below the
// row length, or 0) come out exactly as from the per-pixel walk.
// dwBytesMapped is 3 (colour bytes only) or the buffer's bytes per pixel.
Impl MapBytes(const PixelBuffer& buffer, const BYTE* pTable, DWORD dwBytesMapped, Impl impl = Impl::Best);

// Tone curve: type 3 darkens with exponent dExponent, any other type brightens.
void BuildGammaTable(DWORD dwType, double dExponent, BYTE* pTable);

// The linear stretch about the mid-point for one byte value, in double.
BYTE BalanceByte(BYTE bValue, LONG lMidPoint, double dScale);
void BuildBalanceTable(LONG lMidPoint, double dScale, BYTE* pTable);

// The stretch evaluated per byte while walking, as the plain reference of the
// table-driven pass.
void AutoBalanceScalar(const PixelBuffer& buffer, LONG lMidPoint, double dScale);

} // namespace tonwell::kernels
