// What a user is told: --explain and --dry-run on fix, the decision in
// analyze's JSON and its plot, options that had no effect, colour profiles an
// output cannot keep, standard input and output, and folders as inputs.
#include "host_test_util.h"
#include "machine_root.h"

namespace tonwell::test {
namespace {

class ExplainCliTest : public MachineRootFixture {
protected:
    void SetUp() override
    {
        MachineRootFixture::SetUp();
        fs::create_directory(Work());
        fs::copy_file(SourceDir() / "samples/underexposed.jpg", Path("dark.jpg"));
        WriteImageFile(Path("normal.png"), MakePattern(96, 64), Format::Png);
    }
    fs::path Work() const { return Root() / "work"; }
    fs::path Path(const std::string& name) const { return Work() / name; }
    RunResult Run(const std::vector<std::string>& args) { return RunTonwell(Work(), args); }

    // Runs `tonwell ARGS` with standard input read from the file `in` and
    // standard output written to the file `out` (both in the work folder).
    RunResult RunPiped(const std::vector<std::string>& args, const std::string& in, const std::string& out)
    {
        const char* build = std::getenv("TONWELL_BUILD_DIR");
        const fs::path binary = fs::path(build ? build : TONWELL_TEST_BUILD_DIR) / "bin" / "tonwell";
        std::string command = "cd " + ShellQuote(Work().string()) + " && " + ShellQuote(binary.string());
        for (const auto& arg : args)
            command += " " + ShellQuote(arg);
        command += " <" + ShellQuote(in) + " >" + ShellQuote(out) + " 2>.piped-stderr";
        const int raw = std::system(command.c_str());
        RunResult result;
        result.status = raw != -1 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        result.err = ReadBytes(Path(".piped-stderr"));
        fs::remove(Path(".piped-stderr"));
        return result;
    }
};

// The text between the first '[' and the matching last ']' of a line.
std::string Bracketed(const std::string& line)
{
    const size_t open = line.find('[');
    const size_t close = line.rfind(']');
    return open == std::string::npos || close == std::string::npos ? "" : line.substr(open + 1, close - open - 1);
}

// The value of a JSON string field, for fields without escapes.
std::string JsonField(const std::string& json, const std::string& key)
{
    const std::string start = "\"" + key + "\":\"";
    const size_t at = json.find(start);
    if (at == std::string::npos)
        return {};
    const size_t from = at + start.size();
    return json.substr(from, json.find('"', from) - from);
}

TEST_F(ExplainCliTest, DryRunAndExplainSayWhatTheEngineDecidedAndWhy)
{
    const auto before = ListFolder(Work());
    RunResult dry = Run({"fix", "--dry-run", "dark.jpg", "normal.png", "--strength", "20"});
    ASSERT_EQ(dry.status, 0) << dry.err;
    EXPECT_EQ(ListFolder(Work()), before) << "a dry run writes nothing";
    EXPECT_NE(dry.out.find("dark.jpg -> dark.fixed.jpg: would be corrected [dark: centroid 66 below 98 and below "
                           "the mid-point 88; scale 1.47 not above 2.618; edges 1..175; so: brightening curve "
                           "1-(1-x)^2.5] (--strength had no effect: the photo is dark, corrected whatever the strength)"),
              std::string::npos)
        << dry.out;
    EXPECT_NE(dry.out.find("normal.png -> normal.fixed.png: would be corrected [normally exposed: "),
              std::string::npos)
        << dry.out;
    EXPECT_NE(dry.out.find("brightening curve 1-(1-x)^2 (the strength)"), std::string::npos) << dry.out;

    // Without a strength the normal photo would be left alone, and says so.
    dry = Run({"fix", "--dry-run", "normal.png"});
    EXPECT_NE(dry.out.find("would be left unchanged [normally exposed"), std::string::npos) << dry.out;
    EXPECT_NE(dry.out.find("no correction"), std::string::npos);

    // analyze and fix give one explanation, from the one decision.
    const RunResult json = Run({"analyze", "--json", "dark.jpg"});
    ASSERT_EQ(json.status, 0);
    EXPECT_NE(json.out.find("\"percentiles\":[1,3,19,104,175,228]"), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"exponent\":2.5"), std::string::npos) << json.out;
    const RunResult fixed = Run({"fix", "--explain", "dark.jpg"});
    ASSERT_EQ(fixed.status, 0) << fixed.err;
    EXPECT_EQ(fixed.out.rfind("dark.jpg -> dark.fixed.jpg: corrected [", 0), 0u) << fixed.out;
    EXPECT_EQ(Bracketed(fixed.out), JsonField(json.out, "explanation"));
    EXPECT_TRUE(fs::exists(Path("dark.fixed.jpg")));

