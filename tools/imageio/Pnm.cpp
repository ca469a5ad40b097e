// Binary PPM (P6) and PGM (P5) with 8-bit samples.
#include "imageio/Image.h"

#include <cerrno>
#include <cstring>

namespace tonwell::imageio::detail {
namespace {

// Skips whitespace and comments, then reads one decimal header number.
DWORD ReadHeaderNumber(FILE* file, const char* what)
{
    int c = std::getc(file);
    for (;;) {
        if (c == '#') {
            while (c != EOF && c != '\n' && c != '\r')
                c = std::getc(file);
        } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') {
            c = std::getc(file);
        } else {
            break;
        }
    }
    if (c == EOF)
        throw ImageError(std::string("truncated header: no ") + what);
    if (c < '0' || c > '9')
        throw ImageError(std::string("invalid header: the ") + what + " is not a number");
    uint64_t value = 0;
    while (c >= '0' && c <= '9') {
        value = value * 10 + DWORD(c - '0');
        if (value > 0xFFFFFFFFu)
            throw ImageError(std::string("invalid header: the ") + what + " is out of range");
        c = std::getc(file);
    }
    // Exactly one whitespace character separates the header from what follows.
    if (c != EOF && c != ' ' && c != '\t' && c != '\n' && c != '\r' && c != '\v' && c != '\f')
        throw ImageError(std::string("invalid header after the ") + what);
    if (c == EOF)
        throw ImageError("truncated: no pixel data");
    return DWORD(value);
}

void ReadFully(FILE* file, BYTE* data, size_t size)
{
    if (std::fread(data, 1, size, file) != size) {
        if (std::ferror(file))
            throw ImageError(std::string("read error: ") + std::strerror(errno));
        throw ImageError("truncated: the pixel data ends early");
    }
}

} // namespace

Image ReadPnm(FILE* file)
{
    const int p = std::getc(file);
    const int kind = std::getc(file);
    if (p != 'P')
        throw ImageError("not a PPM or PGM file");
    if (kind != '5' && kind != '6') {
        const char* what = kind == '1' || kind == '4' ? "PBM (bitmap)"
                         : kind == '2'                ? "ASCII PGM (P2)"
                         : kind == '3'                ? "ASCII PPM (P3)"
                                                      : "PAM (P7)";
        throw ImageError(std::string(what) + " is not supported; only binary PPM (P6) and PGM (P5)");
    }
    // One header value per call, so that a bad width is reported before the height is read.
    const DWORD width = ReadHeaderNumber(file, "width");
    const DWORD height = ReadHeaderNumber(file, "height");
    const DWORD maxval = ReadHeaderNumber(file, "maximum value");
    if (maxval != 255)
        throw ImageError("maximum sample value " + std::to_string(maxval) + " is not supported; only 255");

    Image image;
    image.sourceFormat = kind == '6' ? Format::Ppm : Format::Pgm;
    image.grayscale = kind == '5';
    AllocatePixels(image, width, height, false);
    for (DWORD y = 0; y < height; ++y) {
        BYTE* row = image.Row(y);
        if (kind == '6') {
            ReadFully(file, row, size_t(width) * 3);
        } else {
            // Read the gray row into the front and widen it in place from the end.
            ReadFully(file, row, width);
            for (DWORD x = width; x-- > 0;)
                row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = row[x];
        }
    }
    return image;
}

void WritePnm(FILE* file, const Image& image, bool gray)
{
    if (std::fprintf(file, "%s\n%u %u\n255\n", gray ? "P5" : "P6", image.width, image.height) < 0)
        throw ImageError(std::string("write error: ") + std::strerror(errno));
    std::unique_ptr<BYTE[]> grayRow;
    if (gray)
        grayRow = std::make_unique_for_overwrite<BYTE[]>(image.width);
    for (DWORD y = 0; y < image.height; ++y) {
        const BYTE* row = image.Row(y);
        size_t size = size_t(image.width) * 3;
        if (gray) {
            // The corrections treat the three channels alike, so any one of them is the gray value.
            for (DWORD x = 0; x < image.width; ++x)
                grayRow[x] = row[3 * x];
            row = grayRow.get();
            size = image.width;
        }
        if (std::fwrite(row, 1, size, file) != size)
            throw ImageError(std::string("write error: ") + std::strerror(errno));
    }
}

} // namespace tonwell::imageio::detail
