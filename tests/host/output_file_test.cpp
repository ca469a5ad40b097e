// Outputs that appear whole or not at all, in both ways of writing them: to
// an unnamed file (the usual build) and under a hidden temporary name (the
// build with TONWELL_OUTPUT_NAMED_TEMPORARIES, for file systems without
// unnamed files).
#include "host_test_util.h"
#include "machine_root.h"

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace tonwell::test {
namespace {

using imageio::Existing;
using imageio::ImageError;
using imageio::OutputFile;

class OutputFileTest : public MachineRootFixture {
protected:
    fs::path Path(const std::string& name) const { return Root() / name; }

    std::vector<std::string> Hidden() const
    {
        std::vector<std::string> hidden;
        for (const std::string& name : ListFolder(Root()))
            if (name[0] == '.')
                hidden.push_back(name);
        return hidden;
    }

    // Whether outputs in this folder are written under a hidden name.
    bool WritesNamedTemporaries() const
    {
#ifdef TONWELL_OUTPUT_NAMED_TEMPORARIES
        return true;
#else
        const int fd = open(Root().c_str(), O_TMPFILE | O_WRONLY, 0600);
        if (fd < 0)
            return true;
        close(fd);
        return false;
#endif
    }
};

// The two builds run the same tests under names of their own.
#ifdef TONWELL_OUTPUT_NAMED_TEMPORARIES
class NamedTemporaryOutputFileTest : public OutputFileTest {};
#define OUTPUT_FILE_TEST(name) TEST_F(NamedTemporaryOutputFileTest, name)
#else
#define OUTPUT_FILE_TEST(name) TEST_F(OutputFileTest, name)
#endif

mode_t ModeOf(const fs::path& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : mode_t(-1);
}

OUTPUT_FILE_TEST(NothingAppearsUnlessCommitted)
{
    {
        OutputFile out(Path("kept.ppm").string());
        std::fputs("data", out.Stream());
        EXPECT_FALSE(fs::exists(Path("kept.ppm")));
        // While it is written, the folder shows at most a hidden name.
        EXPECT_EQ(Hidden().size(), WritesNamedTemporaries() ? 1u : 0u);
        EXPECT_EQ(ListFolder(Root()).size(), Hidden().size());
        out.Commit();
    }
    EXPECT_EQ(ReadBytes(Path("kept.ppm")), "data");
    {
        OutputFile out(Path("dropped.ppm").string());
        std::fputs("partial", out.Stream());
    }
    EXPECT_EQ(ListFolder(Root()), std::vector<std::string>{"kept.ppm"});

    // A target that is a folder: the last step fails and nothing is left.
    fs::create_directory(Path("dir.ppm"));
    {
        OutputFile out(Path("dir.ppm").string());
        std::fputs("data", out.Stream());
        EXPECT_THROW(out.Commit(), ImageError);
    }
    EXPECT_EQ(ListFolder(Root()), (std::vector<std::string>{"dir.ppm", "kept.ppm"}));
    EXPECT_TRUE(fs::is_empty(Path("dir.ppm")));
    EXPECT_THROW(OutputFile((Root() / "no" / "such" / "x.ppm").string()), ImageError);
}

OUTPUT_FILE_TEST(AReplacedFileKeepsItsModeAndKeepLeavesATargetAlone)
{
    for (const mode_t mode : {mode_t(0600), mode_t(0751), mode_t(0444)}) {
        SCOPED_TRACE(mode);
        WriteBytes(Path("old.bin"), "old");
        ASSERT_EQ(chmod(Path("old.bin").c_str(), mode), 0);
        OutputFile out(Path("old.bin").string());
        std::fputs("new", out.Stream());
        out.Commit();
        EXPECT_EQ(ReadBytes(Path("old.bin")), "new");
        EXPECT_EQ(ModeOf(Path("old.bin")), mode);
    }
    // A new file has the mode the creation mask gives it.
    const mode_t mask = umask(027);
    {
        OutputFile out(Path("new.bin").string());
        out.Commit();
    }
    umask(mask);
    EXPECT_EQ(ModeOf(Path("new.bin")), mode_t(0640));

    // Existing::Keep writes where nothing is, and never over what is there,
    // even when the target appears while the output is written.
    {
        OutputFile out(Path("fresh.bin").string(), Existing::Keep);
        std::fputs("fresh", out.Stream());
        out.Commit();
    }
    EXPECT_EQ(ReadBytes(Path("fresh.bin")), "fresh");
    {
        OutputFile out(Path("late.bin").string(), Existing::Keep);
        std::fputs("mine", out.Stream());
        WriteBytes(Path("late.bin"), "theirs");
        EXPECT_THROW(out.Commit(), imageio::OutputExists);
    }
    EXPECT_EQ(ReadBytes(Path("late.bin")), "theirs");
    EXPECT_EQ(Hidden(), std::vector<std::string>{});
}

// Leftovers of a writer that was killed outright are removed by the next
// run; the files of a writer still alive are not.
OUTPUT_FILE_TEST(LeftoversOfAKilledWriterGoAndLiveOnesStay)
{
    const bool named = WritesNamedTemporaries();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        OutputFile out(Path("dead.bin").string());
        std::fputs("unfinished", out.Stream());
        std::fflush(out.Stream());
        raise(SIGKILL);
        _exit(1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    EXPECT_EQ(Hidden().size(), named ? 1u : 0u) << "an unnamed file dies with its writer";

    // What an older build left, and what merely looks alike.
    WriteBytes(Path(".old.jpg.tonwell-Ab3xYz"), "stale");
    WriteBytes(Path(".old.jpg.tonwell-Ab3"), "not ours: too short");
    WriteBytes(Path("old.jpg.tonwell-Ab3xYz"), "not ours: not hidden");
    // Held by a live writer (this process, through another descriptor).
    const LockedFile held(Path(".held.jpg.tonwell-Qr5tUv"), "held");
    ASSERT_TRUE(held.Locked());

    OutputFile live(Path("live.bin").string());
    std::fputs("alive", live.Stream());
    const size_t removed = imageio::RemoveStaleTemporaryFiles(Root().string());
    EXPECT_EQ(removed, named ? 2u : 1u);
    std::vector<std::string> expected = {".held.jpg.tonwell-Qr5tUv", ".old.jpg.tonwell-Ab3", "old.jpg.tonwell-Ab3xYz"};
    std::vector<std::string> left = ListFolder(Root());
    if (named) {
        // The live writer's own hidden name is still there.
        ASSERT_EQ(left.size(), expected.size() + 1);
        left.erase(std::find_if(left.begin(), left.end(),
                                [](const std::string& n) { return n.rfind(".live.bin.tonwell-", 0) == 0; }));
    }
    EXPECT_EQ(left, expected);
    live.Commit();
    EXPECT_EQ(ReadBytes(Path("live.bin")), "alive");
}

// A signal while several threads write outputs: they are stopped before the
// clean-up, so nothing hidden and nothing partial remains, and the process
// dies of the signal.
OUTPUT_FILE_TEST(ASignalStopsTheWritersAndLeavesNoTemporaryFile)
{
    constexpr size_t kSize = 256 * 1024;
    for (int round = 0; round < 16; ++round) {
        const int signal = round % 2 ? SIGINT : SIGTERM;
        SCOPED_TRACE(round);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            imageio::StopOnSignals();
            std::vector<std::thread> writers;
            for (int t = 0; t < 4; ++t)
                writers.emplace_back([this, t] {
                    const std::string block(kSize / 4, char('a' + t));
                    for (int n = 0;; ++n) {
                        try {
                            OutputFile out(Path("out" + std::to_string(t) + "-" + std::to_string(n % 5)).string());
                            for (int k = 0; k < 4; ++k)
                                std::fwrite(block.data(), 1, block.size(), out.Stream());
                            if (n % 4 != 3)
                                out.Commit(); // the others are dropped
                        } catch (const ImageError&) {
                        }
                    }
                });
            for (auto& writer : writers)
                writer.join();
            _exit(0);
        }
        usleep(useconds_t(1000 + (round * 3700) % 30000));
        ASSERT_EQ(kill(child, signal), 0);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        for (const std::string& name : ListFolder(Root())) {
            EXPECT_NE(name[0], '.') << "left behind: " << name;
            EXPECT_EQ(fs::file_size(Path(name)), kSize) << name;
        }
    }
}

} // namespace
} // namespace tonwell::test
