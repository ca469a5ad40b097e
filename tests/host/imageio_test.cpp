// Reading and writing images: round trips of every format, what each keeps
// (alpha, grayscale, EXIF and ICC markers), and damaged or absurd input.
#include "host_test_util.h"
#include "machine_root.h"

#include <png.h>
#include <zlib.h>
// jpeglib.h needs FILE and size_t declared first.
#include <cstdio>
#include <jpeglib.h>

#include <random>

namespace tonwell::test {
namespace {

using imageio::ImageError;

class ImageIoTest : public MachineRootFixture {
protected:
    fs::path Path(const std::string& name) const { return Root() / name; }
};

void ExpectSamePixels(const Image& a, const Image& b)
{
    ASSERT_EQ(a.width, b.width);
    ASSERT_EQ(a.height, b.height);
    for (DWORD y = 0; y < a.height; ++y)
        ASSERT_EQ(0, std::memcmp(a.Row(y), b.Row(y), size_t(a.width) * 3)) << "row " << y;
}

int MaxDifference(const Image& a, const Image& b)
{
    int worst = 0;
    for (DWORD y = 0; y < a.height; ++y)
        for (DWORD x = 0; x < a.width * 3; ++x)
            worst = std::max(worst, std::abs(int(a.Row(y)[x]) - int(b.Row(y)[x])));
    return worst;
}

TEST_F(ImageIoTest, LosslessFormatsRoundTripExactly)
{
    const Image colour = MakePattern(37, 23);
    const Image gray = MakePattern(37, 23, true);
    struct Case {
        const char* name;
        const Image* image;
        Format format;
        Format expectedSource;
    } cases[] = {
        {"c.ppm", &colour, Format::Ppm, Format::Ppm}, {"g.pgm", &gray, Format::Pgm, Format::Pgm},
        {"c.png", &colour, Format::Png, Format::Png}, {"g.png", &gray, Format::Png, Format::Png},
        {"g.pnm", &gray, Format::Pnm, Format::Pgm},   {"c.pnm", &colour, Format::Pnm, Format::Ppm},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WriteImageFile(Path(c.name), *c.image, c.format);
        const Image back = imageio::ReadImage(Path(c.name).string());
        EXPECT_EQ(back.sourceFormat, c.expectedSource);
        EXPECT_EQ(back.grayscale, c.image->grayscale);
        EXPECT_EQ(back.stride % 4, 0u);
        EXPECT_GE(back.stride, back.width * 3);
        ExpectSamePixels(*c.image, back);
    }
    // Grayscale files really are one channel on disk.
    EXPECT_EQ(ReadBytes(Path("g.pgm")).substr(0, 2), "P5");
    EXPECT_EQ(ReadBytes(Path("g.pgm")).size(), std::string("P5\n37 23\n255\n").size() + 37 * 23);
}

TEST_F(ImageIoTest, JpegRoundTripIsCloseAndKeepsGrayscale)
{
    const Image colour = MakeImage(64, 48, [](DWORD x, DWORD y, BYTE* p) {
        p[0] = BYTE(x * 4), p[1] = BYTE(y * 5), p[2] = BYTE(128);
    });
    WriteImageFile(Path("c.jpg"), colour, Format::Jpeg, 95);
    const Image back = imageio::ReadImage(Path("c.jpg").string());
    EXPECT_EQ(back.sourceFormat, Format::Jpeg);
    EXPECT_FALSE(back.grayscale);
    EXPECT_LE(MaxDifference(colour, back), 12);

    const Image gray = MakeImage(
        40, 40, [](DWORD x, DWORD y, BYTE* p) { p[0] = p[1] = p[2] = BYTE(x * 3 + y * 2); }, true);
    WriteImageFile(Path("g.jpg"), gray, Format::Jpeg, 95);
    const std::string bytes = ReadBytes(Path("g.jpg"));
    // SOF0 with one component: the file itself is grayscale.
    const size_t sof = bytes.find("\xFF\xC0");
    ASSERT_NE(sof, std::string::npos);
    EXPECT_EQ(bytes[sof + 9], 1);
    const Image grayBack = imageio::ReadImage(Path("g.jpg").string());
    EXPECT_TRUE(grayBack.grayscale);
    EXPECT_LE(MaxDifference(gray, grayBack), 4);
    for (DWORD y = 0; y < grayBack.height; ++y)
        for (DWORD x = 0; x < grayBack.width; ++x) {
            const BYTE* p = grayBack.Row(y) + 3 * x;
            ASSERT_TRUE(p[0] == p[1] && p[1] == p[2]);
        }
}

// The APPn segments of a JPEG file, walked independently of the reader.
std::vector<std::pair<int, std::string>> JpegSegments(const std::string& file)
{
    std::vector<std::pair<int, std::string>> segments;
    size_t pos = 2;
    while (pos + 4 <= file.size() && static_cast<unsigned char>(file[pos]) == 0xFF) {
        const int marker = static_cast<unsigned char>(file[pos + 1]);
        if (marker == 0xDA)
            break;
        const size_t length = (size_t(static_cast<unsigned char>(file[pos + 2])) << 8) |
                              static_cast<unsigned char>(file[pos + 3]);
        segments.emplace_back(marker, file.substr(pos + 4, length - 2));
        pos += 2 + length;
    }
    return segments;
}

TEST_F(ImageIoTest, JpegKeepsExifXmpAndMultiSegmentIccProfile)
{
    Image image = MakePattern(32, 32);
    image.metadata.exif = {'M', 'M', 0, 42, 0, 0, 0, 8, 0, 0, 9, 8, 7};
    const std::string xmp = std::string("http://ns.adobe.com/xap/1.0/") + '\0' + "<x:xmpmeta/>";
    image.metadata.otherApp1.emplace_back(xmp.begin(), xmp.end());
    image.metadata.icc.resize(70000); // more than one APP2 segment holds
    for (size_t i = 0; i < image.metadata.icc.size(); ++i)
        image.metadata.icc[i] = BYTE(i * 31 + 7);
    WriteImageFile(Path("m.jpg"), image, Format::Jpeg);

    const auto segments = JpegSegments(ReadBytes(Path("m.jpg")));
    int exif = 0, xmpCount = 0, icc = 0;
    for (const auto& [marker, data] : segments) {
        if (marker == 0xE1 && data.compare(0, 6, std::string("Exif\0\0", 6)) == 0)
            ++exif;
        if (marker == 0xE1 && data == xmp)
            ++xmpCount;
        if (marker == 0xE2 && data.compare(0, 12, std::string("ICC_PROFILE\0", 12)) == 0)
            ++icc;
    }
    EXPECT_EQ(exif, 1);
    EXPECT_EQ(xmpCount, 1);
    EXPECT_EQ(icc, 2);

    // Read and written again, as `tonwell fix` does, everything survives.
    Image back = imageio::ReadImage(Path("m.jpg").string());
    EXPECT_EQ(back.metadata.exif, image.metadata.exif);
    EXPECT_EQ(back.metadata.icc, image.metadata.icc);
    ASSERT_EQ(back.metadata.otherApp1.size(), 1u);
    WriteImageFile(Path("m2.jpg"), back, Format::Jpeg);
    const Image again = imageio::ReadImage(Path("m2.jpg").string());
    EXPECT_EQ(again.metadata.exif, image.metadata.exif);
    EXPECT_EQ(again.metadata.icc, image.metadata.icc);
    EXPECT_EQ(again.metadata.otherApp1, image.metadata.otherApp1);

    // EXIF also travels to PNG and back.
    WriteImageFile(Path("m.png"), back, Format::Png);
    EXPECT_EQ(imageio::ReadImage(Path("m.png").string()).metadata.exif, image.metadata.exif);
}

// Writes a PNG with libpng directly, in layouts our writer never produces.
void WriteRawPng(const fs::path& path, png_uint_32 width, png_uint_32 height, int depth, int colorType,
                 int interlace, const std::vector<BYTE>& pixels, const std::vector<png_color>& palette = {},
                 const std::vector<BYTE>& trns = {})
{
    FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    ASSERT_EQ(setjmp(png_jmpbuf(png)), 0);
    png_init_io(png, file);
    png_set_IHDR(png, info, width, height, depth, colorType, interlace, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    if (!palette.empty())
        png_set_PLTE(png, info, palette.data(), int(palette.size()));
    if (!trns.empty())
        png_set_tRNS(png, info, trns.data(), int(trns.size()), nullptr);
    png_write_info(png, info);
    const size_t rowBytes = png_get_rowbytes(png, info);
    std::vector<png_bytep> rows(height);
    for (png_uint_32 y = 0; y < height; ++y)
        rows[y] = const_cast<BYTE*>(pixels.data()) + y * rowBytes;
    png_write_image(png, rows.data());
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
}

TEST_F(ImageIoTest, PngAlphaIsKeptApartAndWrittenBackUntouched)
{
    const DWORD w = 19, h = 11;
    std::vector<BYTE> rgba(w * h * 4);
    for (size_t i = 0; i < rgba.size(); ++i)
        rgba[i] = BYTE(i * 13 + 5);
    for (int interlace : {PNG_INTERLACE_NONE, PNG_INTERLACE_ADAM7}) {
        SCOPED_TRACE(interlace);
        WriteRawPng(Path("a.png"), w, h, 8, PNG_COLOR_TYPE_RGB_ALPHA, interlace, rgba);
        Image image = imageio::ReadImage(Path("a.png").string());
        ASSERT_TRUE(image.alpha);
        for (DWORD y = 0; y < h; ++y)
            for (DWORD x = 0; x < w; ++x) {
                const BYTE* src = &rgba[(y * w + x) * 4];
                ASSERT_EQ(0, std::memcmp(image.Row(y) + 3 * x, src, 3));
                ASSERT_EQ(image.AlphaRow(y)[x], src[3]);
            }
        // Change the colour as a correction would; the alpha must come out as it went in.
        for (DWORD y = 0; y < h; ++y)
            for (DWORD x = 0; x < w * 3; ++x)
                image.Row(y)[x] = BYTE(255 - image.Row(y)[x]);
        WriteImageFile(Path("b.png"), image, Format::Png);
        const Image back = imageio::ReadImage(Path("b.png").string());
        ASSERT_TRUE(back.alpha);
        EXPECT_EQ(0, std::memcmp(back.alpha.get(), image.alpha.get(), w * h));
        ExpectSamePixels(image, back);
    }
}

TEST_F(ImageIoTest, PaletteSixteenBitAndLowDepthGrayPngsAreExpandedWithNotes)
{
    // Palette with transparency: RGB plus alpha.
    const std::vector<png_color> palette = {{10, 20, 30}, {200, 100, 50}};
    WriteRawPng(Path("p.png"), 4, 2, 8, PNG_COLOR_TYPE_PALETTE, PNG_INTERLACE_NONE, {0, 1, 1, 0, 1, 0, 0, 1},
                palette, {255, 0});
    const Image p = imageio::ReadImage(Path("p.png").string());
    EXPECT_FALSE(p.grayscale);
    ASSERT_TRUE(p.alpha);
    EXPECT_EQ(p.Row(0)[3], 200);
    EXPECT_EQ(p.AlphaRow(0)[0], 255);
    EXPECT_EQ(p.AlphaRow(0)[1], 0);
    ASSERT_EQ(p.notes.size(), 1u);
    EXPECT_NE(p.notes[0].find("palette"), std::string::npos);

    // 16-bit RGB: scaled to 8 bits (0xFFFF -> 255, 0x8080 -> 128).
    WriteRawPng(Path("s.png"), 2, 1, 16, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                {0xFF, 0xFF, 0x80, 0x80, 0, 0, 0, 0, 0x12, 0x34, 0xFF, 0xFF});
    const Image s = imageio::ReadImage(Path("s.png").string());
    EXPECT_EQ(s.Row(0)[0], 255);
    EXPECT_EQ(s.Row(0)[1], 128);
    EXPECT_EQ(s.Row(0)[5], 255);
    ASSERT_EQ(s.notes.size(), 1u);
    EXPECT_NE(s.notes[0].find("16-bit"), std::string::npos);

    // 1-bit gray: widened to 0 and 255, still grayscale.
    WriteRawPng(Path("b.png"), 8, 1, 1, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, {0xA0});
    const Image b = imageio::ReadImage(Path("b.png").string());
    EXPECT_TRUE(b.grayscale);
    EXPECT_EQ(b.Row(0)[0], 255);
    EXPECT_EQ(b.Row(0)[3], 0);
    EXPECT_EQ(b.Row(0)[6], 255);
}

std::string ExpectReadError(const fs::path& path)
{
    try {
        imageio::ReadImage(path.string());
    } catch (const ImageError& e) {
        return e.what();
    }
    ADD_FAILURE() << path << " was read without an error";
    return {};
}

std::string PngChunk(const char* type, const std::string& body)
{
    std::string chunk;
    const uint32_t length = uint32_t(body.size());
    for (int shift = 24; shift >= 0; shift -= 8)
        chunk += char((length >> shift) & 0xFF);
    chunk += std::string(type, 4) + body;
    uLong crc = crc32(0, reinterpret_cast<const Bytef*>(type), 4);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(body.data()), uInt(body.size()));
    for (int shift = 24; shift >= 0; shift -= 8)
        chunk += char((crc >> shift) & 0xFF);
    return chunk;
}

// A progressive JPEG, which our writer never produces, written with libjpeg directly.
void WriteProgressiveJpeg(const fs::path& path, const Image& image)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    jpeg_compress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, file);
    cinfo.image_width = image.width;
    cinfo.image_height = image.height;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_simple_progression(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<BYTE*>(image.Row(cinfo.next_scanline));
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::fclose(file);
}

// Reads a file with OpenReader in bands of `band` rows into a whole image.
Image ReadInBands(const fs::path& path, DWORD band, uint64_t* wholeImageBytes)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    EXPECT_NE(file, nullptr);
    std::unique_ptr<FILE, int (*)(FILE*)> closer(file, std::fclose);
    const auto reader = imageio::OpenReader(file);
    const imageio::ImageInfo& info = reader->Info();
    *wholeImageBytes = info.wholeImageBytes;
    Image image;
    imageio::AllocatePixels(image, info.width, info.height, info.alpha);
    image.grayscale = info.grayscale;
    image.sourceFormat = info.sourceFormat;
    image.metadata = info.metadata;
    image.notes = info.notes;
    for (DWORD y = 0; y < info.height; y += band) {
        const DWORD rows = std::min(band, info.height - y);
        reader->Read(image.Row(y), image.stride, info.alpha ? image.alpha.get() + size_t(y) * info.width : nullptr,
                     rows);
    }
    reader->Finish();
    return image;
}

