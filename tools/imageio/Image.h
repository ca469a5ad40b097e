// Decoded images as the host hands them to the component: 24-bit RGB rows,
// with whatever the source had besides colour (alpha, metadata) kept aside so
// that it can be written back untouched.
#pragma once

#include <windef.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace tonwell::imageio {

enum class Format {
    Jpeg,
    Png,
    Ppm, // binary P6
    Pgm, // binary P5
    Pnm, // output only: P5 for grayscale images, P6 otherwise
};

const char* FormatName(Format format);
// The usual file extension, with its dot.
const char* FormatExtension(Format format);

// Limits checked against an image's header before any pixel memory is taken.
// Every pixel buffer also stays below 2 GiB, which the engine's 32-bit row
// offsets require.
constexpr DWORD kMaxDimension = 65535;
constexpr uint64_t kMaxPixels = 200'000'000;

// Every failure of reading or writing, with a reason fit for the user.
class ImageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Metadata {
    std::vector<BYTE> icc;  // ICC colour profile
    std::string iccName;    // its name in a PNG iCCP chunk
    std::vector<BYTE> exif; // EXIF as a TIFF structure, without JPEG's "Exif\0\0" prefix
    std::vector<std::vector<BYTE>> otherApp1; // further JPEG APP1 segments (XMP), kept for JPEG output
    bool jfif = false;      // the JPEG source had a JFIF header
    BYTE densityUnit = 0;   // its density, reused when written as JPEG again
    WORD xDensity = 1;
    WORD yDensity = 1;
};

// Pixel memory comes from malloc (aligned for huge pages when large).
struct FreePixels {
    void operator()(BYTE* p) const;
};
using PixelBuffer = std::unique_ptr<BYTE[], FreePixels>;

struct Image {
    DWORD width = 0;
    DWORD height = 0;
    DWORD stride = 0; // bytes from one RGB row to the next: 3 x width rounded up to 4
    PixelBuffer pixels;

    bool grayscale = false;       // the source had one colour channel (expanded to R = G = B)
    std::unique_ptr<BYTE[]> alpha; // width x height alpha bytes, when the source had alpha

    Format sourceFormat = Format::Jpeg;
    Metadata metadata;
    // What reading had to change, for the user ("16-bit samples reduced to 8 bits").
    std::vector<std::string> notes;

    BYTE* Row(DWORD y) { return pixels.get() + size_t(y) * stride; }
    const BYTE* Row(DWORD y) const { return pixels.get() + size_t(y) * stride; }
    const BYTE* AlphaRow(DWORD y) const { return alpha.get() + size_t(y) * width; }
};

// Checks the size against the limits and allocates the RGB rows (and the
// alpha plane when asked). Throws ImageError for a size out of bounds.
void AllocatePixels(Image& image, DWORD width, DWORD height, bool withAlpha);

struct WriteOptions {
    int quality = 90; // JPEG quality, 1 to 100
};

// Reads a JPEG, PNG or binary PPM/PGM, recognised by its content. Throws
// ImageError with the reason (the caller adds the file name).
Image ReadImage(const std::string& path);
Image ReadImage(FILE* file);

// The format a file holds, told by its first bytes as ReadImage tells it
// (Ppm or Pgm for any PNM header); false when it is none of ours or cannot be read.
bool DetectFormat(const std::string& path, Format* format);

// The output format an extension asks for (".jpg", ".png", ...), compared
// without regard to case; false when the extension is not one of ours.
bool FormatFromPath(const std::string& path, Format* format);

// Writes the image in the given format. Throws ImageError. Grayscale images
// stay grayscale where the format allows; alpha is written to PNG only.
void WriteImage(FILE* file, const Image& image, Format format, const WriteOptions& options);

namespace detail {
Image ReadJpeg(FILE* file);
Image ReadPng(FILE* file);
Image ReadPnm(FILE* file);
void WriteJpeg(FILE* file, const Image& image, const WriteOptions& options);
void WritePng(FILE* file, const Image& image);
void WritePnm(FILE* file, const Image& image, bool gray);
} // namespace detail

} // namespace tonwell::imageio
