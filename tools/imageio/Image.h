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

// Limits of a whole image in memory (ReadImage), checked against its header
// before any pixel memory is taken. Every pixel buffer also stays below 2 GiB,
// which the engine's 32-bit row offsets require.
constexpr DWORD kMaxDimension = 65535;
constexpr uint64_t kMaxPixels = 200'000'000;
// An image read a band of rows at a time (OpenReader) has no limit on its
// pixel count; a side of a PNG or PPM/PGM may have up to this many pixels
// (libpng's own default limit), a side of a JPEG up to libjpeg's 65500.
constexpr DWORD kMaxStreamDimension = 1'000'000;

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

// An image as its header describes it, before any pixel is read.
struct ImageInfo {
    DWORD width = 0;
    DWORD height = 0;
    bool grayscale = false; // one colour channel (read as R = G = B)
    bool alpha = false;     // an alpha channel, read beside the RGB rows
    Format sourceFormat = Format::Jpeg;
    Metadata metadata;
    std::vector<std::string> notes; // as Image::notes
    // Memory the decoder itself takes for the whole image whatever the band
    // size: the coefficients of a progressive (multi-scan) JPEG, an interlaced
    // PNG, which can only be read whole. 0 when it decodes a row at a time.
    uint64_t wholeImageBytes = 0;
};

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

    // What a writer needs to know of the image besides its rows.
    ImageInfo Info() const;
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

// An image read from its file a band of rows at a time, top to bottom; what
// ReadImage reads is exactly what these rows hold. Used by one thread at a time.
class RowReader {
public:
    virtual ~RowReader() = default;
    const ImageInfo& Info() const { return m_info; }
    // The next `rows` rows: 3 x width RGB bytes per row into rgb (rows stride
    // bytes apart) and, when the image has alpha, width bytes per row into
    // alpha (rows width bytes apart; ignored otherwise). Throws ImageError.
    virtual void Read(BYTE* rgb, size_t stride, BYTE* alpha, DWORD rows) = 0;
    // After the last row: reads what follows the pixels (checks the end of a
    // JPEG or PNG). Throws ImageError.
    virtual void Finish() = 0;

protected:
    ImageInfo m_info;
};

// Opens the image in file from its current position (the start of the
// image): reads its header, checks it against the limits of an image read in
// bands, and takes no pixel memory yet. Throws ImageError. The file must stay
// open as long as the reader.
std::unique_ptr<RowReader> OpenReader(FILE* file);

// The rest of an opened image, whole, within the limits of a whole image
// (kMaxDimension, kMaxPixels). Throws ImageError.
Image ReadImage(RowReader& reader);

// Opens path for reading an image: "cannot open: ..." or "cannot read: is a
// directory" as ImageError otherwise.
std::unique_ptr<FILE, int (*)(FILE*)> OpenImageFile(const std::string& path);

// The format a file holds, told by its first bytes as ReadImage tells it
// (Ppm or Pgm for any PNM header); false when it is none of ours or cannot be read.
bool DetectFormat(const std::string& path, Format* format);

// The output format an extension asks for (".jpg", ".png", ...), compared
// without regard to case; false when the extension is not one of ours.
bool FormatFromPath(const std::string& path, Format* format);

// Writes the image in the given format. Throws ImageError. Grayscale images
// stay grayscale where the format allows; alpha is written to PNG only.
void WriteImage(FILE* file, const Image& image, Format format, const WriteOptions& options);

// An image written a band of rows at a time, top to bottom: the same bytes as
// WriteImage of the whole image. Used by one thread at a time.
class RowWriter {
public:
    virtual ~RowWriter() = default;
    // The next `rows` rows, laid out as RowReader::Read gives them (alpha is
    // read only when the image has alpha). Throws ImageError.
    virtual void Write(const BYTE* rgb, size_t stride, const BYTE* alpha, DWORD rows) = 0;
    // After the last row: ends the file and flushes the stream. Throws ImageError.
    virtual void Finish() = 0;
};

// Starts writing an image described by info in the given format (its header
// and metadata go out now). Throws ImageError, as WriteImage does.
std::unique_ptr<RowWriter> OpenWriter(FILE* file, const ImageInfo& info, Format format, const WriteOptions& options);

namespace detail {
std::unique_ptr<RowReader> OpenJpegReader(FILE* file);
std::unique_ptr<RowReader> OpenPngReader(FILE* file);
std::unique_ptr<RowReader> OpenPnmReader(FILE* file);
std::unique_ptr<RowWriter> OpenJpegWriter(FILE* file, const ImageInfo& info, const WriteOptions& options);
std::unique_ptr<RowWriter> OpenPngWriter(FILE* file, const ImageInfo& info);
std::unique_ptr<RowWriter> OpenPnmWriter(FILE* file, const ImageInfo& info, bool gray);
// The side limit of an image read in bands: throws ImageError beyond it.
void CheckStreamSize(DWORD width, DWORD height, DWORD maxDimension);
// Flushes a writer's stream; throws ImageError for a write error.
void FlushOutput(FILE* file);
} // namespace detail

} // namespace tonwell::imageio
