// Format recognition and the dispatch to each format's reader and writer.
#include "imageio/Image.h"

#include <cerrno>
#include <cstdlib>
#include <new>
#include <cstring>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>

namespace tonwell::imageio {

const char* FormatName(Format format)
{
    switch (format) {
    case Format::Jpeg: return "JPEG";
    case Format::Png: return "PNG";
    case Format::Ppm: return "PPM";
    case Format::Pgm: return "PGM";
    case Format::Pnm: return "PNM";
    }
    return "?";
}

const char* FormatExtension(Format format)
{
    switch (format) {
    case Format::Jpeg: return ".jpg";
    case Format::Png: return ".png";
    case Format::Ppm: return ".ppm";
    case Format::Pgm: return ".pgm";
    case Format::Pnm: return ".pnm";
    }
    return "";
}

namespace {

// A large image is decoded into memory that the kernel backs with huge pages:
// a 24-megapixel photo otherwise costs some 18,000 page faults, a fair part
// of the time of a whole fix. No zero fill: the decoders write every byte
// that is read later.
PixelBuffer AllocatePixelBuffer(size_t size)
{
    constexpr size_t kHugePage = size_t(2) << 20;
    if (size < 4 * kHugePage) {
        void* p = std::malloc(size);
        if (!p)
            throw std::bad_alloc();
        return PixelBuffer(static_cast<BYTE*>(p));
    }
    const size_t rounded = (size + kHugePage - 1) & ~(kHugePage - 1);
    void* p = std::aligned_alloc(kHugePage, rounded);
    if (!p)
        throw std::bad_alloc();
    madvise(p, rounded, MADV_HUGEPAGE); // only advice: without huge pages it works as well
    return PixelBuffer(static_cast<BYTE*>(p));
}

} // namespace

void FreePixels::operator()(BYTE* p) const { std::free(p); }

void AllocatePixels(Image& image, DWORD width, DWORD height, bool withAlpha)
{
    if (width == 0 || height == 0)
        throw ImageError("invalid image size " + std::to_string(width) + " x " + std::to_string(height));
    if (width > kMaxDimension || height > kMaxDimension || uint64_t(width) * height > kMaxPixels)
        throw ImageError("image too large: " + std::to_string(width) + " x " + std::to_string(height) +
                         " (at most " + std::to_string(kMaxDimension) + " pixels a side and " +
                         std::to_string(kMaxPixels / 1'000'000) + " megapixels)");
    // Rows padded to 4 bytes, as a host of the component lays out 24-bit images.
    const DWORD stride = (width * 3 + 3) & ~DWORD(3);
    image.width = width;
    image.height = height;
    image.stride = stride;
    image.pixels = AllocatePixelBuffer(size_t(stride) * height);
    if (withAlpha)
        image.alpha = std::make_unique_for_overwrite<BYTE[]>(size_t(width) * height);
}

namespace {

// What the first bytes of a file say it is; false when none of ours.
bool FormatFromMagic(const unsigned char* magic, size_t got, Format* format)
{
    static const unsigned char kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (got >= 3 && magic[0] == 0xFF && magic[1] == 0xD8 && magic[2] == 0xFF)
        *format = Format::Jpeg;
    else if (got == 8 && std::memcmp(magic, kPng, 8) == 0)
        *format = Format::Png;
    else if (got >= 2 && magic[0] == 'P' && magic[1] >= '1' && magic[1] <= '7')
        *format = magic[1] == '2' || magic[1] == '5' ? Format::Pgm : Format::Ppm;
    else
        return false;
    return true;
}

} // namespace

std::unique_ptr<RowReader> OpenReader(FILE* file)
{
    unsigned char magic[8] = {};
    const long start = std::ftell(file);
    const size_t got = std::fread(magic, 1, sizeof magic, file);
    if (std::ferror(file))
        throw ImageError(std::string("read error: ") + std::strerror(errno));
    if (got == 0)
        throw ImageError("empty file");
    if (start < 0 || std::fseek(file, start, SEEK_SET) != 0)
        throw ImageError("cannot read: the input is not a seekable file");

    Format format;
    if (!FormatFromMagic(magic, got, &format))
        throw ImageError("not a JPEG, PNG, PPM or PGM file");
    switch (format) {
    case Format::Jpeg: return detail::OpenJpegReader(file);
    case Format::Png: return detail::OpenPngReader(file);
    default: return detail::OpenPnmReader(file);
    }
}

Image ReadImage(FILE* file)
{
    return ReadImage(*OpenReader(file));
}

Image ReadImage(RowReader& reader)
{
    const ImageInfo& info = reader.Info();
    Image image;
    AllocatePixels(image, info.width, info.height, info.alpha);
    image.grayscale = info.grayscale;
    image.sourceFormat = info.sourceFormat;
    image.metadata = info.metadata;
    image.notes = info.notes;
    reader.Read(image.pixels.get(), image.stride, image.alpha.get(), image.height);
    reader.Finish();
    return image;
}

ImageInfo Image::Info() const
{
    ImageInfo info;
    info.width = width;
    info.height = height;
    info.grayscale = grayscale;
    info.alpha = alpha != nullptr;
    info.sourceFormat = sourceFormat;
    info.metadata = metadata;
    info.notes = notes;
    return info;
}

namespace detail {

void CheckStreamSize(DWORD width, DWORD height, DWORD maxDimension)
{
    if (width == 0 || height == 0)
        throw ImageError("invalid image size " + std::to_string(width) + " x " + std::to_string(height));
    if (width > maxDimension || height > maxDimension)
        throw ImageError("image too large: " + std::to_string(width) + " x " + std::to_string(height) +
                         " (at most " + std::to_string(maxDimension) + " pixels a side)");
}

void FlushOutput(FILE* file)
{
    if (std::fflush(file) != 0 || std::ferror(file))
        throw ImageError(std::string("write error: ") + std::strerror(errno));
}

} // namespace detail

bool DetectFormat(const std::string& path, Format* format)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return false;
    unsigned char magic[8] = {};
    const size_t got = std::fread(magic, 1, sizeof magic, file);
    std::fclose(file);
    return FormatFromMagic(magic, got, format);
}

