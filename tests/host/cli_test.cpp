// `tonwell fix` and `tonwell analyze` as a user runs them: outputs and their
// names, options, what survives a fix, and what a failure leaves behind.
#include "host_test_util.h"
#include "machine_root.h"

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <pty.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tonwell::test {
namespace {

// Each test works in a folder of its own inside the machine root, apart from
// the state the component keeps in the root itself.
class CliTest : public MachineRootFixture {
protected:
    void SetUp() override
    {
        MachineRootFixture::SetUp();
        fs::create_directory(Work());
    }
    fs::path Work() const { return Root() / "work"; }
    fs::path Path(const std::string& name) const { return Work() / name; }
    RunResult Run(const std::vector<std::string>& args, const std::string& prefix = "")
    {
        return RunTonwell(Work(), args, prefix);
    }
    Image Read(const std::string& name) const { return imageio::ReadImage(Path(name).string()); }
};

// Every colour byte of the image, checked against one value.
void ExpectAllBytes(const Image& image, BYTE value)
{
    for (DWORD y = 0; y < image.height; ++y)
        for (DWORD x = 0; x < image.width * 3; ++x)
            ASSERT_EQ(image.Row(y)[x], value) << "at row " << y << ", byte " << x;
}

TEST_F(CliTest, FixCorrectsADarkPhotoBesideItsInput)
{
    WriteImageFile(Path("dark.ppm"), MakeGray(10, 10, 50), Format::Ppm);
    const RunResult r = Run({"fix", "dark.ppm"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "dark.ppm -> dark.fixed.ppm: corrected\n");
    EXPECT_EQ(r.err, "");
    // Grey 50 is dark: the brightening curve maps it to 107.
    ExpectAllBytes(Read("dark.fixed.ppm"), 107);
    ExpectAllBytes(Read("dark.ppm"), 50);
}

TEST_F(CliTest, AnUnchangedPhotoIsStillWrittenAndSaysSo)
{
    WriteImageFile(Path("normal.png"), MakeGray(10, 10, 128), Format::Png);
    RunResult r = Run({"fix", "normal.png"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "normal.png -> normal.fixed.png: unchanged (exposure already normal), copied as is\n");
    EXPECT_EQ(ReadBytes(Path("normal.fixed.png")), ReadBytes(Path("normal.png")));

    r = Run({"fix", "normal.png", "-o", "normal.ppm"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "normal.png -> normal.ppm: unchanged (exposure already normal), written as PPM\n");
    ExpectAllBytes(Read("normal.ppm"), 128);
}

TEST_F(CliTest, StrengthIsPassedToInitializeAsGiven)
{
    WriteImageFile(Path("grey.ppm"), MakeGray(8, 8, 128), Format::Ppm);
    // Grey 128 is normally exposed: only a strength of 11 or more changes it.
    const struct {
        std::vector<std::string> option;
        BYTE expected;
    } accepted[] = {
        {{"--strength", "15"}, 165},          {{"--strength", "0xF"}, 165},
        {{"--strength", "0X0f"}, 165},        {{"--strength=11"}, 137},
        {{"--strength", "10"}, 128},          {{"--strength", "0"}, 128},
        {{"--strength", "4294967295"}, 128},  {{"--strength", "0x80000000"}, 128},
        {{"--strength", "0x7FFFFFFF"}, 255},
    };
    for (const auto& c : accepted) {
        SCOPED_TRACE(c.option.back());
        std::vector<std::string> args = {"fix", "grey.ppm", "-o", "out.ppm"};
        args.insert(args.end(), c.option.begin(), c.option.end());
        const RunResult r = Run(args);
        ASSERT_EQ(r.status, 0) << r.err;
        ExpectAllBytes(Read("out.ppm"), c.expected);
        fs::remove(Path("out.ppm"));
    }
    for (const char* bad : {"4294967296", "0x100000000", "-1", "+5", "abc", "0x", "", "1.5", " 15", "15 ", "0x-1",
                            "0b1", "１５"}) {
        SCOPED_TRACE(bad);
        const RunResult r = Run({"fix", "grey.ppm", "-o", "out.ppm", "--strength", bad});
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("invalid strength"), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(Path("out.ppm")));
    }
    EXPECT_EQ(Run({"fix", "grey.ppm", "--strength"}).status, 2);
    EXPECT_EQ(Run({"analyze", "grey.ppm", "--strength", "0x1g"}).status, 2);
}

TEST_F(CliTest, OutputAndFolderOptions)
{
    WriteImageFile(Path("a.ppm"), MakeGray(6, 6, 50), Format::Ppm);
    WriteImageFile(Path("b.ppm"), MakeGray(6, 6, 60), Format::Ppm);

    RunResult r = Run({"fix", "a.ppm", "-o", "result.png"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Read("result.png").sourceFormat, Format::Png);

    EXPECT_EQ(Run({"fix", "a.ppm", "b.ppm", "-o", "x.ppm"}).status, 2);
    EXPECT_EQ(Run({"fix", "a.ppm", "-o", "x.ppm", "-d", "."}).status, 2);
    EXPECT_EQ(Run({"fix", "a.ppm", "-o", "x.bmp"}).status, 2);
    EXPECT_EQ(Run({"fix", "a.ppm", "-d", "nowhere"}).status, 2);
    EXPECT_EQ(Run({"fix"}).status, 2);
    EXPECT_EQ(Run({"fix", "a.ppm", "--bogus"}).status, 2);
    EXPECT_EQ(Run({"fix", "a.ppm", "--quality", "0"}).status, 2);
    EXPECT_EQ(Run({"fix", "a.ppm", "--jobs", "0"}).status, 2);
    EXPECT_FALSE(fs::exists(Path("x.ppm")));

    fs::create_directory(Path("out"));
    r = Run({"fix", "a.ppm", "b.ppm", "-d", "out/"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "a.ppm -> out/a.ppm: corrected\nb.ppm -> out/b.ppm: corrected\n");
    EXPECT_EQ(ListFolder(Path("out")), (std::vector<std::string>{"a.ppm", "b.ppm"}));

    // -d never replaces an input, and two inputs never share an output.
    fs::create_directory(Path("sub"));
    WriteImageFile(Path("sub/a.ppm"), MakeGray(6, 6, 70), Format::Ppm);
    const std::string before = ReadBytes(Path("a.ppm"));
    r = Run({"fix", "a.ppm", "-d", "."});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("would replace the input"), std::string::npos) << r.err;
    EXPECT_EQ(ReadBytes(Path("a.ppm")), before);
    r = Run({"fix", "a.ppm", "sub/a.ppm", "b.ppm", "-d", "out"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("sub/a.ppm: its output 'out/a.ppm' is also the output of a.ppm"), std::string::npos) << r.err;
    EXPECT_EQ(CountLines(r.out), 2u);

    // An input named without an extension gets the extension of what it holds.
    WriteImageFile(Path("photo"), MakeGray(16, 16, 40), Format::Jpeg);
    r = Run({"fix", "photo"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "photo -> photo.fixed.jpg: corrected\n");
    EXPECT_EQ(Read("photo.fixed.jpg").sourceFormat, Format::Jpeg);
}

// The corrections treat the three channels alike, so fixing a grayscale photo
// through RGB and keeping one channel is exact.
TEST_F(CliTest, GrayscaleStaysGrayscaleAndMatchesTheRgbResultExactly)
{
    const struct {
        const char* name;
        std::function<BYTE(DWORD, DWORD)> value;
    } cases[] = {
        {"dark", [](DWORD x, DWORD y) { const DWORD v = (x * 5 + y * 3) % 120; return BYTE(v * v / 120); }},
        {"flat", [](DWORD x, DWORD y) { return BYTE(100 + (x + y) % 40); }}, // low contrast: stretched
        {"bright", [](DWORD x, DWORD y) { return BYTE(205 + (x * y) % 50); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto fill = [&](DWORD x, DWORD y, BYTE* p) { p[0] = p[1] = p[2] = c.value(x, y); };
        WriteImageFile(Path("g.pgm"), MakeImage(33, 21, fill, true), Format::Pgm);
        WriteImageFile(Path("c.ppm"), MakeImage(33, 21, fill, false), Format::Ppm);
        WriteImageFile(Path("g.png"), MakeImage(33, 21, fill, true), Format::Png);
        const RunResult r = Run({"fix", "g.pgm", "c.ppm", "g.png"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(CountLines(r.out), 3u);
        EXPECT_EQ(r.out.find("unchanged"), std::string::npos) << r.out;
        EXPECT_EQ(ReadBytes(Path("g.fixed.pgm")).substr(0, 2), "P5");
        const Image gray = Read("g.fixed.pgm");
        const Image grayPng = Read("g.fixed.png");
        const Image colour = Read("c.fixed.ppm");
        EXPECT_TRUE(gray.grayscale);
        EXPECT_TRUE(grayPng.grayscale);
        for (DWORD y = 0; y < 21; ++y)
            for (DWORD x = 0; x < 33 * 3; ++x) {
                ASSERT_EQ(gray.Row(y)[x], colour.Row(y)[x]);
                ASSERT_EQ(grayPng.Row(y)[x], colour.Row(y)[x]);
            }
    }
}

TEST_F(CliTest, AlphaPassesThroughUntouched)
{
    Image image = MakeGray(12, 9, 50);
    image.alpha = std::make_unique<BYTE[]>(12 * 9);
    for (DWORD i = 0; i < 12 * 9; ++i)
        image.alpha[i] = BYTE(i * 37);
    WriteImageFile(Path("a.png"), image, Format::Png);
    RunResult r = Run({"fix", "a.png"});
    ASSERT_EQ(r.status, 0) << r.err;
    const Image out = Read("a.fixed.png");
    ASSERT_TRUE(out.alpha);
    EXPECT_EQ(0, std::memcmp(out.alpha.get(), image.alpha.get(), 12 * 9));
    ExpectAllBytes(out, 107);

    r = Run({"fix", "a.png", "-o", "a.jpg"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "a.png -> a.jpg: corrected (alpha channel dropped: JPEG has none)\n");
}

TEST_F(CliTest, JpegKeepsExifAndIccThroughAFix)
{
    Image image = MakeImage(64, 40, [](DWORD x, DWORD y, BYTE* p) { p[0] = BYTE(x), p[1] = BYTE(y), p[2] = 30; });
    image.metadata.exif = {'I', 'I', 42, 0, 8, 0, 0, 0, 1, 2, 3, 4};
    image.metadata.icc.assign(3000, 0x5A);
    WriteImageFile(Path("m.jpg"), image, Format::Jpeg);
    const RunResult r = Run({"fix", "m.jpg", "--quality", "80"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "m.jpg -> m.fixed.jpg: corrected\n");
    const Image out = Read("m.fixed.jpg");
    EXPECT_EQ(out.metadata.exif, image.metadata.exif);
    EXPECT_EQ(out.metadata.icc, image.metadata.icc);
}

TEST_F(CliTest, BadInputsFailAloneAndLeaveNothingBehind)
{
    WriteImageFile(Path("good1.ppm"), MakeGray(8, 8, 50), Format::Ppm);
    WriteImageFile(Path("good2.jpg"), MakeGray(40, 30, 45), Format::Jpeg);
    fs::create_directory(Path("folder.ppm"));
    WriteBytes(Path("corrupt.jpg"), std::string("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00garbage follows", 24));
    const std::string png = ReadBytes(SourceDir() / "samples/coffee.png");
    WriteBytes(Path("truncated.png"), png.substr(0, png.size() / 3));
    WriteBytes(Path("huge.ppm"), "P6\n2000000 60000\n255\n");
    // Beyond what is held whole, so streamed: the missing rows are what fails.
    WriteBytes(Path("large.ppm"), "P6\n60000 60000\n255\n" + std::string(3 * 60000 * 2, '\x20'));
    WriteBytes(Path("notimage.png"), "just text");
    const auto before = ListFolder(Work());

    const RunResult r = Run({"fix", "good1.ppm", "missing.ppm", "folder.ppm", "corrupt.jpg", "truncated.png",
                             "huge.ppm", "large.ppm", "notimage.png", "good2.jpg", "--jobs", "3"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "good1.ppm -> good1.fixed.ppm: corrected\ngood2.jpg -> good2.fixed.jpg: corrected\n");
    const struct {
        const char* file;
        const char* reason;
    } expected[] = {
        {"missing.ppm", "No such file or directory"}, {"folder.ppm", "a folder without images"},
        {"corrupt.jpg", "corrupt"},                   {"truncated.png", "truncated"},
        {"huge.ppm", "too large"},                    {"notimage.png", "not a JPEG, PNG, PPM or PGM file"},
        {"large.ppm", "truncated"},
    };
    // Six failures, and a note on the folder (a folder stands for its images).
    EXPECT_EQ(CountLines(r.err), 7u) << r.err;
    for (const auto& e : expected) {
        const size_t at = r.err.find(std::string("tonwell fix: ") + e.file + ": ");
        ASSERT_NE(at, std::string::npos) << e.file << " in\n" << r.err;
        const std::string line = r.err.substr(at, r.err.find('\n', at) - at);
        EXPECT_NE(line.find(e.reason), std::string::npos) << line;
    }
    auto after = before;

    // A file we may not read (root may read anything, so not as root).
    if (geteuid() != 0) {
        WriteImageFile(Path("secret.ppm"), MakeGray(4, 4, 50), Format::Ppm);
        chmod(Path("secret.ppm").c_str(), 0);
        const RunResult denied = Run({"fix", "secret.ppm", "good1.ppm", "-d", "."});
        EXPECT_EQ(denied.status, 1);
        EXPECT_NE(denied.err.find("tonwell fix: secret.ppm: cannot open: Permission denied"), std::string::npos)
            << denied.err;
        after.push_back("secret.ppm");
    }
    after.push_back("good1.fixed.ppm");
    after.push_back("good2.fixed.jpg");
    std::sort(after.begin(), after.end());
    EXPECT_EQ(ListFolder(Work()), after);
}

TEST_F(CliTest, AFailedWriteLeavesNoOutputAndNoTemporaryFile)
{
    WriteImageFile(Path("big.ppm"), MakePattern(200, 200), Format::Ppm);
    WriteImageFile(Path("small.ppm"), MakeGray(4, 4, 50), Format::Ppm);

    // The target exists as a folder: the final rename fails.
    fs::create_directory(Path("taken.png"));
    RunResult r = Run({"fix", "big.ppm", "-o", "taken.png"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("tonwell fix: big.ppm: cannot replace 'taken.png'"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::is_empty(Path("taken.png")));

    // The disk fills up half-way (a file size limit of 4 KiB stands in for it):
    // the small output still fits, the big one fails cleanly.
    fs::create_directory(Path("out"));
    r = Run({"fix", "big.ppm", "small.ppm", "-d", "out"}, "ulimit -f 8;");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("tonwell fix: big.ppm: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("File too large"), std::string::npos) << r.err;
    EXPECT_EQ(ListFolder(Path("out")), std::vector<std::string>{"small.ppm"});

    // An output that replaces an earlier file, or the photo itself in place:
    // the earlier file stays as it was, byte for byte.
    fs::copy_file(Path("out/small.ppm"), Path("earlier.ppm"));
    WriteImageFile(Path("inplace.ppm"), MakeGray(100, 100, 50), Format::Ppm); // dark: corrected
    const std::string earlier = ReadBytes(Path("earlier.ppm")), original = ReadBytes(Path("inplace.ppm"));
    r = Run({"fix", "big.ppm", "-o", "earlier.ppm"}, "ulimit -f 8;");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("tonwell fix: big.ppm: write error: File too large"), std::string::npos) << r.err;
    EXPECT_EQ(ReadBytes(Path("earlier.ppm")), earlier);
    r = Run({"fix", "--in-place", "inplace.ppm"}, "ulimit -f 8;");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("tonwell fix: inplace.ppm: write error: File too large"), std::string::npos) << r.err;
    EXPECT_EQ(ReadBytes(Path("inplace.ppm")), original);

    // A folder we may not write to (root may write anywhere, so not as root).
    if (geteuid() != 0) {
        fs::create_directory(Path("locked"));
        chmod(Path("locked").c_str(), 0555);
        r = Run({"fix", "small.ppm", "-d", "locked"});
        chmod(Path("locked").c_str(), 0755);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("cannot create a file in 'locked'"), std::string::npos) << r.err;
        EXPECT_TRUE(fs::is_empty(Path("locked")));
    }
    std::vector<std::string> expected = {"big.ppm", "earlier.ppm", "inplace.ppm", "out", "small.ppm", "taken.png"};
    if (geteuid() != 0)
        expected.insert(expected.begin() + 3, "locked");
    EXPECT_EQ(ListFolder(Work()), expected);
}

// A photo beyond the memory limit is read twice in bands and corrected by the
// engine's row API: the output holds the bytes that SetImage of the module's
// component gives the whole image, in every format, with what the photo kept.
TEST_F(CliTest, StreamedPhotosGetTheBytesOfTheWholeImageFix)
{
    const auto dark = [](DWORD x, DWORD y, BYTE* p) { p[0] = BYTE((x * 3 + y) % 90), p[1] = BYTE(y % 70), p[2] = 20; };
    const auto flat = [](DWORD x, DWORD y, BYTE* p) { p[0] = p[1] = BYTE(100 + (x + y) % 40), p[2] = BYTE(110 + x % 30); };
    const auto bright = [](DWORD x, DWORD y, BYTE* p) { p[0] = p[1] = p[2] = BYTE(205 + (x * y) % 50); };
    Image exif = MakeImage(64, 40, dark);
    exif.metadata.exif = {'I', 'I', 42, 0, 8, 0, 0, 0, 1, 2, 3, 4};
    exif.metadata.icc.assign(3000, 0x5A);
    WriteImageFile(Path("exif.jpg"), exif, Format::Jpeg);
    Image alpha = MakeImage(37, 23, flat);
    alpha.alpha = std::make_unique<BYTE[]>(37 * 23);
    for (DWORD i = 0; i < 37 * 23; ++i)
        alpha.alpha[i] = BYTE(i * 37);
    alpha.metadata.icc.assign(500, 0x11);
    WriteImageFile(Path("alpha.png"), alpha, Format::Png);
    WriteImageFile(Path("gray.jpg"), MakeImage(50, 33, bright, true), Format::Jpeg);
    WriteImageFile(Path("gray.png"), MakeImage(33, 21, dark, true), Format::Png);
    WriteImageFile(Path("gray.pgm"), MakeImage(33, 21, flat, true), Format::Pgm);
    WriteImageFile(Path("rgb.ppm"), MakeImage(41, 30, bright), Format::Ppm);
    WriteImageFile(Path("normal.ppm"), MakePattern(41, 30), Format::Ppm);
    const struct {
        std::string input;
        const char* output;
        std::vector<std::string> options;
    } cases[] = {
        {"exif.jpg", "jpg", {}},         {"exif.jpg", "png", {}},  {"alpha.png", "png", {}},
        {"alpha.png", "jpg", {}},        {"gray.jpg", "jpg", {}},  {"gray.png", "pgm", {}},
        {"gray.pgm", "pgm", {}},         {"gray.pgm", "png", {}},  {"rgb.ppm", "ppm", {}},
        {"rgb.ppm", "jpg", {"--quality", "75"}},                   {"normal.ppm", "ppm", {"--strength", "15"}},
        {"normal.ppm", "png", {}},       {"normal.ppm", "ppm", {}},
        {(SourceDir() / "samples/underexposed.jpg").string(), "jpg", {}},
        {(SourceDir() / "samples/coffee.png").string(), "jpg", {"--strength", "14"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input + " -> " + c.output);
        std::vector<std::string> args = {"fix", c.input};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const std::string whole = std::string("whole.") + c.output;
        const std::string streamed = std::string("streamed.") + c.output;
        auto wholeArgs = args;
        wholeArgs.insert(wholeArgs.end(), {"-o", whole, "--memory-limit", "1G"});
        auto streamedArgs = args;
        streamedArgs.insert(streamedArgs.end(), {"-o", streamed, "--memory-limit", "1", "--jobs", "1"});
        const RunResult a = Run(wholeArgs);
        const RunResult b = Run(streamedArgs);
        ASSERT_EQ(a.status, 0) << a.err;
        ASSERT_EQ(b.status, 0) << b.err;
        std::string line = a.out;
        line.replace(line.find(whole), whole.size(), streamed);
        EXPECT_EQ(b.out, line);
        EXPECT_EQ(ReadBytes(Path(streamed)), ReadBytes(Path(whole)));
        fs::remove(Path(whole));
        fs::remove(Path(streamed));
    }

    // Wider than a whole image may be: streamed whatever the limit.
    WriteBytes(Path("wide.ppm"), "P6\n70000 2\n255\n" + std::string(70000 * 3 * 2, '\x32'));
    RunResult wide = Run({"fix", "wide.ppm"});
    ASSERT_EQ(wide.status, 0) << wide.err;
    EXPECT_EQ(wide.out, "wide.ppm -> wide.fixed.ppm: corrected\n");
    EXPECT_EQ(ReadBytes(Path("wide.fixed.ppm")), "P6\n70000 2\n255\n" + std::string(70000 * 3 * 2, '\x6B'));

    // In place and streamed: the input is replaced by the same bytes.
    ASSERT_EQ(Run({"fix", "rgb.ppm", "-o", "expected.ppm"}).status, 0);
    const RunResult r = Run({"fix", "rgb.ppm", "--in-place", "--memory-limit", "1K"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadBytes(Path("rgb.ppm")), ReadBytes(Path("expected.ppm")));

    // The limit is a size; nothing else is taken.
    for (const char* bad : {"0", "", "1T", "12KB", "-5", "K", "99999999999999999999", "20000000000G"}) {
        SCOPED_TRACE(bad);
        const RunResult u = Run({"fix", "rgb.ppm", "-o", "x.ppm", "--memory-limit", bad});
        EXPECT_EQ(u.status, 2);
        EXPECT_NE(u.err.find("invalid memory limit"), std::string::npos) << u.err;
    }
    EXPECT_EQ(Run({"fix", "rgb.ppm", "-o", "x.ppm", "--memory-limit=64m"}).status, 0);
}

// fix --dispatch calls the component late-bound, by name through IDispatch:
// every photo gets the bytes and the line of the vtable path (which, in the
// streamed run of these tests, is the streamed fix), an unchanged photo
// included. It needs the registered type library, and refuses a photo that
// would be streamed, as SetImage takes a photo whole.
TEST_F(CliTest, DispatchGivesTheBytesOfTheVtable)
{
    const auto dark = [](DWORD x, DWORD y, BYTE* p) { p[0] = BYTE((x * 3 + y) % 90), p[1] = BYTE(y % 70), p[2] = 20; };
    const auto bright = [](DWORD x, DWORD y, BYTE* p) { p[0] = p[1] = p[2] = BYTE(205 + (x * y) % 50); };
    const auto flat = [](DWORD x, DWORD y, BYTE* p) { p[0] = p[1] = BYTE(100 + (x + y) % 40), p[2] = BYTE(110 + x % 30); };
    std::vector<std::string> inputs;
    for (const auto& [format, ext] : {std::pair{Format::Jpeg, ".jpg"}, std::pair{Format::Png, ".png"}}) {
        WriteImageFile(Path(std::string("dark") + ext), MakeImage(45, 31, dark), format);
        WriteImageFile(Path(std::string("bright") + ext), MakeImage(30, 41, bright), format);
        WriteImageFile(Path(std::string("flat") + ext), MakeImage(37, 23, flat), format);
        WriteImageFile(Path(std::string("normal") + ext), MakePattern(41, 30), format);
        for (const char* name : {"dark", "bright", "flat", "normal"})
            inputs.push_back(name + std::string(ext));
    }

    RunResult r = Run({"fix", "dark.png", "-o", "unregistered.png", "--dispatch"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot find \"Initialize\": 0x8002801D"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("tonwell register"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(Path("unregistered.png")));
    ASSERT_EQ(Run({"register", "--quiet"}).status, 0);

    const struct {
        std::string output; // the extension of the outputs
        std::vector<std::string> options;
    } runs[] = {{"", {}}, {"", {"--strength", "15"}}, {".ppm", {}}, {".jpg", {"--quality", "70", "--strength", "0x20"}}};
    for (const auto& run : runs) {
        for (const std::string& input : inputs) {
            const std::string ext = run.output.empty() ? input.substr(input.find('.')) : run.output;
            SCOPED_TRACE(input + " -> " + ext + (run.options.empty() ? "" : " " + run.options[0]));
            std::vector<std::string> args = {"fix", input};
            args.insert(args.end(), run.options.begin(), run.options.end());
            auto vtableArgs = args;
            vtableArgs.insert(vtableArgs.end(), {"-o", "vtable" + ext});
            auto dispatchArgs = args;
            dispatchArgs.insert(dispatchArgs.end(), {"-o", "dispatch" + ext, "--dispatch", "--memory-limit", "1G"});
            const RunResult a = Run(vtableArgs);
            const RunResult b = Run(dispatchArgs);
            ASSERT_EQ(a.status, 0) << a.err;
            ASSERT_EQ(b.status, 0) << b.err;
            std::string line = a.out;
            line.replace(line.find("vtable"), 6, "dispatch");
            EXPECT_EQ(b.out, line);
            EXPECT_EQ(b.err, a.err);
            const std::string expected = ReadBytes(Path("vtable" + ext));
            EXPECT_FALSE(expected.empty());
            EXPECT_EQ(ReadBytes(Path("dispatch" + ext)), expected);
            fs::remove(Path("vtable" + ext));
            fs::remove(Path("dispatch" + ext));
        }
    }
    // Nothing was left unchanged by accident: the dark photo did change.
    r = Run({"fix", "dark.png", "-o", "changed.ppm", "--dispatch", "--memory-limit", "1G"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "dark.png -> changed.ppm: corrected\n");
    EXPECT_NE(ReadBytes(Path("changed.ppm")), ReadBytes(Path("dark.png")));

    // Several workers, each with a component of its own called by name.
    fs::create_directory(Path("v"));
    fs::create_directory(Path("d"));
    std::vector<std::string> batch = {"fix", "--jobs", "3", "--memory-limit", "1G"};
    batch.insert(batch.end(), inputs.begin(), inputs.end());
    auto vtableBatch = batch;
    vtableBatch.insert(vtableBatch.end(), {"-d", "v"});
    auto dispatchBatch = batch;
    dispatchBatch.insert(dispatchBatch.end(), {"-d", "d", "--dispatch"});
    ASSERT_EQ(Run(vtableBatch).status, 0);
    r = Run(dispatchBatch);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(CountLines(r.out), inputs.size());
    for (const std::string& input : inputs) {
        SCOPED_TRACE(input);
        EXPECT_EQ(ReadBytes(Path("d/" + input)), ReadBytes(Path("v/" + input)));
    }

    // A photo that would be streamed is refused before anything is written.
    for (const std::vector<std::string>& extra :
         {std::vector<std::string>{"--memory-limit", "1"}, std::vector<std::string>{"--memory-limit", "1K", "--dry-run"}}) {
        std::vector<std::string> args = {"fix", "dark.png", "bright.jpg", "-d", "d2", "--dispatch"};
        args.insert(args.end(), extra.begin(), extra.end());
        fs::create_directory(Path("d2"));
        r = Run(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("tonwell fix: dark.png: --dispatch hands each photo whole to SetImage"), std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find("raise --memory-limit or leave out --dispatch"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(ListFolder(Path("d2")).empty());
    }
    WriteBytes(Path("wide.ppm"), "P6\n70000 1\n255\n" + std::string(70000 * 3, '\x32'));
    r = Run({"fix", "wide.ppm", "--dispatch", "--memory-limit", "1G"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("is larger than a photo fixed whole may be"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(Path("wide.fixed.ppm")));
}

TEST_F(CliTest, ManyInputsRunInParallelAndReportInInputOrder)
{
    std::vector<std::string> args = {"fix", "--jobs", "4"};
    std::string expected;
    for (int i = 0; i < 12; ++i) {
        const std::string name = "p" + std::to_string(i) + (i % 2 ? ".png" : ".ppm");
        WriteImageFile(Path(name), MakeGray(30 + i, 20, BYTE(40 + i)), i % 2 ? Format::Png : Format::Ppm);
        args.push_back(name);
        const std::string stem = name.substr(0, name.size() - 4);
        expected += name + " -> " + stem + ".fixed" + name.substr(name.size() - 4) + ": corrected\n";
    }
    const RunResult r = Run(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.err, ""); // no progress bar: stderr is not a terminal
}

// With stderr on a terminal the progress bar is drawn there, and wiped again
// before each result line and at the end; stdout keeps only the result lines.
TEST_F(CliTest, ProgressBarOnlyOnATerminal)
{
    std::vector<std::string> args = {"tonwell", "fix", "--jobs", "2"};
    for (int i = 0; i < 4; ++i) {
        const std::string name = "p" + std::to_string(i) + ".ppm";
        WriteImageFile(Path(name), MakeGray(64, 64, 50), Format::Ppm);
        args.push_back(Path(name).string());
    }
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const int out = open(Path("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(out, 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out, 1);
    posix_spawn_file_actions_adddup2(&actions, slave, 2);
    posix_spawn_file_actions_addclose(&actions, master);
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const char* build = std::getenv("TONWELL_BUILD_DIR");
    const std::string binary = (fs::path(build ? build : TONWELL_TEST_BUILD_DIR) / "bin" / "tonwell").string();
    pid_t pid;
    ASSERT_EQ(posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(slave);
    close(out);
    std::string terminal;
    char buffer[4096];
    for (ssize_t got; (got = read(master, buffer, sizeof buffer)) > 0;)
        terminal.append(buffer, size_t(got));
    close(master);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << terminal;
    EXPECT_NE(terminal.find("\r["), std::string::npos) << terminal;
    EXPECT_NE(terminal.find("] 1/4"), std::string::npos) << terminal;
    EXPECT_EQ(terminal.substr(terminal.size() - 4), "\r\033[K") << terminal; // wiped at the end
    EXPECT_EQ(CountLines(ReadBytes(Path("stdout"))), 4u);
    EXPECT_EQ(ReadBytes(Path("stdout")).find('['), std::string::npos);
}

TEST_F(CliTest, AnalyzeJsonReportsTheEngineStatistics)
{
    WriteImageFile(Path("grey50.ppm"), MakeGray(10, 10, 50), Format::Ppm);
    WriteImageFile(Path("grey128.ppm"), MakeGray(10, 10, 128), Format::Ppm);
    WriteImageFile(Path("grey220.png"), MakeGray(10, 10, 220), Format::Png);
    WriteImageFile(Path("split.ppm"), MakeImage(10, 10, [](DWORD, DWORD y, BYTE* p) {
        p[0] = p[1] = p[2] = y < 5 ? 100 : 150;
    }), Format::Ppm);
    const std::string odd = std::string("we\"ird\\name\x01\xff") + "\xc3\xa9.pgm";
    WriteImageFile(Path(odd), MakeGray(10, 10, 98, true), Format::Pgm);

    RunResult r = Run({"analyze", "--json", "grey50.ppm", "grey128.ppm", "grey220.png", "split.ppm", odd,
                       "missing.ppm"});
    EXPECT_EQ(r.status, 1);
    // 100 pixels of grey 50: the 5 % search meets its target at bin 51; the
    // centroid is trunc(5000.5 / 100.5) = 49, below 98 and the mid-point: dark.
    EXPECT_EQ(r.out,
              "{\"file\":\"grey50.ppm\",\"centroid\":49,\"scale\":1,\"low_edge\":51,\"high_edge\":51,"
              "\"mid_point\":51,\"type\":\"dark\",\"correction\":\"brighten\",\"exponent\":2.5,"
              "\"percentiles\":[0,51,51,51,51,51],\"explanation\":\"dark: centroid 49 below 98 and below the "
              "mid-point 51; scale 1.00 not above 2.618; edges 51..51; so: brightening curve 1-(1-x)^2.5\"}\n"
              "{\"file\":\"grey128.ppm\",\"centroid\":127,\"scale\":1,\"low_edge\":129,\"high_edge\":129,"
              "\"mid_point\":129,\"type\":\"normal\",\"correction\":\"none\",\"exponent\":0,"
              "\"percentiles\":[0,129,129,129,129,129],\"explanation\":\"normally exposed: centroid 127 within "
              "98..200; scale 1.00 not above 2.618; edges 129..129; so: no correction (the strength is below "
              "1.05)\"}\n"
              "{\"file\":\"grey220.png\",\"centroid\":218,\"scale\":1,\"low_edge\":221,\"high_edge\":221,"
              "\"mid_point\":221,\"type\":\"bright\",\"correction\":\"darken\",\"exponent\":2.5,"
              "\"percentiles\":[0,221,221,221,221,221],\"explanation\":\"bright: centroid 218 above 200; edges "
              "221..221; so: darkening curve x^2.5\"}\n"
              "{\"file\":\"split.ppm\",\"centroid\":124,\"scale\":5.1,\"low_edge\":101,\"high_edge\":151,"
              "\"mid_point\":126,\"type\":\"low_contrast\",\"correction\":\"stretch\",\"exponent\":0,"
              "\"percentiles\":[0,101,101,151,151,151],\"explanation\":\"low in contrast: centroid 124 not "
              "above 200; scale 5.10 above 2.618; edges 101..151; so: linear stretch x5.10 about 126 (edges "
              "101..151 to 0..255)\"}\n"
              "{\"file\":\"we\\\"ird\\\\name\\u0001\\ufffd\xc3\xa9.pgm\",\"centroid\":97,\"scale\":1,"
              "\"low_edge\":99,\"high_edge\":99,\"mid_point\":99,\"type\":\"dark\",\"correction\":\"brighten\","
              "\"exponent\":2.5,\"percentiles\":[0,99,99,99,99,99],\"explanation\":\"dark: centroid 97 below "
              "98 and below the mid-point 99; scale 1.00 not above 2.618; edges 99..99; so: brightening curve "
              "1-(1-x)^2.5\"}\n"
              "{\"file\":\"missing.ppm\",\"error\":\"cannot open: No such file or directory\"}\n");
    EXPECT_NE(r.err.find("tonwell analyze: missing.ppm: cannot open"), std::string::npos) << r.err;
    // A failed input keeps its place in the JSON output, as a record of its own.
    r = Run({"analyze", "--json", "missing.ppm", "grey50.ppm", "split.ppm/x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1),
              "{\"file\":\"missing.ppm\",\"error\":\"cannot open: No such file or directory\"}\n");
    EXPECT_EQ(CountLines(r.out), 3u) << r.out;
    EXPECT_NE(r.out.find("\n{\"file\":\"grey50.ppm\",\"centroid\":49,"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\n{\"file\":\"split.ppm/x\",\"error\":\"cannot open: Not a directory\"}\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(CountLines(r.err), 2u) << r.err;

    // The correction follows the strength as fix would pass it to the component.
    for (const auto& [strength, correction] : std::vector<std::pair<std::string, std::string>>{
             {"11", "strength_curve"}, {"0xF", "strength_curve"}, {"10", "none"}, {"0x80000000", "none"}}) {
        r = Run({"analyze", "grey128.ppm", "--json", "--strength", strength});
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.out.find("\"correction\":\"" + correction + "\","), std::string::npos) << strength << r.out;
    }

    r = Run({"analyze", "grey50.ppm"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "grey50.ppm: dark, correction brighten\n"
                     "  centroid 49, scale 1, low edge 51, high edge 51, mid-point 51\n"
                     "  dark: centroid 49 below 98 and below the mid-point 51; scale 1.00 not above 2.618; "
                     "edges 51..51; so: brightening curve 1-(1-x)^2.5\n");
}

TEST_F(CliTest, BundledSampleIsDarkAndFixes)
{
    const fs::path sample = SourceDir() / "samples/underexposed.jpg";
    RunResult r = Run({"analyze", "--json", sample.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"type\":\"dark\",\"correction\":\"brighten\""), std::string::npos) << r.out;
    r = Run({"fix", sample.string(), "-o", "fixed.jpg"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(": corrected"), std::string::npos);
    r = Run({"analyze", "--json", "fixed.jpg"});
    EXPECT_EQ(r.out.find("\"type\":\"dark\""), std::string::npos) << r.out;
}

TEST_F(CliTest, ComponentsComeFromTheModule)
{
    const char* build = std::getenv("TONWELL_BUILD_DIR");
    ASSERT_NE(build, nullptr);
    const std::string module = (fs::path(build) / "lib" / "TonwellObj.so").string();
    WriteImageFile(Path("dark.ppm"), MakeGray(8, 8, 50), Format::Ppm);

    RunResult r = Run({"fix", "dark.ppm", "-o", "named.ppm", "--module", module});
    EXPECT_EQ(r.status, 0) << r.err;
    ExpectAllBytes(Read("named.ppm"), 107);

    // A module that cannot be loaded fails every image, names the module and leaves no file.
    r = Run({"fix", "dark.ppm", "-o", "missing.ppm", "--module", (Work() / "NoSuch.so").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot load the module"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("NoSuch.so"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(Path("missing.ppm")));

    // A registered class is used in preference to the module beside the host.
    const std::string key = "HKCR\\CLSID\\{83AF37A6-1013-4638-9568-8A25EE237C79}\\InprocServer32";
    ASSERT_EQ(Run({"reg", "add", key, "/ve", "/d", (Work() / "Gone.so").string(), "/f"}).status, 0);
    r = Run({"fix", "dark.ppm", "-o", "registered.ppm"});
    EXPECT_EQ(r.status, 1) << "a registration that points nowhere must not be ignored";
    EXPECT_FALSE(fs::exists(Path("registered.ppm")));
    ASSERT_EQ(Run({"reg", "add", key, "/ve", "/d", module, "/f"}).status, 0);
    r = Run({"fix", "dark.ppm", "-o", "registered.ppm"});
    EXPECT_EQ(r.status, 0) << r.err;
    ExpectAllBytes(Read("registered.ppm"), 107);
}


// Two inputs never write the same file, whether the names say so or only the
// contents do (inputs named without an extension), and no output replaces
// another input of the run: the later input fails and the earlier output stays.
TEST_F(CliTest, NoTwoInputsWriteTheSameFile)
{
    fs::create_directories(Path("a"));
    fs::create_directories(Path("b"));
    fs::create_directories(Path("out"));
    WriteImageFile(Path("a/photo"), MakeGray(16, 16, 40), Format::Jpeg);
    WriteImageFile(Path("b/photo"), MakeGray(16, 16, 200), Format::Jpeg);
    RunResult r = Run({"fix", "a/photo", "b/photo", "-d", "out"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "a/photo -> out/photo.jpg: corrected\n");
    EXPECT_EQ(r.err, "tonwell fix: b/photo: its output 'out/photo.jpg' is also the output of a/photo\n");
    EXPECT_EQ(ListFolder(Path("out")), std::vector<std::string>{"photo.jpg"});
    ASSERT_EQ(Run({"fix", "a/photo", "-o", "check.jpg"}).status, 0);
    EXPECT_EQ(ReadBytes(Path("out/photo.jpg")), ReadBytes(Path("check.jpg"))) << "the first input's result";

    // One file under two spellings.
    WriteImageFile(Path("c.ppm"), MakeGray(6, 6, 50), Format::Ppm);
    r = Run({"fix", "c.ppm", "./c.ppm", "--jobs", "2"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "c.ppm -> c.fixed.ppm: corrected\n");
    EXPECT_EQ(r.err, "tonwell fix: ./c.ppm: its output './c.fixed.ppm' is also the output of c.ppm\n");

    // An output that would replace another input: neither is written.
    WriteImageFile(Path("out/c.ppm"), MakeGray(6, 6, 60), Format::Ppm);
    const std::string before = ReadBytes(Path("out/c.ppm"));
    r = Run({"fix", "c.ppm", "out/c.ppm", "-d", "out/"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("tonwell fix: c.ppm: its output 'out/c.ppm' would replace another input, out/c.ppm\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("tonwell fix: out/c.ppm: the output 'out/c.ppm' would replace the input\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(ReadBytes(Path("out/c.ppm")), before);
}

// An input is replaced only when asked, and a replaced file keeps its mode.
TEST_F(CliTest, InPlaceOnlyWhenAskedAndModesAreKept)
{
    WriteImageFile(Path("x.ppm"), MakeGray(8, 8, 50), Format::Ppm);
    WriteImageFile(Path("y.png"), MakeGray(8, 8, 50), Format::Png);
    WriteImageFile(Path("z"), MakeGray(8, 8, 50), Format::Png);
    const std::string original = ReadBytes(Path("x.ppm"));
    RunResult r = Run({"fix", "x.ppm", "-o", "x.ppm"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tonwell fix: x.ppm: the output 'x.ppm' would replace the input; use --in-place to allow that\n");
    EXPECT_EQ(ReadBytes(Path("x.ppm")), original);

    ASSERT_EQ(chmod(Path("x.ppm").c_str(), 0640), 0);
    ASSERT_EQ(chmod(Path("y.png").c_str(), 0604), 0);
    r = Run({"fix", "x.ppm", "-o", "./x.ppm", "--in-place"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "x.ppm -> ./x.ppm: corrected\n");
    ExpectAllBytes(Read("x.ppm"), 107);
    r = Run({"fix", "--in-place", "y.png", "z"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "y.png -> y.png: corrected\nz -> z: corrected\n");
    ExpectAllBytes(Read("y.png"), 107);
    EXPECT_EQ(Read("z").sourceFormat, Format::Png) << "an input without an extension keeps its format";
    ExpectAllBytes(Read("z"), 107);
    // A photo already normal is left as it is, not written again.
    WriteImageFile(Path("w.ppm"), MakeGray(8, 8, 128), Format::Ppm);
    ASSERT_EQ(chmod(Path("w.ppm").c_str(), 0444), 0);
    r = Run({"fix", "--in-place", "w.ppm"});
    EXPECT_EQ(r.out, "w.ppm -> w.ppm: unchanged (exposure already normal), left as is\n");
    EXPECT_EQ(ListFolder(Work()), (std::vector<std::string>{"w.ppm", "x.ppm", "y.png", "z"}));

    struct stat st;
    ASSERT_EQ(stat(Path("x.ppm").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    ASSERT_EQ(stat(Path("y.png").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u);

    // An output replaced keeps its mode too; a new one gets the creation mask's.
    ASSERT_EQ(Run({"fix", "z", "-o", "new.ppm"}, "umask 027;").status, 0);
    ASSERT_EQ(stat(Path("new.ppm").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    ASSERT_EQ(chmod(Path("new.ppm").c_str(), 0600), 0);
    ASSERT_EQ(Run({"fix", "x.ppm", "-o", "new.ppm", "--strength", "15"}, "umask 000;").status, 0);
    ASSERT_EQ(stat(Path("new.ppm").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    EXPECT_EQ(Run({"fix", "x.ppm", "--in-place", "-d", "."}).status, 2);
    EXPECT_EQ(Run({"fix", "x.ppm", "--in-place", "--no-clobber"}).status, 2);
}

TEST_F(CliTest, NoClobberNeverReplacesAFile)
{
    WriteImageFile(Path("a.ppm"), MakeGray(8, 8, 50), Format::Ppm);
    WriteImageFile(Path("b.ppm"), MakeGray(8, 8, 128), Format::Ppm);
    WriteBytes(Path("a.fixed.ppm"), "mine");
    RunResult r = Run({"fix", "--no-clobber", "a.ppm", "b.ppm"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "a.ppm -> a.fixed.ppm: skipped, the output exists (--no-clobber)\n"
                     "b.ppm -> b.fixed.ppm: unchanged (exposure already normal), copied as is\n");
    EXPECT_EQ(ReadBytes(Path("a.fixed.ppm")), "mine");
    EXPECT_EQ(ReadBytes(Path("b.fixed.ppm")), ReadBytes(Path("b.ppm")));
    r = Run({"fix", "-n", "b.ppm", "-o", "a.fixed.ppm"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ReadBytes(Path("a.fixed.ppm")), "mine");
    EXPECT_EQ(ListFolder(Work()), (std::vector<std::string>{"a.fixed.ppm", "a.ppm", "b.fixed.ppm", "b.ppm"}));
}

// `fix *.ppm` run twice does not correct its own outputs again.
TEST_F(CliTest, EarlierOutputsAreSkipped)
{
    WriteImageFile(Path("a.ppm"), MakeGray(8, 8, 50), Format::Ppm);
    WriteImageFile(Path("b.png"), MakeGray(8, 8, 60), Format::Png);
    ASSERT_EQ(Run({"fix", "a.ppm", "b.png"}).status, 0);
    const std::string first = ReadBytes(Path("a.fixed.ppm"));
    const RunResult r = Run({"fix", "a.fixed.ppm", "a.ppm", "b.fixed.png", "b.png"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "a.fixed.ppm: skipped, an output of an earlier fix (give it with -o to fix it again)\n"
                     "a.ppm -> a.fixed.ppm: corrected\n"
                     "b.fixed.png: skipped, an output of an earlier fix (give it with -o to fix it again)\n"
                     "b.png -> b.fixed.png: corrected\n");
    EXPECT_EQ(ReadBytes(Path("a.fixed.ppm")), first);
    EXPECT_EQ(ListFolder(Work()), (std::vector<std::string>{"a.fixed.ppm", "a.ppm", "b.fixed.png", "b.png"}));
    // Named with -o it is fixed like any photo.
    EXPECT_EQ(Run({"fix", "a.fixed.ppm", "-o", "again.ppm"}).status, 0);
    EXPECT_TRUE(fs::exists(Path("again.ppm")));
}

TEST_F(CliTest, UsageErrorsExitTwoInEveryCommand)
{
    RunResult r = Run({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "tonwell " TONWELL_PROJECT_VERSION "\n");
    EXPECT_EQ(Run({"--version", "x"}).status, 2);
    EXPECT_EQ(Run({}).status, 2);
    EXPECT_EQ(Run({"nosuchcommand"}).status, 2);
    for (const std::string command : {"fix", "analyze", "info"}) {
        SCOPED_TRACE(command);
        r = Run({command, "--bogus"});
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("tonwell " + command + ": unknown option '--bogus'"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("usage: tonwell " + command), std::string::npos) << r.err;
        EXPECT_EQ(Run({command, "--module"}).status, 2);
        r = Run({command, "--help"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.rfind("usage: tonwell " + command, 0), 0u) << r.out;
    }
    EXPECT_EQ(Run({"analyze"}).status, 2);
    EXPECT_EQ(Run({"analyze", "x.ppm", "--jobs"}).status, 2);
    EXPECT_EQ(Run({"analyze", "x.ppm", "--jobs=0"}).status, 2);
    EXPECT_EQ(Run({"info", "extra"}).status, 2);
    EXPECT_EQ(Run({"info", "--json=yes"}).status, 2);
}

// Runs tonwell without waiting for it; its output is thrown away.
pid_t StartTonwell(const std::vector<std::string>& args)
{
    const char* build = std::getenv("TONWELL_BUILD_DIR");
    const std::string binary = (fs::path(build ? build : TONWELL_TEST_BUILD_DIR) / "bin" / "tonwell").string();
    std::vector<std::string> argv = {"tonwell"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> pointers;
    for (auto& arg : argv)
        pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, binary.c_str(), &actions, nullptr, pointers.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// A batch stopped again and again by SIGTERM or SIGINT (and at the end by
// SIGKILL) leaves no temporary file and no partial output: every file in the
// output folder is a whole image.
TEST_F(CliTest, AnInterruptedBatchLeavesNoTemporaryFileAndNoPartialOutput)
{
    fs::create_directory(Path("out"));
    std::vector<std::string> args = {"fix", "--jobs", "4", "-d", Path("out").string()};
    const std::string jpeg = ReadBytes(SourceDir() / "samples/underexposed.jpg");
    const std::string png = ReadBytes(SourceDir() / "samples/coffee.png");
    for (int i = 0; i < 24; ++i) {
        const std::string name = "p" + std::to_string(i) + (i % 3 ? ".jpg" : ".png");
        WriteBytes(Path(name), i % 3 ? jpeg : png);
        args.push_back(Path(name).string());
    }
    // Many small photos: outputs begin and end all the time.
    for (int i = 0; i < 60; ++i) {
        const std::string name = "s" + std::to_string(i) + ".ppm";
        WriteImageFile(Path(name), MakeGray(16, 400, BYTE(30 + i)), Format::Ppm);
        args.push_back(Path(name).string());
    }
    const auto check = [&](const std::string& when) {
        for (const std::string& name : ListFolder(Path("out"))) {
            SCOPED_TRACE(when + ": " + name);
            ASSERT_NE(name[0], '.') << "a temporary file was left behind";
            Image image;
            ASSERT_NO_THROW(image = imageio::ReadImage(Path("out/" + name).string()));
            EXPECT_EQ(image.height, 400u);
        }
    };
    // A whole run into a folder of its own says how long the batch takes here, so
    // that the signals fall within it on a fast machine and on a loaded one.
    fs::create_directory(Path("timed"));
    std::vector<std::string> timedArgs = args;
    timedArgs[4] = Path("timed").string();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(RunTonwell(Work(), timedArgs).status, 0);
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
    const long long span = std::max<long long>(2000, took.count());
    int stopped = 0;
    for (int round = 0; round < 24; ++round) {
        const int signal = round < 20 ? (round % 2 ? SIGINT : SIGTERM) : SIGKILL;
        const pid_t pid = StartTonwell(args);
        ASSERT_GT(pid, 0);
        // Spread over the first half of the batch.
        usleep(useconds_t(span * ((round * 7919) % 500) / 1000));
        kill(pid, signal);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        if (WIFSIGNALED(status)) {
            EXPECT_EQ(WTERMSIG(status), signal);
            ++stopped;
        } else {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        }
        if (signal != SIGKILL)
            check("round " + std::to_string(round));
    }
    EXPECT_GT(stopped, 12) << "the batch mostly finished before the signal (a whole run took " << span / 1000
                           << " ms)";
    // Whatever a killed run left is gone after the next run into that folder.
    args.push_back("--no-clobber");
    ASSERT_EQ(RunTonwell(Work(), args).status, 0);
    check("after a complete run");
    EXPECT_EQ(ListFolder(Path("out")).size(), 84u);
}

// Leftovers of killed runs are removed by the next run into their folder;
// the temporary files of a run still going on are not.
TEST_F(CliTest, LeftoversOfAKilledRunAreRemovedByTheNextRun)
{
    fs::create_directory(Path("out"));
    WriteImageFile(Path("a.ppm"), MakeGray(8, 8, 50), Format::Ppm);
    WriteBytes(Path("out/.a.ppm.tonwell-Xy12Ab"), "partial");
    WriteBytes(Path(".a.fixed.ppm.tonwell-Kk7Lm2"), "partial");
    WriteBytes(Path("out/.notes"), "not ours");
    const LockedFile live(Path("out/.b.ppm.tonwell-Qq9Zz0"), "being written");
    ASSERT_TRUE(live.Locked());
    const RunResult r = Run({"fix", "a.ppm", "-d", "out"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ListFolder(Path("out")), (std::vector<std::string>{".b.ppm.tonwell-Qq9Zz0", ".notes", "a.ppm"}));
    EXPECT_TRUE(fs::exists(Path(".a.fixed.ppm.tonwell-Kk7Lm2"))) << "a folder the run does not write to is left alone";
}

} // namespace
} // namespace tonwell::test