    // The fixed photo, analysed again, is no longer dark.
    const RunResult again = Run({"analyze", "--json", "dark.fixed.jpg"});
    EXPECT_NE(JsonField(again.out, "type"), "dark") << again.out;

    // A dry run still reports what would be skipped or refused.
    dry = Run({"fix", "--dry-run", "--no-clobber", "dark.jpg"});
    EXPECT_NE(dry.out.find("would be skipped, the output exists"), std::string::npos) << dry.out;
}

TEST_F(ExplainCliTest, PlotDrawsTheDecisionAndIsWrittenWholeOrNotAtAll)
{
    const RunResult run = Run({"analyze", "dark.jpg", "--plot", "dark-plot.png"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("plot written to dark-plot.png"), std::string::npos);
    const Image plot = imageio::ReadImage(Path("dark-plot.png").string());
    EXPECT_EQ(plot.width, 1280u);
    EXPECT_EQ(plot.height, 880u);
    // The before histogram (blue), the after histogram and curve (orange) and
    // the centroid (red) are all drawn.
    size_t blue = 0, orange = 0, red = 0;
    for (DWORD y = 0; y < plot.height; ++y) {
        for (DWORD x = 0; x < plot.width; ++x) {
            const BYTE* p = plot.Row(y) + 3 * x;
            blue += p[2] > p[0] + 40 && p[2] > 150;
            orange += p[0] > 220 && p[1] > 100 && p[1] < 150 && p[2] < 60;
            red += p[0] > 180 && p[1] < 50 && p[2] < 60;
        }
    }
    EXPECT_GT(blue, 5000u);
    EXPECT_GT(orange, 1000u);
    EXPECT_GT(red, 100u);

    EXPECT_EQ(Run({"analyze", "dark.jpg", "normal.png", "--plot", "p.png"}).status, 2);
    EXPECT_FALSE(fs::exists(Path("p.png")));
    // A plot that cannot be written fails that input and leaves nothing.
    const RunResult failed = Run({"analyze", "dark.jpg", "--plot", "missing/p.png"});
    EXPECT_EQ(failed.status, 1);
    EXPECT_NE(failed.err.find("dark.jpg"), std::string::npos);
    EXPECT_FALSE(fs::exists(Path("missing")));
    const RunResult unreadable = Run({"analyze", "nothing.jpg", "--plot", "q.png"});
    EXPECT_EQ(unreadable.status, 1);
    EXPECT_FALSE(fs::exists(Path("q.png")));
}

TEST_F(ExplainCliTest, OptionsWithoutEffectAndDroppedProfilesAreNoted)
{
    // A normal photo with a colour profile that is no real ICC profile: JPEG
    // carries it as it is, libpng refuses it, PPM has no room for any.
    Image image = MakePattern(96, 64);
    image.metadata.icc.assign(600, 0x5A);
    WriteImageFile(Path("profiled.jpg"), image, Format::Jpeg);

    RunResult run = Run({"fix", "profiled.jpg", "--quality", "50"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("copied as is (--quality had no effect: the photo was not encoded again)"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(ReadBytes(Path("profiled.fixed.jpg")), ReadBytes(Path("profiled.jpg")));

    run = Run({"fix", "profiled.jpg", "-o", "p.ppm", "--quality", "50"});
    EXPECT_NE(run.out.find("--quality had no effect: PPM output is not JPEG"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("colour profile dropped: PPM has none"), std::string::npos) << run.out;
    run = Run({"fix", "profiled.jpg", "-o", "p.png"});
    EXPECT_NE(run.out.find("colour profile dropped: libpng refused it"), std::string::npos) << run.out;
    // Kept where it can be: no note, and the profile is there.
    run = Run({"fix", "profiled.jpg", "-o", "p2.jpg", "--quality", "70", "--strength", "20"});
    EXPECT_EQ(run.out.find("dropped"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("no effect"), std::string::npos) << run.out;
    EXPECT_EQ(imageio::ReadImage(Path("p2.jpg").string()).metadata.icc, image.metadata.icc);

    // A damaged profile (a segment numbered past the count) is dropped on
    // reading, and said so.
    std::string bogus = std::string("\xFF\xE2\x00\x12ICC_PROFILE", 15) + std::string("\0\x03\x01XYZ", 5);
    bogus[3] = char(bogus.size() - 2);
    WriteImageFile(Path("plain.jpg"), MakePattern(96, 64), Format::Jpeg);
    const std::string plain = ReadBytes(Path("plain.jpg"));
    WriteBytes(Path("damaged.jpg"), plain.substr(0, 2) + bogus + plain.substr(2));
    run = Run({"fix", "damaged.jpg", "-o", "d.png"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("colour profile dropped: it is damaged"), std::string::npos) << run.out;
}

TEST_F(ExplainCliTest, DashReadsStandardInputAndWritesStandardOutput)
{
    ASSERT_EQ(Run({"fix", "dark.jpg", "-o", "reference.jpg"}).status, 0);
    RunResult run = RunPiped({"fix", "-"}, "dark.jpg", "piped.jpg");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ReadBytes(Path("piped.jpg")), ReadBytes(Path("reference.jpg")));
    EXPECT_NE(run.err.find("standard input -> standard output: corrected"), std::string::npos) << run.err;

    run = RunPiped({"fix", "dark.jpg", "-o", "-"}, "/dev/null", "piped2.jpg");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ReadBytes(Path("piped2.jpg")), ReadBytes(Path("reference.jpg")));

    run = RunPiped({"fix", "-", "-o", "named.png"}, "dark.jpg", "nothing.out");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(fs::exists(Path("named.png")));
    EXPECT_EQ(ReadBytes(Path("nothing.out")), "standard input -> named.png: corrected\n");

    run = RunPiped({"analyze", "--json", "-"}, "dark.jpg", "analysis.json");
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(ReadBytes(Path("analysis.json")).find("\"type\":\"dark\""), std::string::npos);

    // Bad input on standard input fails alone, and standard output stays empty.
    WriteBytes(Path("junk"), "not a photo");
    run = RunPiped({"fix", "-"}, "junk", "junk.out");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(ReadBytes(Path("junk.out")), "");

    EXPECT_EQ(Run({"fix", "-", "normal.png"}).status, 2);
    EXPECT_EQ(Run({"fix", "-", "-"}).status, 2);
    EXPECT_EQ(Run({"fix", "-", "-d", "."}).status, 2);
    EXPECT_EQ(Run({"fix", "-", "--in-place"}).status, 2);
}

TEST_F(ExplainCliTest, AFolderMeansItsImagesAndItsSubFoldersOnlyWithR)
{
    fs::create_directories(Path("album/sub"));
    fs::create_directory(Path("out"));
    fs::copy_file(Path("dark.jpg"), Path("album/b.JPG"));
    fs::copy_file(Path("normal.png"), Path("album/a.png"));
    fs::copy_file(Path("dark.jpg"), Path("album/.hidden.jpg"));
    fs::copy_file(Path("dark.jpg"), Path("album/sub/c.jpeg"));
    WriteBytes(Path("album/notes.txt"), "not a photo");

    RunResult run = Run({"fix", "album", "-d", "out"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ListFolder(Path("out")), (std::vector<std::string>{"a.png", "b.JPG"}));
    EXPECT_EQ(CountLines(run.out), 2u) << run.out;
    EXPECT_LT(run.out.find("album/a.png"), run.out.find("album/b.JPG")) << "in name order";

    run = Run({"fix", "-r", "album", "-d", "out", "--no-clobber"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ListFolder(Path("out")), (std::vector<std::string>{"a.png", "b.JPG", "c.jpeg"}));

    run = Run({"analyze", "--json", "album"});
    EXPECT_EQ(CountLines(run.out), 2u) << run.out;
    run = Run({"analyze", "--json", "--recursive", "album"});
    EXPECT_EQ(CountLines(run.out), 3u) << run.out;

    fs::create_directory(Path("empty"));
    EXPECT_EQ(Run({"fix", "empty"}).status, 2);
}

} // namespace
} // namespace tonwell::test
