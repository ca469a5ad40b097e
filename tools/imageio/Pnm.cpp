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

class PnmReader final : public RowReader {
public:
    explicit PnmReader(FILE* file) : m_file(file)
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
        CheckStreamSize(width, height, kMaxStreamDimension);
        m_info.width = width;
        m_info.height = height;
        m_info.sourceFormat = kind == '6' ? Format::Ppm : Format::Pgm;
        m_info.grayscale = kind == '5';
    }

    void Read(BYTE* rgb, size_t stride, BYTE*, DWORD rows) override
    {
        if (rows > m_info.height - m_next)
            throw ImageError("read past the last row");
        const DWORD width = m_info.width;
        for (DWORD y = 0; y < rows; ++y) {
            BYTE* row = rgb + y * stride;
            if (!m_info.grayscale) {
                ReadFully(m_file, row, size_t(width) * 3);
            } else {
                // Read the gray row into the front and widen it in place from the end.
                ReadFully(m_file, row, width);
                for (DWORD x = width; x-- > 0;)
                    row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = row[x];
            }
        }
        m_next += rows;
    }

    void Finish() override
    {
        if (m_next != m_info.height)
            throw ImageError("not every row was read");
    }

private:
    FILE* m_file;
    DWORD m_next = 0;
};

class PnmWriter final : public RowWriter {
public:
    PnmWriter(FILE* file, const ImageInfo& info, bool gray) : m_file(file), m_width(info.width), m_height(info.height), m_gray(gray)
    {
        if (std::fprintf(file, "%s\n%u %u\n255\n", gray ? "P5" : "P6", info.width, info.height) < 0)
            throw ImageError(std::string("write error: ") + std::strerror(errno));
        if (gray)
            m_grayRow = std::make_unique_for_overwrite<BYTE[]>(info.width);
    }

    void Write(const BYTE* rgb, size_t stride, const BYTE*, DWORD rows) override
    {
        if (rows > m_height - m_written)
            throw ImageError("cannot write: more rows than the image has");
        for (DWORD y = 0; y < rows; ++y) {
            const BYTE* row = rgb + y * stride;
            size_t size = size_t(m_width) * 3;
            if (m_gray) {
                // The corrections treat the three channels alike, so any one of them is the gray value.
                for (DWORD x = 0; x < m_width; ++x)
                    m_grayRow[x] = row[3 * x];
                row = m_grayRow.get();
                size = m_width;
            }
            if (std::fwrite(row, 1, size, m_file) != size)
                throw ImageError(std::string("write error: ") + std::strerror(errno));
        }
        m_written += rows;
    }

    void Finish() override
    {
        if (m_written != m_height)
            throw ImageError("cannot write: rows are missing");
        FlushOutput(m_file);
    }

private:
    FILE* m_file;
    DWORD m_width, m_height;
    bool m_gray;
    DWORD m_written = 0;
    std::unique_ptr<BYTE[]> m_grayRow;
};

} // namespace

std::unique_ptr<RowReader> OpenPnmReader(FILE* file)
{
    return std::make_unique<PnmReader>(file);
}

std::unique_ptr<RowWriter> OpenPnmWriter(FILE* file, const ImageInfo& info, bool gray)
{
    return std::make_unique<PnmWriter>(file, info, gray);
}

} // namespace tonwell::imageio::detail
