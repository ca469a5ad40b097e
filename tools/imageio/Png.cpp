// PNG through libpng. Every PNG is read as 8-bit RGB (plus alpha when it has
// any): palettes are expanded, 16-bit samples scaled to 8 bits, grayscale
// widened to R = G = B and narrowed again when written.
//
// libpng reports errors through png_error, which jumps back to the setjmp of
// the running step. As in Jpeg.cpp, the functions that call setjmp hold no
// object with a destructor; what must be released belongs to their caller.
#include "imageio/Image.h"

#include <cstdio>
#include <cstring>

#include <png.h>

namespace tonwell::imageio::detail {
namespace {

struct Messages {
    char text[256] = "";
};

void OnError(png_structp png, png_const_charp message)
{
    auto* messages = static_cast<Messages*>(png_get_error_ptr(png));
    std::snprintf(messages->text, sizeof messages->text, "%s", message);
    png_longjmp(png, 1);
}

// Warnings (unknown chunks, a profile that does not match sRGB, ...) leave the
// pixels intact and are not worth the user's attention.
void OnWarning(png_structp, png_const_charp) {}

// libpng's state for one image, created with it: Ready() is false when
// memory ran out.
struct Reader {
    Messages messages;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &messages, OnError, OnWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    ~Reader() { png_destroy_read_struct(&png, info ? &info : nullptr, nullptr); }
    bool Ready() const { return png && info; }
};

struct Header {
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    int bitDepth = 0;
    int colorType = 0;
    int interlace = 0;
    int passes = 0;
    png_size_t rowBytes = 0;
    int channels = 0;
    bool hasTransparency = false;
};

bool ReadHeader(Reader* r, FILE* file, Header* h)
{
    if (setjmp(png_jmpbuf(r->png)))
        return false;
    png_init_io(r->png, file);
    png_read_info(r->png, r->info);
    png_get_IHDR(r->png, r->info, &h->width, &h->height, &h->bitDepth, &h->colorType, &h->interlace, nullptr, nullptr);
    h->hasTransparency = png_get_valid(r->png, r->info, PNG_INFO_tRNS) != 0;
    return true;
}

bool SetUpTransforms(Reader* r, Header* h)
{
    if (setjmp(png_jmpbuf(r->png)))
        return false;
    if (h->bitDepth == 16)
        png_set_scale_16(r->png);
    if (h->colorType == PNG_COLOR_TYPE_PALETTE)
        png_set_palette_to_rgb(r->png);
    if (h->colorType == PNG_COLOR_TYPE_GRAY && h->bitDepth < 8)
        png_set_expand_gray_1_2_4_to_8(r->png);
    if (h->hasTransparency)
        png_set_tRNS_to_alpha(r->png);
    if (h->colorType == PNG_COLOR_TYPE_GRAY || h->colorType == PNG_COLOR_TYPE_GRAY_ALPHA)
        png_set_gray_to_rgb(r->png);
    h->passes = png_set_interlace_handling(r->png);
    png_read_update_info(r->png, r->info);
    h->rowBytes = png_get_rowbytes(r->png, r->info);
    h->channels = png_get_channels(r->png, r->info);
    return true;
}

void SplitAlpha(const BYTE* rgba, BYTE* rgb, BYTE* alpha, DWORD width)
{
    for (DWORD x = 0; x < width; ++x) {
        rgb[3 * x] = rgba[4 * x];
        rgb[3 * x + 1] = rgba[4 * x + 1];
        rgb[3 * x + 2] = rgba[4 * x + 2];
        alpha[x] = rgba[4 * x + 3];
    }
}

// rows: for an interlaced image, one pointer per row into where libpng
// assembles the whole image; scratch: one RGBA row for a sequential image with alpha.
bool ReadPixels(Reader* r, Image* image, png_bytepp rows, BYTE* scratch, const Header* h)
{
    if (setjmp(png_jmpbuf(r->png)))
        return false;
    if (h->passes > 1) {
        png_read_image(r->png, rows);
    } else {
        for (DWORD y = 0; y < image->height; ++y) {
            if (scratch) {
                png_read_row(r->png, scratch, nullptr);
                SplitAlpha(scratch, image->Row(y), image->alpha.get() + size_t(y) * image->width, image->width);
            } else {
                png_read_row(r->png, image->Row(y), nullptr);
            }
        }
    }
    png_read_end(r->png, nullptr);
    return true;
}

void CopyMetadata(const Reader& r, Metadata& metadata)
{
    png_charp name = nullptr;
    int compression = 0;
    png_bytep profile = nullptr;
    png_uint_32 length = 0;
    if (png_get_iCCP(r.png, r.info, &name, &compression, &profile, &length) && profile && length) {
        metadata.icc.assign(profile, profile + length);
        metadata.iccName = name ? name : "";
    }
#ifdef PNG_eXIf_SUPPORTED
    png_bytep exif = nullptr;
    png_uint_32 exifLength = 0;
    if (png_get_eXIf_1(r.png, r.info, &exifLength, &exif) && exif && exifLength)
        metadata.exif.assign(exif, exif + exifLength);
#endif
}

struct Writer {
    Messages messages;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &messages, OnError, OnWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    ~Writer() { png_destroy_write_struct(&png, info ? &info : nullptr); }
    bool Ready() const { return png && info; }
};

bool Encode(Writer* w, FILE* file, const Image* image, BYTE* scratch)
{
    if (setjmp(png_jmpbuf(w->png)))
        return false;
    // A profile libpng finds fault with is dropped with a warning, not an error.
    png_set_benign_errors(w->png, 1);
    png_init_io(w->png, file);
    const bool alpha = image->alpha != nullptr;
    int colorType;
    if (image->grayscale)
        colorType = alpha ? PNG_COLOR_TYPE_GRAY_ALPHA : PNG_COLOR_TYPE_GRAY;
    else
        colorType = alpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB;
    png_set_IHDR(w->png, w->info, image->width, image->height, 8, colorType, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    const Metadata& metadata = image->metadata;
    if (!metadata.icc.empty())
        png_set_iCCP(w->png, w->info, metadata.iccName.empty() ? "ICC profile" : metadata.iccName.c_str(),
                     PNG_COMPRESSION_TYPE_BASE, metadata.icc.data(), png_uint_32(metadata.icc.size()));
#ifdef PNG_eXIf_SUPPORTED
    if (!metadata.exif.empty())
        png_set_eXIf_1(w->png, w->info, png_uint_32(metadata.exif.size()), const_cast<BYTE*>(metadata.exif.data()));
#endif
    png_write_info(w->png, w->info);
    for (DWORD y = 0; y < image->height; ++y) {
        const BYTE* rgb = image->Row(y);
        if (!scratch) {
            png_write_row(w->png, rgb);
            continue;
        }
        const BYTE* a = alpha ? image->AlphaRow(y) : nullptr;
        BYTE* out = scratch;
        // Grayscale: the corrections treat the three channels alike, so red is the gray value.
        for (DWORD x = 0; x < image->width; ++x) {
            if (image->grayscale) {
                *out++ = rgb[3 * x];
            } else {
                *out++ = rgb[3 * x];
                *out++ = rgb[3 * x + 1];
                *out++ = rgb[3 * x + 2];
            }
            if (a)
                *out++ = a[x];
        }
        png_write_row(w->png, scratch);
    }
    png_write_end(w->png, w->info);
    return true;
}

} // namespace

Image ReadPng(FILE* file)
{
    Reader reader;
    if (!reader.Ready())
        throw ImageError("out of memory");

    Header header;
    if (!ReadHeader(&reader, file, &header))
        throw ImageError(std::string("corrupt PNG: ") + reader.messages.text);

    Image image;
    image.sourceFormat = Format::Png;
    image.grayscale = header.colorType == PNG_COLOR_TYPE_GRAY || header.colorType == PNG_COLOR_TYPE_GRAY_ALPHA;
    if (header.bitDepth == 16)
        image.notes.push_back("16-bit samples reduced to 8 bits");
    if (header.colorType == PNG_COLOR_TYPE_PALETTE)
        image.notes.push_back("palette expanded to RGB");
    // The size is checked before libpng is asked for anything that depends on it.
    const bool alpha = (header.colorType & PNG_COLOR_MASK_ALPHA) != 0 || header.hasTransparency;
    AllocatePixels(image, header.width, header.height, alpha);
    CopyMetadata(reader, image.metadata);

    if (!SetUpTransforms(&reader, &header))
        throw ImageError(std::string("corrupt PNG: ") + reader.messages.text);
    const int expected = alpha ? 4 : 3;
    if (header.channels != expected || header.rowBytes != size_t(header.width) * expected)
        throw ImageError("unexpected PNG layout after conversion");

    std::unique_ptr<BYTE[]> whole;       // an interlaced image with alpha, assembled before splitting
    std::unique_ptr<png_bytep[]> rows;   // an interlaced image's row pointers
    std::unique_ptr<BYTE[]> scratch;     // one RGBA row of a sequential image
    if (header.passes > 1) {
        rows = std::make_unique<png_bytep[]>(image.height);
        if (alpha)
            whole = std::make_unique_for_overwrite<BYTE[]>(size_t(image.width) * 4 * image.height);
        for (DWORD y = 0; y < image.height; ++y)
            rows[y] = alpha ? whole.get() + size_t(y) * image.width * 4 : image.Row(y);
    } else if (alpha) {
        scratch = std::make_unique_for_overwrite<BYTE[]>(size_t(image.width) * 4);
    }
    if (!ReadPixels(&reader, &image, rows.get(), scratch.get(), &header))
        throw ImageError(std::string("corrupt or truncated PNG: ") + reader.messages.text);
    if (whole) {
        for (DWORD y = 0; y < image.height; ++y)
            SplitAlpha(rows[y], image.Row(y), image.alpha.get() + size_t(y) * image.width, image.width);
    }
    return image;
}

void WritePng(FILE* file, const Image& image)
{
    Writer writer;
    if (!writer.Ready())
        throw ImageError("out of memory");
    std::unique_ptr<BYTE[]> scratch;
    if (image.grayscale || image.alpha)
        scratch = std::make_unique_for_overwrite<BYTE[]>(size_t(image.width) * 4);
    if (!Encode(&writer, file, &image, scratch.get()))
        throw ImageError(std::string("cannot write PNG: ") + writer.messages.text);
}

} // namespace tonwell::imageio::detail
