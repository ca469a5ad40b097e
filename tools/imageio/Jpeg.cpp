// JPEG through libjpeg-turbo: decoded straight into the RGB rows and encoded
// straight from them, keeping the EXIF (APP1) and ICC (APP2) markers.
//
// libjpeg reports errors by calling error_exit, which must not return; ours
// jumps back with longjmp. Every function below that calls setjmp holds no
// object with a destructor, and everything that must be released lives in a
// struct owned by its caller, so the jump skips no clean-up.
#include "imageio/Image.h"

#include <csetjmp>
#include <cstdlib>
#include <cstring>

// jpeglib.h needs FILE and size_t declared first.
#include <jerror.h>
#include <jpeglib.h>

namespace tonwell::imageio::detail {
namespace {

struct ErrorManager {
    jpeg_error_mgr pub;
    jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void ErrorExit(j_common_ptr cinfo)
{
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    std::longjmp(err->jump, 1);
}

// libjpeg goes on after corrupt or missing data with a warning and fills in
// grey; that would silently write a damaged photo, so such warnings fail the
// image. Only warnings that leave the pixels intact are let through.
void EmitMessage(j_common_ptr cinfo, int level)
{
    if (level >= 0)
        return; // trace messages
    switch (cinfo->err->msg_code) {
    case JWRN_EXTRANEOUS_DATA: // stray bytes between markers, common in camera files
    case JWRN_ADOBE_XFORM:
    case JWRN_JFIF_MAJOR:
    case JWRN_BOGUS_ICC:       // the profile is dropped; the pixels are fine
        cinfo->err->num_warnings++;
        return;
    default:
        ErrorExit(cinfo);
    }
}

void InitErrorManager(ErrorManager& err)
{
    jpeg_std_error(&err.pub);
    err.pub.error_exit = ErrorExit;
    err.pub.emit_message = EmitMessage;
    err.message[0] = '\0';
}

struct Decoder {
    jpeg_decompress_struct cinfo;
    ErrorManager err;
    JOCTET* icc = nullptr;
    unsigned iccLength = 0;

    Decoder()
    {
        std::memset(&cinfo, 0, sizeof cinfo);
        InitErrorManager(err);
        cinfo.err = &err.pub;
    }
    ~Decoder()
    {
        jpeg_destroy_decompress(&cinfo);
        std::free(icc);
    }
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;
};

bool ReadHeader(Decoder* d, FILE* file)
{
    if (setjmp(d->err.jump))
        return false;
    jpeg_create_decompress(&d->cinfo);
    jpeg_stdio_src(&d->cinfo, file);
    jpeg_save_markers(&d->cinfo, JPEG_APP0 + 1, 0xFFFF);
    jpeg_save_markers(&d->cinfo, JPEG_APP0 + 2, 0xFFFF);
    jpeg_read_header(&d->cinfo, TRUE);
    return true;
}

bool ReadIcc(Decoder* d)
{
    if (setjmp(d->err.jump))
        return false;
    if (!jpeg_read_icc_profile(&d->cinfo, &d->icc, &d->iccLength)) {
        d->icc = nullptr;
        d->iccLength = 0;
    }
    return true;
}

bool StartDecode(Decoder* d)
{
    if (setjmp(d->err.jump))
        return false;
    jpeg_calc_output_dimensions(&d->cinfo);
    if (d->cinfo.output_components != 3) {
        std::strcpy(d->err.message, "unexpected output layout");
        return false;
    }
    jpeg_start_decompress(&d->cinfo);
    return true;
}

bool ReadScanlines(Decoder* d, BYTE* rgb, size_t stride, DWORD rows)
{
    if (setjmp(d->err.jump))
        return false;
    JSAMPROW pointers[16];
    for (DWORD done = 0; done < rows;) {
        DWORD count = rows - done;
        if (count > 16)
            count = 16;
        for (DWORD i = 0; i < count; ++i)
            pointers[i] = rgb + (done + i) * stride;
        done += jpeg_read_scanlines(&d->cinfo, pointers, count);
    }
    return true;
}

bool FinishDecode(Decoder* d)
{
    if (setjmp(d->err.jump))
        return false;
    jpeg_finish_decompress(&d->cinfo);
    return true;
}

void CopyMarkers(const jpeg_decompress_struct& cinfo, Metadata& metadata)
{
    static const char kExif[6] = {'E', 'x', 'i', 'f', 0, 0};
    for (jpeg_saved_marker_ptr marker = cinfo.marker_list; marker; marker = marker->next) {
        if (marker->marker != JPEG_APP0 + 1)
            continue; // ICC (APP2) is read whole by jpeg_read_icc_profile
        if (marker->data_length > 6 && std::memcmp(marker->data, kExif, 6) == 0 && metadata.exif.empty())
            metadata.exif.assign(marker->data + 6, marker->data + marker->data_length);
        else
            metadata.otherApp1.emplace_back(marker->data, marker->data + marker->data_length);
    }
    metadata.jfif = cinfo.saw_JFIF_marker;
    metadata.densityUnit = cinfo.density_unit;
    metadata.xDensity = cinfo.X_density;
    metadata.yDensity = cinfo.Y_density;
}

class JpegReader final : public RowReader {
public:
    explicit JpegReader(FILE* file)
    {
        if (!ReadHeader(&m_decoder, file))
            throw ImageError(std::string("corrupt JPEG: ") + m_decoder.err.message);
        jpeg_decompress_struct& cinfo = m_decoder.cinfo;
        if (cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK)
            throw ImageError("CMYK JPEG images are not supported");
        if (cinfo.num_components != 1 && cinfo.num_components != 3)
            throw ImageError("JPEG with " + std::to_string(cinfo.num_components) +
                             " colour components is not supported");
        // libjpeg itself refuses sides above 65500.
        CheckStreamSize(cinfo.image_width, cinfo.image_height, kMaxStreamDimension);
        m_info.width = cinfo.image_width;
        m_info.height = cinfo.image_height;
        m_info.sourceFormat = Format::Jpeg;
        m_info.grayscale = cinfo.num_components == 1;
        CopyMarkers(cinfo, m_info.metadata);
        if (!ReadIcc(&m_decoder))
            throw ImageError(std::string("corrupt JPEG: ") + m_decoder.err.message);
        if (m_decoder.icc)
            m_info.metadata.icc.assign(m_decoder.icc, m_decoder.icc + m_decoder.iccLength);
        // A file of several scans is decoded from coefficients held for the whole image.
        if (jpeg_has_multiple_scans(&cinfo)) {
            uint64_t blocks = 0;
            for (int c = 0; c < cinfo.num_components; ++c)
                blocks += uint64_t(cinfo.comp_info[c].width_in_blocks + 1) * (cinfo.comp_info[c].height_in_blocks + 1);
            m_info.wholeImageBytes = blocks * sizeof(JBLOCK);
        }
        cinfo.out_color_space = JCS_RGB; // libjpeg widens grayscale to R = G = B itself
    }