std::unique_ptr<FILE, int (*)(FILE*)> OpenImageFile(const std::string& path)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        throw ImageError(std::string("cannot open: ") + std::strerror(errno));
    std::unique_ptr<FILE, int (*)(FILE*)> closer(file, std::fclose);
    struct stat st;
    if (fstat(fileno(file), &st) == 0 && S_ISDIR(st.st_mode))
        throw ImageError("cannot read: is a directory");
    return closer;
}

Image ReadImage(const std::string& path)
{
    const auto file = OpenImageFile(path);
    return ReadImage(file.get());
}

bool FormatFromPath(const std::string& path, Format* format)
{
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return false;
    const char* ext = path.c_str() + dot;
    static const struct {
        const char* ext;
        Format format;
    } kExtensions[] = {
        {".jpg", Format::Jpeg}, {".jpeg", Format::Jpeg}, {".jpe", Format::Jpeg}, {".jfif", Format::Jpeg},
        {".png", Format::Png},  {".ppm", Format::Ppm},   {".pgm", Format::Pgm},  {".pnm", Format::Pnm},
    };
    for (const auto& entry : kExtensions) {
        if (strcasecmp(ext, entry.ext) == 0) {
            *format = entry.format;
            return true;
        }
    }
    return false;
}

std::unique_ptr<RowWriter> OpenWriter(FILE* file, const ImageInfo& info, Format format, const WriteOptions& options)
{
    switch (format) {
    case Format::Jpeg:
        return detail::OpenJpegWriter(file, info, options);
    case Format::Png:
        return detail::OpenPngWriter(file, info);
    case Format::Ppm:
        return detail::OpenPnmWriter(file, info, false);
    case Format::Pgm:
        if (!info.grayscale)
            throw ImageError("a colour image cannot be written as PGM (use .ppm or .pnm)");
        return detail::OpenPnmWriter(file, info, true);
    case Format::Pnm:
        break;
    }
    return detail::OpenPnmWriter(file, info, info.grayscale);
}

void WriteImage(FILE* file, const Image& image, Format format, const WriteOptions& options)
{
    const std::unique_ptr<RowWriter> writer = OpenWriter(file, image.Info(), format, options);
    writer->Write(image.pixels.get(), image.stride, image.alpha.get(), image.height);
    writer->Finish();
}

} // namespace tonwell::imageio
