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

// An interlaced image whole, into the rows given.
bool ReadWhole(Reader* r, png_bytepp rows)
{
    if (setjmp(png_jmpbuf(r->png)))
        return false;
    png_read_image(r->png, rows);
    return true;
}

// Rows of a sequential image; scratch: one RGBA row when the image has alpha.
bool ReadSequential(Reader* r, BYTE* rgb, size_t stride, BYTE* alpha, DWORD width, DWORD rows, BYTE* scratch)
{
    if (setjmp(png_jmpbuf(r->png)))
        return false;
    for (DWORD y = 0; y < rows; ++y) {
        if (scratch) {
            png_read_row(r->png, scratch, nullptr);
            SplitAlpha(scratch, rgb + y * stride, alpha + size_t(y) * width, width);
        } else {
            png_read_row(r->png, rgb + y * stride, nullptr);
        }
    }
    return true;
}

bool ReadEnd(Reader* r)
{
    if (setjmp(png_jmpbuf(r->png)))
        return false;
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

class PngReader final : public RowReader {
public:
    explicit PngReader(FILE* file)
    {
        if (!m_reader.Ready())
            throw ImageError("out of memory");
        if (!ReadHeader(&m_reader, file, &m_header))
            throw ImageError(std::string("corrupt PNG: ") + m_reader.messages.text);
        m_info.sourceFormat = Format::Png;
        m_info.grayscale =
            m_header.colorType == PNG_COLOR_TYPE_GRAY || m_header.colorType == PNG_COLOR_TYPE_GRAY_ALPHA;
        if (m_header.bitDepth == 16)
            m_info.notes.push_back("16-bit samples reduced to 8 bits");
        if (m_header.colorType == PNG_COLOR_TYPE_PALETTE)
            m_info.notes.push_back("palette expanded to RGB");
        m_info.alpha = (m_header.colorType & PNG_COLOR_MASK_ALPHA) != 0 || m_header.hasTransparency;
        // The size is checked before libpng is asked for anything that depends on it.
        CheckStreamSize(m_header.width, m_header.height, kMaxStreamDimension);
        m_info.width = m_header.width;
        m_info.height = m_header.height;
        CopyMetadata(m_reader, m_info.metadata);
        if (m_header.interlace != PNG_INTERLACE_NONE)
            m_info.wholeImageBytes = uint64_t(m_info.width) * m_info.height * (m_info.alpha ? 4 : 3) +
                                     uint64_t(m_info.height) * sizeof(png_bytep);
    }

    void Read(BYTE* rgb, size_t stride, BYTE* alpha, DWORD rows) override
    {
        if (!m_started) {
            if (!SetUpTransforms(&m_reader, &m_header))
                throw ImageError(std::string("corrupt PNG: ") + m_reader.messages.text);
            const size_t expected = m_info.alpha ? 4 : 3;
            if (size_t(m_header.channels) != expected || m_header.rowBytes != size_t(m_info.width) * expected)
                throw ImageError("unexpected PNG layout after conversion");
            if (m_header.passes == 1 && m_info.alpha)
                m_scratch = std::make_unique_for_overwrite<BYTE[]>(size_t(m_info.width) * 4);
            m_started = true;
        }
        if (rows > m_info.height - m_next)
            throw ImageError("read past the last row");
        if (m_header.passes == 1) {
            if (!ReadSequential(&m_reader, rgb, stride, alpha, m_info.width, rows, m_scratch.get()))
                throw ImageError(std::string("corrupt or truncated PNG: ") + m_reader.messages.text);
        } else {
            ReadInterlaced(rgb, stride, alpha, rows);
        }
        m_next += rows;
    }

    void Finish() override
    {
        if (!m_started || m_next != m_info.height)
            throw ImageError("not every row was read");
        if (!ReadEnd(&m_reader))
            throw ImageError(std::string("corrupt or truncated PNG: ") + m_reader.messages.text);
    }

private:
    // libpng assembles an interlaced image whole: straight into the caller's
    // rows when it asks for the whole image without alpha, else into a buffer
    // of its own from which the rows are then handed out.
    void ReadInterlaced(BYTE* rgb, size_t stride, BYTE* alpha, DWORD rows)
    {
        const DWORD width = m_info.width;
        const size_t pixel = m_info.alpha ? 4 : 3;
        if (!m_whole) {
            std::unique_ptr<png_bytep[]> pointers = std::make_unique<png_bytep[]>(m_info.height);
            const bool direct = m_next == 0 && rows == m_info.height && !m_info.alpha;
            if (!direct)
                m_whole = std::make_unique_for_overwrite<BYTE[]>(size_t(width) * pixel * m_info.height);
            for (DWORD y = 0; y < m_info.height; ++y)
                pointers[y] = direct ? rgb + y * stride : m_whole.get() + size_t(y) * width * pixel;
            if (!ReadWhole(&m_reader, pointers.get()))
                throw ImageError(std::string("corrupt or truncated PNG: ") + m_reader.messages.text);
            if (direct)
                return;
        }
        for (DWORD y = 0; y < rows; ++y) {
            const BYTE* source = m_whole.get() + size_t(m_next + y) * width * pixel;
            if (m_info.alpha)
                SplitAlpha(source, rgb + y * stride, alpha + size_t(y) * width, width);
            else
                std::memcpy(rgb + y * stride, source, size_t(width) * 3);
        }
    }

    Reader m_reader;
    Header m_header;
    bool m_started = false;
    DWORD m_next = 0;
    std::unique_ptr<BYTE[]> m_scratch; // one RGBA row of a sequential image with alpha
    std::unique_ptr<BYTE[]> m_whole;   // an interlaced image assembled, when read in bands or with alpha
};

struct Writer {
    Messages messages;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &messages, OnError, OnWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    ~Writer() { png_destroy_write_struct(&png, info ? &info : nullptr); }
    bool Ready() const { return png && info; }
};

bool StartEncode(Writer* w, FILE* file, const ImageInfo* image)
{
    if (setjmp(png_jmpbuf(w->png)))
        return false;
    // A profile libpng finds fault with is dropped with a warning, not an error.
    png_set_benign_errors(w->png, 1);
    png_init_io(w->png, file);
    int colorType;
    if (image->grayscale)
        colorType = image->alpha ? PNG_COLOR_TYPE_GRAY_ALPHA : PNG_COLOR_TYPE_GRAY;
    else
        colorType = image->alpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB;
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
    return true;
}

// scratch: one output row, for grayscale or alpha images (else null).
bool WriteRows(Writer* w, const ImageInfo* image, const BYTE* rgbRows, size_t stride, const BYTE* alphaRows,
               DWORD rows, BYTE* scratch)
{
    if (setjmp(png_jmpbuf(w->png)))
        return false;
    for (DWORD y = 0; y < rows; ++y) {
        const BYTE* rgb = rgbRows + y * stride;
        if (!scratch) {
            png_write_row(w->png, rgb);
            continue;
        }
        const BYTE* a = image->alpha ? alphaRows + size_t(y) * image->width : nullptr;
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
    return true;
}

bool EndEncode(Writer* w)
{
    if (setjmp(png_jmpbuf(w->png)))
        return false;
    png_write_end(w->png, w->info);
    return true;
}

class PngWriter final : public RowWriter {
public:
    PngWriter(FILE* file, const ImageInfo& info) : m_file(file), m_info(info)
    {
        if (!m_writer.Ready())
            throw ImageError("out of memory");
        if (info.grayscale || info.alpha)
            m_scratch = std::make_unique_for_overwrite<BYTE[]>(size_t(info.width) * 4);
        if (!StartEncode(&m_writer, file, &m_info))
            throw ImageError(std::string("cannot write PNG: ") + m_writer.messages.text);
    }

    void Write(const BYTE* rgb, size_t stride, const BYTE* alpha, DWORD rows) override
    {
        if (rows > m_info.height - m_written)
            throw ImageError("cannot write PNG: more rows than the image has");
        if (!WriteRows(&m_writer, &m_info, rgb, stride, alpha, rows, m_scratch.get()))
            throw ImageError(std::string("cannot write PNG: ") + m_writer.messages.text);
        m_written += rows;
    }

    void Finish() override
    {
        if (m_written != m_info.height)
            throw ImageError("cannot write PNG: rows are missing");
        if (!EndEncode(&m_writer))
            throw ImageError(std::string("cannot write PNG: ") + m_writer.messages.text);
        FlushOutput(m_file);
    }

private:
    FILE* m_file;
    ImageInfo m_info;
    DWORD m_written = 0;
    std::unique_ptr<BYTE[]> m_scratch;
    Writer m_writer;
};

} // namespace

std::unique_ptr<RowReader> OpenPngReader(FILE* file)
{
    return std::make_unique<PngReader>(file);
}

std::unique_ptr<RowWriter> OpenPngWriter(FILE* file, const ImageInfo& info)
{
    return std::make_unique<PngWriter>(file, info);
}

} // namespace tonwell::imageio::detail
