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

// The ICC profile, when there is one that can be read. libjpeg-turbo stops at
// a damaged profile with an error rather than a warning, before it allocates
// anything; the pixels are fine, so only the profile is lost.
void ReadProfile(Decoder* d)
{
    if (setjmp(d->err.jump) || !jpeg_read_icc_profile(&d->cinfo, &d->icc, &d->iccLength)) {
        d->icc = nullptr;
        d->iccLength = 0;
    }
}

bool Decode(Decoder* d, Image* image)
{
    if (setjmp(d->err.jump))
        return false;
    jpeg_calc_output_dimensions(&d->cinfo);
    if (d->cinfo.output_width != image->width || d->cinfo.output_height != image->height ||
        d->cinfo.output_components != 3) {
        std::strcpy(d->err.message, "unexpected output layout");
        return false;
    }
    jpeg_start_decompress(&d->cinfo);
    JSAMPROW rows[16];
    while (d->cinfo.output_scanline < d->cinfo.output_height) {
        const JDIMENSION first = d->cinfo.output_scanline;
        JDIMENSION count = d->cinfo.output_height - first;
        if (count > 16)
            count = 16;
        for (JDIMENSION i = 0; i < count; ++i)
            rows[i] = image->Row(first + i);
        jpeg_read_scanlines(&d->cinfo, rows, count);
    }
    jpeg_finish_decompress(&d->cinfo);
    return true;
}

// An APP2 segment of an ICC profile, whether or not the profile could be read.
bool HasProfileMarker(const jpeg_decompress_struct& cinfo)
{
    static const char kIcc[12] = {'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0};
    for (jpeg_saved_marker_ptr marker = cinfo.marker_list; marker; marker = marker->next) {
        if (marker->marker == JPEG_APP0 + 2 && marker->data_length >= 12 && std::memcmp(marker->data, kIcc, 12) == 0)
            return true;
    }
    return false;
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

bool Encode(Encoder* e, FILE* file, const Image* image, int quality, BYTE* grayRow)
{
    if (setjmp(e->err.jump))
        return false;
    jpeg_compress_struct* cinfo = &e->cinfo;
    jpeg_create_compress(cinfo);
    jpeg_stdio_dest(cinfo, file);
    cinfo->image_width = image->width;
    cinfo->image_height = image->height;
    cinfo->input_components = grayRow ? 1 : 3;
    cinfo->in_color_space = grayRow ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(cinfo);
    jpeg_set_quality(cinfo, quality, TRUE);

    const Metadata& metadata = image->metadata;
    if (image->sourceFormat == Format::Jpeg) {
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

    JSAMPROW rows[16];
    while (cinfo->next_scanline < cinfo->image_height) {
        if (grayRow) {
            const BYTE* src = image->Row(cinfo->next_scanline);
            for (DWORD x = 0; x < image->width; ++x)
                grayRow[x] = src[3 * x];
            rows[0] = grayRow;
            jpeg_write_scanlines(cinfo, rows, 1);
            continue;
        }
        const JDIMENSION first = cinfo->next_scanline;
        JDIMENSION count = cinfo->image_height - first;
        if (count > 16)
            count = 16;
        for (JDIMENSION i = 0; i < count; ++i)
            rows[i] = const_cast<BYTE*>(image->Row(first + i)); // libjpeg only reads them
        jpeg_write_scanlines(cinfo, rows, count);
    }
    jpeg_finish_compress(cinfo);
    return true;
}

} // namespace

Image ReadJpeg(FILE* file)
{
    Decoder decoder;
    if (!ReadHeader(&decoder, file))
        throw ImageError(std::string("corrupt JPEG: ") + decoder.err.message);
    jpeg_decompress_struct& cinfo = decoder.cinfo;
    if (cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK)
        throw ImageError("CMYK JPEG images are not supported");
    if (cinfo.num_components != 1 && cinfo.num_components != 3)
        throw ImageError("JPEG with " + std::to_string(cinfo.num_components) + " colour components is not supported");

    Image image;
    image.sourceFormat = Format::Jpeg;
    image.grayscale = cinfo.num_components == 1;
    CopyMarkers(cinfo, image.metadata);
    AllocatePixels(image, cinfo.image_width, cinfo.image_height, false);
    ReadProfile(&decoder);
    // The saved markers go with the decompression's end.
    const bool profileMarker = HasProfileMarker(cinfo);
    cinfo.out_color_space = JCS_RGB; // libjpeg widens grayscale to R = G = B itself
    if (!Decode(&decoder, &image))
        throw ImageError(std::string("corrupt or truncated JPEG: ") + decoder.err.message);
    if (decoder.icc)
        image.metadata.icc.assign(decoder.icc, decoder.icc + decoder.iccLength);
    else if (profileMarker)
        image.notes.push_back("colour profile dropped: it is damaged");
    return image;
}

void WriteJpeg(FILE* file, const Image& image, const WriteOptions& options)
{
    if (options.quality < 1 || options.quality > 100)
        throw ImageError("JPEG quality must be from 1 to 100");
    std::unique_ptr<BYTE[]> grayRow;
    if (image.grayscale)
        grayRow = std::make_unique_for_overwrite<BYTE[]>(image.width);
    Encoder encoder;
    if (!Encode(&encoder, file, &image, options.quality, grayRow.get()))
        throw ImageError(std::string("cannot write JPEG: ") + encoder.err.message);
}

} // namespace tonwell::imageio::detail