    void Read(BYTE* rgb, size_t stride, BYTE*, DWORD rows) override
    {
        // Started only now, so that nothing is allocated for an image the caller refuses.
        if (!m_started) {
            if (!StartDecode(&m_decoder))
                throw ImageError(std::string("corrupt or truncated JPEG: ") + m_decoder.err.message);
            m_started = true;
        }
        if (rows > m_decoder.cinfo.output_height - m_decoder.cinfo.output_scanline)
            throw ImageError("read past the last row");
        if (!ReadScanlines(&m_decoder, rgb, stride, rows))
            throw ImageError(std::string("corrupt or truncated JPEG: ") + m_decoder.err.message);
    }

    void Finish() override
    {
        if (!m_started || m_decoder.cinfo.output_scanline != m_decoder.cinfo.output_height)
            throw ImageError("not every row was read");
        if (!FinishDecode(&m_decoder))
            throw ImageError(std::string("corrupt or truncated JPEG: ") + m_decoder.err.message);
    }

private:
    Decoder m_decoder;
    bool m_started = false;
};

struct Encoder {
    jpeg_compress_struct cinfo;
    ErrorManager err;

    Encoder()
    {
        std::memset(&cinfo, 0, sizeof cinfo);
        InitErrorManager(err);
        cinfo.err = &err.pub;
    }
    ~Encoder() { jpeg_destroy_compress(&cinfo); }
    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;
};

bool StartEncode(Encoder* e, FILE* file, const ImageInfo* info, int quality)
{
    if (setjmp(e->err.jump))
        return false;
    jpeg_compress_struct* cinfo = &e->cinfo;
    jpeg_create_compress(cinfo);
    jpeg_stdio_dest(cinfo, file);
    cinfo->image_width = info->width;
    cinfo->image_height = info->height;
    cinfo->input_components = info->grayscale ? 1 : 3;
    cinfo->in_color_space = info->grayscale ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(cinfo);
    jpeg_set_quality(cinfo, quality, TRUE);

    const Metadata& metadata = info->metadata;
    if (info->sourceFormat == Format::Jpeg) {
        // Keep the file's own choice: camera files carry EXIF and no JFIF header.
        cinfo->write_JFIF_header = metadata.jfif;
        if (metadata.jfif) {
            cinfo->density_unit = metadata.densityUnit;
            cinfo->X_density = metadata.xDensity;
            cinfo->Y_density = metadata.yDensity;
        }
    }
    jpeg_start_compress(cinfo, TRUE);

    // An APP1 segment holds at most 65533 bytes; a larger EXIF block cannot be a valid one.
    if (!metadata.exif.empty() && metadata.exif.size() + 6 <= 65533) {
        static const char kExif[6] = {'E', 'x', 'i', 'f', 0, 0};
        jpeg_write_m_header(cinfo, JPEG_APP0 + 1, unsigned(metadata.exif.size() + 6));
        for (char c : kExif)
            jpeg_write_m_byte(cinfo, c);
        for (BYTE b : metadata.exif)
            jpeg_write_m_byte(cinfo, b);
    }
    for (const auto& segment : metadata.otherApp1) {
        if (segment.size() <= 65533)
            jpeg_write_marker(cinfo, JPEG_APP0 + 1, segment.data(), unsigned(segment.size()));
    }
    if (!metadata.icc.empty())
        jpeg_write_icc_profile(cinfo, metadata.icc.data(), unsigned(metadata.icc.size()));
    return true;
}

// grayRow: one row of gray samples for a grayscale image, else null.
bool WriteScanlines(Encoder* e, const BYTE* rgb, size_t stride, DWORD rows, BYTE* grayRow)
{
    if (setjmp(e->err.jump))
        return false;
    jpeg_compress_struct* cinfo = &e->cinfo;
    JSAMPROW pointers[16];
    for (DWORD done = 0; done < rows;) {
        if (grayRow) {
            // The corrections treat the three channels alike, so red is the gray value.
            const BYTE* src = rgb + done * stride;
            for (DWORD x = 0; x < cinfo->image_width; ++x)
                grayRow[x] = src[3 * x];
            pointers[0] = grayRow;
            done += jpeg_write_scanlines(cinfo, pointers, 1);
            continue;
        }
        DWORD count = rows - done;
        if (count > 16)
            count = 16;
        for (DWORD i = 0; i < count; ++i)
            pointers[i] = const_cast<BYTE*>(rgb + (done + i) * stride); // libjpeg only reads them
        done += jpeg_write_scanlines(cinfo, pointers, count);
    }
    return true;
}

bool FinishEncode(Encoder* e)
{
    if (setjmp(e->err.jump))
        return false;
    jpeg_finish_compress(&e->cinfo);
    return true;
}

class JpegWriter final : public RowWriter {
public:
    JpegWriter(FILE* file, const ImageInfo& info, const WriteOptions& options) : m_file(file)
    {
        if (options.quality < 1 || options.quality > 100)
            throw ImageError("JPEG quality must be from 1 to 100");
        if (info.grayscale)
            m_grayRow = std::make_unique_for_overwrite<BYTE[]>(info.width);
        if (!StartEncode(&m_encoder, file, &info, options.quality))
            throw ImageError(std::string("cannot write JPEG: ") + m_encoder.err.message);
    }

