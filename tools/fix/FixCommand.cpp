// tonwell fix: corrects the exposure of photos through the component, as any
// host of the component would: 24-bit RGB rows, Initialize, SetImage.
#include "command.h"
#include "common/Component.h"
#include "common/Decision.h"
#include "common/ErrorText.h"
#include "common/Inputs.h"
#include "common/Options.h"
#include "common/Runner.h"
#include "fix/ComponentCalls.h"
#include "fix/StreamedFix.h"
#include "imageio/Image.h"
#include "imageio/OutputFile.h"

#include "Tonwell.h"

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sys/stat.h>

namespace tonwell::tools {
namespace {

using imageio::Existing;
using imageio::Format;
using imageio::Image;
using imageio::ImageError;

const char kUsage[] =
    "usage: tonwell fix INPUT... [-o OUTPUT | -d DIR | --in-place] [--no-clobber]\n"
    "                [--strength N] [--quality Q] [--jobs N] [--module PATH]\n"
    "                [--explain] [--dry-run] [-r] [--memory-limit SIZE] [--dispatch]\n"
    "       tonwell fix - < IN > OUT\n";

const char kHelp[] =
    "\n"
    "Corrects the exposure of each photo: a dark one is brightened, a bright one\n"
    "darkened, one low in contrast stretched; a normally exposed one is left as\n"
    "it is unless --strength asks for more.\n"
    "\n"
    "Inputs are JPEG, PNG and binary PPM (P6) or PGM (P5) with 8-bit samples,\n"
    "recognised by their content. An output has the format its extension names:\n"
    ".jpg (.jpeg), .png, .ppm, .pgm, or .pnm (PGM for grayscale, PPM otherwise);\n"
    "an input named without one of these gets the extension of what it holds.\n"
    "\n"
    "  -o OUTPUT     write the one input to OUTPUT\n"
    "  -d DIR        write each output into DIR under its input's file name\n"
    "                (without -o or -d: NAME.fixed.EXT beside each input)\n"
    "  --in-place    let an output replace its input; without -o, write each\n"
    "                output over its input\n"
    "  -n, --no-clobber\n"
    "                never replace an existing file: such a photo is skipped\n"
    "  --strength N  strength for normally exposed photos, passed to the\n"
    "                component's Initialize: decimal or 0x-hex, 0 to 4294967295.\n"
    "                N x 0.1 is the exponent of a brightening curve: 11 and up\n"
    "                brighten; 0 to 10, and 0x80000000 and up, change nothing\n"
    "  --quality Q   JPEG quality, 1 to 100 (default 90)\n"
    "  --jobs N      photos fixed at once (default: the number of processors)\n"
    "  --module PATH the TonwellObj module to use (default: the registered class,\n"
    "                else TonwellObj.so in the lib folder beside tonwell)\n"
    "  --explain     say on each photo's line why it was judged as it was (its\n"
    "                class, the statistics and thresholds that decided it) and\n"
    "                the correction with its parameters, as tonwell's engine\n"
    "                decides (`tonwell analyze` prints the same)\n"
    "  --dry-run     read each photo and say what would be done and why, as\n"
    "                --explain does, and write nothing at all\n"
    "  -r, --recursive\n"
    "                search the sub-folders of a folder INPUT too\n"
    "  --memory-limit SIZE\n"
    "                memory for the photos being fixed at once, shared among the\n"
    "                jobs: bytes, or with a K, M or G suffix (default:\n"
    "                $TONWELL_MEMORY_LIMIT, else a quarter of the physical memory)\n"
    "  --dispatch    call the component late-bound, as a scripting client does:\n"
    "                through its IDispatch, its methods looked up by name and\n"
    "                called with VARIANT arguments; the bytes are the same. Needs\n"
    "                the component's type library registered (tonwell register).\n"
    "                SetImage takes a photo whole, so a photo that would be\n"
    "                streamed (see Large photos) is refused: a usage error\n"
    "\n"
    "An INPUT that is a folder stands for the images in it: its files named\n"
    ".jpg, .jpeg, .png, .ppm, .pgm or .pnm (any case), hidden ones left out,\n"
    "in name order; its sub-folders are left out unless -r is given. An INPUT\n"
    "of - reads one photo from standard input; its output goes to standard\n"
    "output in the input's format unless -o names a file (-o - writes any\n"
    "single input to standard output). The per-photo line then goes to\n"
    "stderr.\n"
    "\n"
    "An input is never replaced without --in-place, and two inputs never write\n"
    "the same output: the later one fails instead. Inputs named NAME.fixed.EXT\n"
    "are outputs of an earlier fix and are skipped (with a note) unless given\n"
    "with -o.\n"
    "\n"
    "Each output appears complete or not at all: it is written to an unnamed\n"
    "file in its folder (or a hidden temporary one) and put in place when\n"
    "complete, so a failure or an interruption (Ctrl-C, SIGTERM) leaves no\n"
    "partial file; a replaced file keeps its permissions. A photo whose\n"
    "exposure is already normal is still written: copied byte for byte when the\n"
    "output format is the input's, converted otherwise.\n"
    "\n"
    "What is kept:\n"
    "  JPEG       EXIF and XMP (APP1) and the ICC profile (APP2); EXIF and the\n"
    "             profile also go into PNG outputs and come from PNG inputs\n"
    "  alpha      kept untouched in PNG outputs; dropped, with a note, in\n"
    "             JPEG and PPM/PGM outputs, which have none\n"
    "  grayscale  stays grayscale (a .ppm output is RGB with equal channels)\n"
    "  palette    PNG palettes are expanded: written as RGB (RGBA when the\n"
    "             palette has transparency)\n"
    "  16-bit     16-bit PNGs are reduced to 8 bits per sample, with a note\n"
    "Not supported: CMYK JPEG, PBM, ASCII PPM/PGM (P3/P2), PPM/PGM whose\n"
    "maximum sample value is not 255.\n"
    "\n"
    "Large photos: a photo is fixed whole in memory when it fits its share of\n"
    "the memory limit, has at most 65535 pixels a side and 200 megapixels.\n"
    "Any other is read twice in bands of rows, once to measure it and once to\n"
    "correct and write it, in little memory whatever its size; the bytes are\n"
    "the same. Such a photo may have up to 65500 pixels a side as a JPEG and\n"
    "up to 1000000 as a PNG or PPM/PGM. A progressive JPEG and an interlaced\n"
    "PNG are decoded whole even then and must fit the limit; the input must\n"
    "not change while it is fixed. Standard input is read once, so a photo\n"
    "given as - is always fixed whole.\n"
    "\n"
    "Nothing is dropped unsaid: an option that had no effect on a photo\n"
    "(--quality on a copied or non-JPEG output, --strength on a photo that is\n"
    "not normally exposed) and a colour profile the output cannot keep (PPM and\n"
    "PGM have none; a damaged one) are noted on the photo's line.\n"
    "\n"
    "One line per photo on stdout (errors on stderr). Exit status: 0 when\n"
    "every photo was written or skipped, 1 otherwise, 2 for a usage error.\n";

struct FixOptions {
    std::vector<std::string> inputs;
    std::string output;
    std::string dir;
    bool inPlace = false;
    bool noClobber = false;
    bool hasStrength = false;
    DWORD strength = 0;
    int quality = 90;
    bool hasQuality = false;
    DWORD jobs = 0;
    bool explain = false;
    bool dryRun = false;
    bool dispatch = false; // --dispatch: the component through IDispatch, by name
    uint64_t memoryLimit = 0; // 0: DefaultMemoryLimit()
};

bool IsStandardStream(const std::string& path)
{
    return path == kStandardStream;
}

// Splits "dir/name.ext" into "dir/name" and ".ext" (empty when there is none).
void SplitExtension(const std::string& path, std::string* stem, std::string* ext)
{
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    if (dot == std::string::npos || dot <= nameStart) {
        *stem = path;
        ext->clear();
    } else {
        *stem = path.substr(0, dot);
        *ext = path.substr(dot);
    }
}

std::string BaseName(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string DirName(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// One spelling for every name of a file: the real path of its folder and its
// own name, so that "out/a.jpg", "out//a.jpg" and "./out/a.jpg" compare equal.
std::string FileKey(const std::string& path)
{
    char real[PATH_MAX];
    if (realpath(DirName(path).c_str(), real))
        return std::string(real) + "/" + BaseName(path);
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    return (error ? std::filesystem::path(path) : absolute).lexically_normal().string();
}

// Where an input's output goes. detected is the input's format once it is
// known; before that, an input without a known extension has no target ("").
std::string PlanTarget(const FixOptions& options, const std::string& input, const Format* detected)
{
    if (!options.output.empty())
        return options.output;
    if (IsStandardStream(input))
        return kStandardStream;
    if (options.inPlace)
        return input;
    std::string stem, ext;
    SplitExtension(input, &stem, &ext);
    Format format;
    if (!imageio::FormatFromPath(input, &format)) {
        if (!detected)
            return {};
        stem = input;
        ext = imageio::FormatExtension(*detected);
    }
    if (!options.dir.empty()) {
        std::string dir = options.dir;
        while (dir.size() > 1 && dir.back() == '/')
            dir.pop_back();
        return (dir == "/" ? dir : dir + "/") + BaseName(stem) + ext;
    }
    return stem + ".fixed" + ext;
}

// The folder an input's output goes to, known before its name is.
std::string OutputFolder(const FixOptions& options, const std::string& input)
{
    if (IsStandardStream(options.output.empty() ? input : options.output))
        return {};
    if (!options.output.empty())
        return DirName(options.output);
    if (!options.dir.empty())
        return options.dir;
    return DirName(input);
}

// NAME.fixed.EXT: what an earlier fix wrote beside its input.
bool IsEarlierOutput(const std::string& input)
{
    std::string stem, ext;
    SplitExtension(input, &stem, &ext);
    Format format;
    const std::string marker = ".fixed";
    const std::string name = BaseName(stem);
    return imageio::FormatFromPath(input, &format) && name.size() > marker.size() &&
           name.compare(name.size() - marker.size(), marker.size(), marker) == 0;
}

bool SameFile(const std::string& a, const std::string& b)
{
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool Exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// An unchanged image is copied rather than encoded again when the output
// format is the input's own.
bool SameFormat(Format source, Format output)
{
    return source == output || (output == Format::Pnm && (source == Format::Ppm || source == Format::Pgm));
}

// Which input writes which output, so that no two write the same file and no
// output replaces another input of the run. Outputs known from the names are
// claimed before any work starts, in input order; those known only once an
// input is read are claimed then. Thread-safe.
class OutputClaims {
public:
    explicit OutputClaims(const std::vector<std::string>& inputs) : m_inputs(inputs) {}

    // An input that takes part in the run (one that is skipped does not).
    void AddInput(size_t index) { m_inputKeys.emplace(FileKey(m_inputs[index]), index); }

    // "" when input index may write target, else why it may not.
    std::string Claim(size_t index, const std::string& target)
    {
        const std::string key = FileKey(target);
        std::lock_guard guard(m_lock);
        if (const auto input = m_inputKeys.find(key); input != m_inputKeys.end() && input->second != index)
            return "its output '" + target + "' would replace another input, " + m_inputs[input->second];
        const auto [owner, inserted] = m_owners.emplace(key, index);
        if (!inserted && owner->second != index)
            return "its output '" + target + "' is also the output of " + m_inputs[owner->second];
        return {};
    }

private:
    const std::vector<std::string>& m_inputs;
    std::mutex m_lock;
    std::map<std::string, size_t> m_inputKeys;
    std::map<std::string, size_t> m_owners;
};

// What is known of each input before it is read.
struct Plan {
    std::string target; // "" until the input's content tells its extension
    std::string note;   // the input is skipped: the line for stdout
    std::string error;  // the input fails without being read
};

// Why a photo that would be streamed cannot go through --dispatch: SetImage
// takes a photo whole, and the streamed path works past the component.
std::string StreamedByDispatch(const imageio::ImageInfo& info, uint64_t budget)
{
    // What it needs rounded up, what it may have rounded down.
    const auto need = [](uint64_t bytes) { return std::to_string((bytes + (uint64_t(1) << 20) - 1) >> 20) + " MiB"; };
    const auto share = [](uint64_t bytes) {
        return bytes < (uint64_t(1) << 20) ? std::to_string(bytes) + " bytes" : std::to_string(bytes >> 20) + " MiB";
    };
    std::string why = "--dispatch hands each photo whole to SetImage, and this one (" + std::to_string(info.width) +
                      "x" + std::to_string(info.height) + ") ";
    if (info.width > imageio::kMaxDimension || info.height > imageio::kMaxDimension ||
        uint64_t(info.width) * info.height > imageio::kMaxPixels)
        return why + "is larger than a photo fixed whole may be; leave out --dispatch to have it streamed";
    return why + "needs " + need(WholeImageBytes(info)) + " whole, more than its share of the memory limit (" +
           share(budget) + "); raise --memory-limit or leave out --dispatch";
}

class Fixer {
public:
    // budget: the memory one photo may take; strength: the one the component
    // was given, for photos streamed past it.
    Fixer(const FixOptions& options, OutputClaims& claims, ComponentCalls* component, uint64_t budget)
        : m_options(options), m_claims(claims), m_component(component), m_budget(budget)
    {
    }

    Outcome Fix(size_t index, const Plan& plan) const
    {
        const std::string& input = m_options.inputs[index];
        const auto failure = [&](const std::string& reason) {
            return Outcome{false, {}, "tonwell fix: " + input + ": " + reason};
        };
        const auto kept = [&](const std::string& target) {
            return Outcome{true, input + " -> " + target + ": " + (m_options.dryRun ? "would be skipped" : "skipped") +
                                     ", the output exists (--no-clobber)",
                           {}};
        };
        if (!plan.note.empty())
            return Outcome{true, plan.note, {}};
        if (!plan.error.empty())
            return failure(plan.error);
        if (m_options.noClobber && !plan.target.empty() && !IsStandardStream(plan.target) && Exists(plan.target))
            return kept(plan.target);
        std::string target = plan.target;
        try {
            // Standard input is read once, so it is always fixed whole.
            const bool fromStdin = IsStandardStream(input);
            const auto file = fromStdin ? std::unique_ptr<FILE, int (*)(FILE*)>(stdin, +[](FILE*) { return 0; })
                                        : imageio::OpenImageFile(input);
            std::unique_ptr<imageio::RowReader> reader = imageio::OpenReader(file.get());
            const imageio::ImageInfo info = reader->Info();
            // A photo too large to hold is streamed past the component through
            // the engine's row API, which decides and corrects as SetImage does.
            std::optional<Image> whole;
            std::optional<StreamedFix> streamed;
            if (fromStdin || FixWhole(info, m_budget))
                whole.emplace(imageio::ReadImage(*reader));
            else if (m_options.dispatch) // checked before the run; the file changed since
                return failure(StreamedByDispatch(info, m_budget));
            else
                streamed.emplace(file.get(), std::move(reader), ComponentStrength(), m_budget);
            const Format sourceFormat = info.sourceFormat;

            if (target.empty()) {
                target = PlanTarget(m_options, input, &sourceFormat);
                if (const std::string conflict = m_claims.Claim(index, target); !conflict.empty())
                    return failure(conflict);
                if (m_options.noClobber && Exists(target))
                    return kept(target);
            }
            const bool toStdout = IsStandardStream(target);
            const bool inPlace = !toStdout && SameFile(input, target);
            if (inPlace && !m_options.inPlace)
                return failure("the output '" + target + "' would replace the input" +
                               (m_options.dir.empty() ? "; use --in-place to allow that" : ""));
            Format format;
            if (toStdout) {
                format = sourceFormat;
            } else if (!imageio::FormatFromPath(target, &format)) {
                if (!inPlace)
                    return failure("cannot tell the output format from the name '" + target + "'");
                format = sourceFormat;
            }
            const std::string shownTarget = toStdout ? "standard output" : target;
            std::string line = (IsStandardStream(input) ? "standard input" : input) + " -> " + shownTarget + ": ";

            // The engine's own decision, taken on the pixels as the component
            // will see them, when the user is to hear it. A streamed photo is
            // measured here anyway: its decision is the one it is corrected by.
            ExposureDecision decision{};
            HRESULT streamedResult = S_OK;
            const bool decided = m_options.explain || m_options.dryRun || m_options.hasStrength;
            if (streamed) {
                streamedResult = streamed->Measure();
                if (FAILED(streamedResult))
                    return failure("the exposure engine failed with " + HResultText(streamedResult));
                decision = streamed->Decision();
            } else if (decided) {
                CTonwell engine(whole->pixels.get(), whole->width, whole->height, whole->stride, 3);
                engine.SetStrength(ComponentStrength());
                if (const HRESULT hr = engine.Decide(&decision); FAILED(hr))
                    return failure("the exposure engine failed with " + HResultText(hr));
            }
            const std::string why = m_options.explain || m_options.dryRun ? " [" + ExplainDecision(decision) + "]" : "";
            std::vector<std::string> notes = info.notes;
            if (m_options.hasStrength && decision.stats.type != ExposureNormal)
                notes.push_back(std::string("--strength had no effect: the photo is ") + TypeWords(decision.stats.type) +
                                ", corrected whatever the strength");

            if (m_options.dryRun) {
                const bool change = decision.correction != CorrectionNone;
                return Outcome{true, line + (change ? "would be corrected" : "would be left unchanged") + why +
                                         Notes(notes),
                               {}};
            }

            const HRESULT hr = whole ? m_component->SetImage(whole->pixels.get(), whole->width, whole->height,
                                                             whole->stride)
                                     : streamedResult;
            if (FAILED(hr))
                return failure("the exposure component failed with " + HResultText(hr));

            const Existing existing = m_options.noClobber ? Existing::Keep : Existing::Replace;
            if (hr == S_FALSE && SameFormat(sourceFormat, format) && !toStdout) {
                const std::string unchanged = "unchanged (exposure already normal), ";
                if (m_options.hasQuality)
                    notes.push_back("--quality had no effect: the photo was not encoded again");
                if (inPlace)
                    return Outcome{true, line + unchanged + "left as is" + why + Notes(notes), {}};
                if (CopyOriginal(input, target, existing))
                    return Outcome{true, line + unchanged + "copied as is" + why + Notes(notes), {}};
                if (m_options.hasQuality)
                    notes.pop_back();
            }

            if (m_options.hasQuality && format != Format::Jpeg)
                notes.push_back(std::string("--quality had no effect: ") + imageio::FormatName(format) +
                                " output is not JPEG");
            imageio::WriteOptions writeOptions{m_options.quality};
            writeOptions.notes = &notes;
            const auto write = [&](FILE* stream) {
                if (whole)
                    imageio::WriteImage(stream, *whole, format, writeOptions);
                else
                    streamed->Write(stream, format, writeOptions);
            };
            if (toStdout) {
                write(stdout);
            } else {
                imageio::OutputFile output(target, existing);
                write(output.Stream());
                output.Commit();
            }

            line += hr == S_OK ? "corrected" : "unchanged (exposure already normal), written as " +
                                                   std::string(imageio::FormatName(format));
            line += why;
            if (info.alpha && format != Format::Png)
                notes.push_back("alpha channel dropped: " + std::string(imageio::FormatName(format)) + " has none");
            line += Notes(notes);
            // Standard output holds the photo: its line goes to stderr.
            return toStdout ? Outcome{true, {}, line} : Outcome{true, line, {}};
        } catch (const imageio::OutputExists&) {
            return kept(target); // it appeared while the photo was being fixed
        } catch (const ImageError& e) {
            return failure(e.what());
        } catch (const std::bad_alloc&) {
            return failure("out of memory");
        }
    }

private:
    // " (note; note)", or "" when there is none.
    static std::string Notes(const std::vector<std::string>& notes)
    {
        std::string text;
        for (size_t i = 0; i < notes.size(); ++i)
            text += (i == 0 ? " (" : "; ") + notes[i] + (i + 1 == notes.size() ? ")" : "");
        return text;
    }

    // The strength the component holds: Initialize(0) keeps its default.
    double ComponentStrength() const
    {
        return StrengthFromFlags(m_options.hasStrength ? m_options.strength : 0);
    }

    // Copies a regular input file byte for byte; false when the input cannot
    // be read again that way (it is then encoded instead).
    static bool CopyOriginal(const std::string& input, const std::string& target, Existing existing)
    {
        FILE* from = std::fopen(input.c_str(), "rb");
        if (!from)
            return false;
        std::unique_ptr<FILE, int (*)(FILE*)> closer(from, std::fclose);
        struct stat st;
        if (fstat(fileno(from), &st) != 0 || !S_ISREG(st.st_mode))
            return false;
        imageio::OutputFile output(target, existing);
        imageio::CopyStream(from, output.Stream());
        output.Commit();
        return true;
    }

    const FixOptions& m_options;
    OutputClaims& m_claims;
    ComponentCalls* m_component;
    uint64_t m_budget;
};

int RunFix(const std::vector<std::string>& args)
{
    FixOptions options;
    CommandLine line("fix", kUsage, kHelp);
    line.Option({"-o", "--output"}, [&](const std::string& value) -> std::string {
        if (value.empty())
            return "the output name is empty";
        options.output = value;
        return {};
    });
    line.Option({"-d", "--dir"}, [&](const std::string& value) -> std::string {
        if (value.empty())
            return "the output folder name is empty";
        options.dir = value;
        return {};
    });
    line.Flag({"--in-place"}, &options.inPlace);
    line.Flag({"--no-clobber", "-n"}, &options.noClobber);
    line.Option({"--module"}, [](const std::string& value) -> std::string {
        if (value.empty())
            return "the module path is empty";
        UseComponentModule(value);
        return {};
    });
    line.StrengthOption(&options.strength, &options.hasStrength);
    line.Option({"--quality"}, [&](const std::string& value) -> std::string {
        DWORD quality;
        if (!ParseDecimalInRange(value, 1, 100, &quality))
            return "invalid quality '" + value + "': give a whole number from 1 to 100";
        options.quality = int(quality);
        options.hasQuality = true;
        return {};
    });
    line.JobsOption(&options.jobs);
    line.Flag({"--explain"}, &options.explain);
    line.Flag({"--dry-run"}, &options.dryRun);
    line.Flag({"--dispatch"}, &options.dispatch);
    bool recursive = false;
    line.Flag({"-r", "--recursive"}, &recursive);
    line.Option({"--memory-limit"}, [&](const std::string& value) -> std::string {
        if (!ParseMemorySize(value, &options.memoryLimit))
            return "invalid memory limit '" + value + "': give a number of bytes, optionally with K, M or G";
        return {};
    });
    int exitCode = 0;
    std::vector<std::string> operands;
    if (!line.Parse(args, &operands, &exitCode))
        return exitCode;

    if (operands.empty())
        return line.UsageError("no input given");
    std::vector<std::string> emptyFolders;
    if (const std::string error = ExpandInputs(operands, recursive, &options.inputs, &emptyFolders); !error.empty())
        return line.UsageError(error);
    for (const std::string& folder : emptyFolders)
        std::fprintf(stderr, "tonwell fix: %s: a folder without images%s\n", folder.c_str(),
                     recursive ? "" : " (sub-folders are searched with -r)");
    if (options.inputs.empty())
        return line.UsageError("no image in the folders given");
    const auto stdinCount = std::count(options.inputs.begin(), options.inputs.end(), std::string(kStandardStream));
    if (stdinCount > 1)
        return line.UsageError("standard input (-) can be read once only");
    if (stdinCount == 1 && (!options.dir.empty() || options.inPlace))
        return line.UsageError("standard input (-) cannot be used with -d or --in-place");
    if (stdinCount == 1 && options.output.empty() && options.inputs.size() > 1)
        return line.UsageError("- writes its photo to standard output: give it alone, or name the output with -o");
    if (!options.output.empty() && !options.dir.empty())
        return line.UsageError("-o and -d cannot be used together");
    if (!options.dir.empty() && options.inPlace)
        return line.UsageError("-d and --in-place cannot be used together");
    if (options.inPlace && options.noClobber)
        return line.UsageError("--in-place and --no-clobber cannot be used together");
    if (!options.output.empty() && options.inputs.size() > 1)
        return line.UsageError("-o takes one input only; use -d DIR for several");
    Format format;
    // --in-place -o INPUT keeps the input's format whatever its name.
    if (!options.output.empty() && !IsStandardStream(options.output) &&
        !imageio::FormatFromPath(options.output, &format) &&
        !(options.inPlace && SameFile(options.output, options.inputs[0])))
        return line.UsageError("cannot tell the output format from '" + options.output +
                               "': use .jpg, .jpeg, .png, .ppm, .pgm or .pnm");
    if (!options.dir.empty()) {
        struct stat st;
        if (stat(options.dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            return line.UsageError("'" + options.dir + "' is not a folder");
    }

    // Plan every output before any is written: earlier outputs are skipped,
    // and of two inputs that would write the same file the later one fails.
    // An input named without a known extension is planned from its first bytes.
    const size_t count = options.inputs.size();
    std::vector<Plan> plans(count);
    OutputClaims claims(options.inputs);
    for (size_t i = 0; i < count; ++i) {
        const std::string& input = options.inputs[i];
        if (options.output.empty() && IsEarlierOutput(input))
            plans[i].note = input + ": skipped, an output of an earlier fix (give it with -o to fix it again)";
        else if (!IsStandardStream(input))
            claims.AddInput(i);
    }
    std::set<std::string> folders;
    for (size_t i = 0; i < count; ++i) {
        if (!plans[i].note.empty())
            continue;
        const std::string& input = options.inputs[i];
        Format detected;
        const bool known = !IsStandardStream(input) && imageio::DetectFormat(input, &detected);
        plans[i].target = PlanTarget(options, input, known ? &detected : nullptr);
        if (!plans[i].target.empty() && !IsStandardStream(plans[i].target))
            plans[i].error = claims.Claim(i, plans[i].target);
        if (const std::string folder = OutputFolder(options, input); !folder.empty())
            folders.insert(folder);
    }

    const DWORD jobs = options.jobs ? options.jobs : AvailableProcessors();
    // The limit is shared by the photos fixed at once, one per worker.
    const uint64_t limit = options.memoryLimit ? options.memoryLimit : DefaultMemoryLimit();
    const uint64_t budget = limit / (count < jobs ? count : jobs);

    // SetImage takes a photo whole: with --dispatch a photo that would be
    // streamed is refused before anything is written. Standard input is
    // always fixed whole; an input that cannot be read fails on its own later.
    if (options.dispatch) {
        for (size_t i = 0; i < count; ++i) {
            const std::string& input = options.inputs[i];
            if (!plans[i].note.empty() || !plans[i].error.empty() || IsStandardStream(input))
                continue;
            try {
                const auto file = imageio::OpenImageFile(input);
                const imageio::ImageInfo info = imageio::OpenReader(file.get())->Info();
                if (!FixWhole(info, budget))
                    return line.UsageError(input + ": " + StreamedByDispatch(info, budget));
            } catch (const ImageError&) {
            } catch (const std::bad_alloc&) {
            }
        }
    }

    if (options.dryRun) {
        // Nothing is written, not even a component is needed: the engine
        // decides, as it would inside the component.
        const size_t failed = RunOnWorkers(count, jobs, [&]() -> Work {
            return [&](size_t i) { return Fixer(options, claims, nullptr, budget).Fix(i, plans[i]); };
        });
        return failed == 0 ? 0 : 1;
    }

    // What an interrupted run left in these folders goes; this run leaves nothing.
    for (const std::string& folder : folders)
        imageio::RemoveStaleTemporaryFiles(folder);
    // A file size limit must fail the write, not kill us.
    std::signal(SIGXFSZ, SIG_IGN);
    imageio::StopOnSignals();

    const size_t failed = RunOnWorkers(count, jobs, [&]() -> Work {
        std::unique_ptr<ComponentCalls> calls;
        std::string reason;
        HRESULT hr = CreateComponentCalls(options.dispatch, &calls, &reason);
        if (SUCCEEDED(hr) && options.hasStrength) {
            hr = calls->Initialize(options.strength);
            if (FAILED(hr))
                reason = "the exposure component's Initialize failed with " + HResultText(hr);
        }
        if (FAILED(hr)) {
            return [&options, &plans, reason](size_t i) {
                if (!plans[i].note.empty())
                    return Outcome{true, plans[i].note, {}};
                return Outcome{false, {}, "tonwell fix: " + options.inputs[i] + ": " + reason};
            };
        }
        std::shared_ptr<ComponentCalls> component(std::move(calls));
        return [&options, &plans, &claims, component, budget](size_t i) {
            return Fixer(options, claims, component.get(), budget).Fix(i, plans[i]);
        };
    });
    return failed == 0 ? 0 : 1;
}

} // namespace

TONWELL_COMMAND(fix, "correct the exposure of photos", RunFix);

} // namespace tonwell::tools