// What the writer for format makes of the image fed in bands of `band` rows.
std::string WriteInBands(const fs::path& path, const Image& image, Format format, DWORD band)
{
    {
        imageio::OutputFile out(path.string());
        const auto writer = imageio::OpenWriter(out.Stream(), image.Info(), format, imageio::WriteOptions{85});
        for (DWORD y = 0; y < image.height; y += band)
            writer->Write(image.Row(y), image.stride, image.alpha ? image.AlphaRow(y) : nullptr,
                          std::min(band, image.height - y));
        writer->Finish();
        out.Commit();
    }
    return ReadBytes(path);
}

TEST_F(ImageIoTest, BandsReadAndWriteTheBytesOfTheWholeImage)
{
    std::vector<BYTE> rgba(29 * 17 * 4);
    for (size_t i = 0; i < rgba.size(); ++i)
        rgba[i] = BYTE(i * 7 + i / 13);
    WriteRawPng(Path("interlaced.png"), 29, 17, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_ADAM7, rgba);
    WriteRawPng(Path("interlaced-alpha.png"), 29, 17, 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_ADAM7, rgba);
    WriteRawPng(Path("alpha.png"), 29, 17, 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE, rgba);
    WriteRawPng(Path("deep.png"), 29, 17, 16, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, rgba);
    WriteRawPng(Path("palette.png"), 29, 17, 8, PNG_COLOR_TYPE_PALETTE, PNG_INTERLACE_NONE,
                std::vector<BYTE>(rgba.begin(), rgba.begin() + 29 * 17), std::vector<png_color>(256, {9, 99, 199}),
                {7, 77});
    Image photo = MakePattern(45, 31);
    photo.metadata.exif = {'M', 'M', 0, 42, 0, 0, 0, 8};
    photo.metadata.icc.assign(70000, 0x33); // more than one APP2 segment
    WriteImageFile(Path("photo.jpg"), photo, Format::Jpeg);
    WriteProgressiveJpeg(Path("progressive.jpg"), photo);
    WriteImageFile(Path("gray.jpg"), MakePattern(45, 31, true), Format::Jpeg);
    WriteImageFile(Path("rgb.ppm"), photo, Format::Ppm);
    WriteImageFile(Path("gray.pgm"), MakePattern(45, 31, true), Format::Pgm);
    WriteImageFile(Path("gray.png"), MakePattern(45, 31, true), Format::Png);

    for (const char* name : {"interlaced.png", "interlaced-alpha.png", "alpha.png", "deep.png", "palette.png",
                             "photo.jpg", "progressive.jpg", "gray.jpg", "rgb.ppm", "gray.pgm", "gray.png"}) {
        SCOPED_TRACE(name);
        const Image whole = imageio::ReadImage(Path(name).string());
        const bool wholeDecoder = std::string(name).find("interlaced") == 0 || std::string(name) == "progressive.jpg";
        for (DWORD band : {1u, 5u, 1000u}) {
            SCOPED_TRACE(band);
            uint64_t decoderBytes = 0;
            const Image bands = ReadInBands(Path(name), band, &decoderBytes);
            ExpectSamePixels(bands, whole);
            EXPECT_EQ(decoderBytes > 0, wholeDecoder);
            ASSERT_EQ(bands.alpha != nullptr, whole.alpha != nullptr);
            if (whole.alpha) {
                EXPECT_EQ(0, std::memcmp(bands.alpha.get(), whole.alpha.get(), size_t(whole.width) * whole.height));
            }
            EXPECT_EQ(bands.grayscale, whole.grayscale);
            EXPECT_EQ(bands.metadata.icc, whole.metadata.icc);
            EXPECT_EQ(bands.metadata.exif, whole.metadata.exif);
            EXPECT_EQ(bands.notes, whole.notes);
        }
        for (Format format : {Format::Jpeg, Format::Png, Format::Pnm}) {
            SCOPED_TRACE(imageio::FormatName(format));
            WriteImageFile(Path("expected.out"), whole, format, 85);
            const std::string expected = ReadBytes(Path("expected.out"));
            for (DWORD band : {1u, 7u, 1000u})
                EXPECT_EQ(WriteInBands(Path("bands.out"), whole, format, band), expected) << "band " << band;
        }
    }

    // Read in bands, a side may pass what a whole image may have; a writer
    // takes no more rows than the image has.
    WriteBytes(Path("wide.pgm"), "P5 70000 1 255\n" + std::string(70000, '\x40'));
    EXPECT_NE(ExpectReadError(Path("wide.pgm")).find("too large"), std::string::npos);
    FILE* file = std::fopen(Path("wide.pgm").c_str(), "rb");
    ASSERT_NE(file, nullptr);
    {
        const auto reader = imageio::OpenReader(file);
        std::vector<BYTE> row(70000 * 3);
        reader->Read(row.data(), row.size(), nullptr, 1);
        EXPECT_EQ(row[3 * 69999 + 2], 0x40);
        EXPECT_THROW(reader->Read(row.data(), row.size(), nullptr, 1), ImageError);
        reader->Finish();
    }
    std::fclose(file);
    WriteBytes(Path("wider.pgm"), "P5 1000001 1 255\n");
    EXPECT_NE(ExpectReadError(Path("wider.pgm")).find("at most 1000000 pixels a side"), std::string::npos);
    imageio::OutputFile out(Path("short.png").string());
    const Image small = MakeGray(4, 2, 9);
    const auto writer = imageio::OpenWriter(out.Stream(), small.Info(), Format::Png, imageio::WriteOptions{});
    writer->Write(small.Row(0), small.stride, nullptr, 1);
    EXPECT_THROW(writer->Write(small.Row(0), small.stride, nullptr, 2), ImageError);
    EXPECT_THROW(writer->Finish(), ImageError) << "a row is missing";
}