    void Write(const BYTE* rgb, size_t stride, const BYTE*, DWORD rows) override
    {
        if (rows > m_encoder.cinfo.image_height - m_encoder.cinfo.next_scanline)
            throw ImageError("cannot write JPEG: more rows than the image has");
        if (!WriteScanlines(&m_encoder, rgb, stride, rows, m_grayRow.get()))
            throw ImageError(std::string("cannot write JPEG: ") + m_encoder.err.message);
    }

    void Finish() override
    {
        if (m_encoder.cinfo.next_scanline != m_encoder.cinfo.image_height)
            throw ImageError("cannot write JPEG: rows are missing");
        if (!FinishEncode(&m_encoder))
            throw ImageError(std::string("cannot write JPEG: ") + m_encoder.err.message);
        FlushOutput(m_file);
    }

private:
    FILE* m_file;
    std::unique_ptr<BYTE[]> m_grayRow;
    Encoder m_encoder;
};

} // namespace

std::unique_ptr<RowReader> OpenJpegReader(FILE* file)
{
    return std::make_unique<JpegReader>(file);
}

std::unique_ptr<RowWriter> OpenJpegWriter(FILE* file, const ImageInfo& info, const WriteOptions& options)
{
    return std::make_unique<JpegWriter>(file, info, options);
}

} // namespace tonwell::imageio::detail