TEST_F(ImageIoTest, AbsurdSizesAndUnsupportedVariantsAreRefusedClearly)
{
    const struct {
        const char* name;
        std::string bytes;
        const char* reason;
    } cases[] = {
        {"huge.ppm", "P6\n100000 100000\n255\n", "too large"},
        {"wide.pgm", "P5 70000 1 255\n", "too large"},
        {"many.ppm", "P6 20000 20000 255\n", "too large"},
        {"zero.ppm", "P6 0 10 255\n", "invalid image size"},
        {"overflow.ppm", "P6 99999999999 1 255\n", "out of range"},
        {"maxval.ppm", "P6 1 1 65535\n\x01\x02\x03\x04\x05\x06", "maximum sample value"},
        {"ascii.ppm", "P3 1 1 255\n1 2 3\n", "ASCII PPM"},
        {"bitmap.pbm", "P4 8 1\n\xFF", "PBM"},
        {"junk.ppm", "P6 12x 4 255\n", "invalid header"},
        {"noheader.ppm", "P6", "truncated"},
        {"short.ppm", std::string("P6 2 2 255\n") + std::string(11, '\x7F'), "truncated"},
        {"text.jpg", "hello, world", "not a JPEG, PNG, PPM or PGM"},
        {"empty.png", "", "empty"},
        {"huge.png",
         std::string("\x89PNG\r\n\x1a\n", 8) +
             PngChunk("IHDR", std::string("\x00\x00\x75\x30\x00\x00\x75\x30\x08\x02\x00\x00\x00", 13)) +
             PngChunk("IDAT", "x"),
         "too large"},
        {"huge.jpg",
         std::string("\xFF\xD8\xFF\xC0\x00\x11\x08\x75\x30\x75\x30\x03\x01\x22\x00\x02\x11\x01\x03\x11\x01"
                     "\xFF\xDA\x00\x0C\x03\x01\x00\x02\x11\x03\x11\x00\x3F\x00\x00\x00",
                     37),
         "too large"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WriteBytes(Path(c.name), c.bytes);
        EXPECT_NE(ExpectReadError(Path(c.name)).find(c.reason), std::string::npos);
    }
    EXPECT_NE(ExpectReadError(Path("missing.jpg")).find("No such file"), std::string::npos);
    fs::create_directory(Path("folder.jpg"));
    EXPECT_NE(ExpectReadError(Path("folder.jpg")).find("directory"), std::string::npos);
}

// Truncated and corrupted copies of real files: each is either read or refused
// with an ImageError, never a crash (the sanitizer build watches for the rest).
TEST_F(ImageIoTest, DamagedRealFilesAreRefusedOrReadNeverCrash)
{
    std::mt19937 random(20240611);
    for (const char* sample : {"samples/underexposed.jpg", "samples/coffee.png"}) {
        SCOPED_TRACE(sample);
        const std::string original = ReadBytes(SourceDir() / sample);
        ASSERT_GT(original.size(), 1000u);
        // Truncation: half a file is always refused.
        WriteBytes(Path("half"), original.substr(0, original.size() / 2));
        const std::string reason = ExpectReadError(Path("half"));
        EXPECT_NE(reason.find("truncated"), std::string::npos) << reason;
        for (int i = 0; i < 40; ++i) {
            const size_t length = random() % original.size();
            WriteBytes(Path("cut"), original.substr(0, length));
            try {
                imageio::ReadImage(Path("cut").string());
                ADD_FAILURE() << "a file cut to " << length << " bytes was accepted";
            } catch (const ImageError&) {
            }
        }
        for (int i = 0; i < 60; ++i) {
            std::string damaged = original;
            const int flips = 1 + int(random() % 8);
            for (int k = 0; k < flips; ++k)
                damaged[random() % damaged.size()] = char(random());
            WriteBytes(Path("bad"), damaged);
            try {
                const Image image = imageio::ReadImage(Path("bad").string());
                EXPECT_GT(image.width, 0u);
            } catch (const ImageError&) {
            }
        }
    }
}

// What a file holds is told by its first bytes, whatever its name.
TEST_F(ImageIoTest, ContentTellsTheFormat)
{
    const struct {
        const char* name;
        Format written;
        Format detected;
    } cases[] = {
        {"a", Format::Jpeg, Format::Jpeg}, {"b.png", Format::Png, Format::Png}, {"c.jpg", Format::Ppm, Format::Ppm},
        {"d", Format::Pgm, Format::Pgm},   {"e", Format::Pnm, Format::Ppm},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Image image = MakePattern(4, 4, c.written == Format::Pgm);
        WriteImageFile(Path(c.name), image, c.written);
        Format format = Format::Pnm;
        EXPECT_TRUE(imageio::DetectFormat(Path(c.name).string(), &format));
        EXPECT_EQ(format, c.detected);
        EXPECT_EQ(imageio::ReadImage(Path(c.name).string()).sourceFormat, c.detected);
    }
    Format format;
    WriteBytes(Path("text"), "hello");
    EXPECT_FALSE(imageio::DetectFormat(Path("text").string(), &format));
    WriteBytes(Path("empty"), "");
    EXPECT_FALSE(imageio::DetectFormat(Path("empty").string(), &format));
    EXPECT_FALSE(imageio::DetectFormat(Path("missing").string(), &format));
}

TEST(ImageIoFormats, OutputFormatComesFromTheExtension)
{
    Format format;
    EXPECT_TRUE(imageio::FormatFromPath("a/b.JPG", &format));
    EXPECT_EQ(format, Format::Jpeg);
    EXPECT_TRUE(imageio::FormatFromPath("b.jpeg", &format));
    EXPECT_EQ(format, Format::Jpeg);
    EXPECT_TRUE(imageio::FormatFromPath("x.y.Png", &format));
    EXPECT_EQ(format, Format::Png);
    EXPECT_TRUE(imageio::FormatFromPath("g.pgm", &format));
    EXPECT_EQ(format, Format::Pgm);
    EXPECT_FALSE(imageio::FormatFromPath("photo.bmp", &format));
    EXPECT_FALSE(imageio::FormatFromPath("dir.png/photo", &format));
    EXPECT_FALSE(imageio::FormatFromPath("photo", &format));

    const Image colour = MakePattern(4, 4);
    EXPECT_THROW(imageio::WriteImage(stdout, colour, Format::Pgm, {}), ImageError);
}

} // namespace
} // namespace tonwell::test
