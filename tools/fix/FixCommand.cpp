// tonwell fix: corrects the exposure of photos through the component, as any
// host of the component would: 24-bit RGB rows, Initialize, SetImage.
#include "command.h"
#include "common/Component.h"
#include "common/Options.h"
#include "common/Runner.h"
#include "imageio/Image.h"
#include "imageio/OutputFile.h"

#include <csignal>
#include <cstdio>
#include <map>
#include <sys/stat.h>

namespace tonwell::tools {
namespace {

using imageio::Format;
using imageio::Image;
using imageio::ImageError;

const char kUsage[] =
    "usage: tonwell fix INPUT... [-o OUTPUT | -d DIR] [--strength N] [--quality Q] [--jobs N]\n"
    "                [--module PATH]\n";

const char kHelp[] =
    "\n"
    "Corrects the exposure of each photo: a dark one is brightened, a bright one\n"
    "darkened, one low in contrast stretched; a normally exposed one is left as\n"
    "it is unless --strength asks for more.\n"
    "\n"
    "Inputs are JPEG, PNG and binary PPM (P6) or PGM (P5) with 8-bit samples,\n"
    "recognised by their content. An output has the format its extension names:\n"
    ".jpg (.jpeg), .png, .ppm, .pgm, or .pnm (PGM for grayscale, PPM otherwise).\n"
    "\n"
    "  -o OUTPUT     write the one input to OUTPUT\n"
    "  -d DIR        write each output into DIR under its input's file name;\n"
    "                an input is never replaced this way\n"
    "                (without -o or -d: NAME.fixed.EXT beside each input)\n"
    "  --strength N  strength for normally exposed photos, passed to the\n"
    "                component's Initialize: decimal or 0x-hex, 0 to 4294967295.\n"
    "                N x 0.1 is the exponent of a brightening curve: 11 and up\n"
    "                brighten; 0 to 10, and 0x80000000 and up, change nothing\n"
    "  --quality Q   JPEG quality, 1 to 100 (default 90)\n"
    "  --jobs N      photos fixed at once (default: the number of processors)\n"
    "  --module PATH the TonwellObj module to use (default: the registered class,\n"
    "                else TonwellObj.so in the lib folder beside tonwell)\n"
    "\n"
    "Each output is written under a temporary name in its folder and renamed\n"
    "when complete, so a failure leaves no file behind. A photo whose exposure\n"
    "is already normal is still written: copied byte for byte when the output\n"
    "format is the input's, converted otherwise.\n"
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
    "maximum sample value is not 255. At most 65535 pixels a side and 200\n"
    "megapixels.\n"
    "\n"
    "One line per photo on stdout (errors on stderr). Exit status: 0 when\n"
    "every output was written, 1 otherwise, 2 for a usage error.\n";

struct FixOptions {
    std::vector<std::string> inputs;
    std::string output;
    std::string dir;
    bool hasStrength = false;
    DWORD strength = 0;
    int quality = 90;
    DWORD jobs = 0;
};

int UsageError(const std::string& message)
{
    std::fprintf(stderr, "tonwell fix: %s\n%s(see 'tonwell fix --help')\n", message.c_str(), kUsage);
    return 2;
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

// Where an input's output goes. detected is the input's format once it is
// read; before that, an input without a known extension has no target yet ("").
std::string PlanTarget(const FixOptions& options, const std::string& input, const Format* detected)
{
    if (!options.output.empty())
        return options.output;
    std::string stem, ext;
    SplitExtension(input, &stem, &ext);
    Format format;
    const bool known = imageio::FormatFromPath(input, &format);
    if (!known) {
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

bool SameFile(const std::string& a, const std::string& b)
{
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// An unchanged image is copied rather than encoded again when the output
// format is the input's own.
bool SameFormat(Format source, Format output)
{
    return source == output || (output == Format::Pnm && (source == Format::Ppm || source == Format::Pgm));
}

std::string HResultText(HRESULT hr)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

class Fixer {
public:
    Fixer(const FixOptions& options, ITonwellExposure* component) : m_options(options), m_component(component) {}

    Outcome Fix(const std::string& input, const std::string& plannedTarget) const
    {
        const auto failure = [&](const std::string& reason) {
            return Outcome{false, {}, "tonwell fix: " + input + ": " + reason};
        };
        try {
            Image image = imageio::ReadImage(input);

            std::string target = plannedTarget;
            if (target.empty())
                target = PlanTarget(m_options, input, &image.sourceFormat);
            Format format;
            if (!imageio::FormatFromPath(target, &format))
                return failure("cannot tell the output format from the name '" + target + "'");
            if (!m_options.dir.empty() && SameFile(input, target))
                return failure("the output '" + target + "' would replace the input");

            const HRESULT hr = m_component->SetImage(image.pixels.get(), image.width, image.height, image.stride);
            if (FAILED(hr))
                return failure("the exposure component failed with " + HResultText(hr));

            std::string line = input + " -> " + target + ": ";
            if (hr == S_FALSE && SameFormat(image.sourceFormat, format) && CopyOriginal(input, target)) {
                line += "unchanged (exposure already normal), copied as is";
                return Outcome{true, line, {}};
            }

            imageio::OutputFile output(target);
            imageio::WriteImage(output.Stream(), image, format, imageio::WriteOptions{m_options.quality});
            output.Commit();

            line += hr == S_OK ? "corrected" : "unchanged (exposure already normal), written as " +
                                                   std::string(imageio::FormatName(format));
            std::vector<std::string> notes = image.notes;
            if (image.alpha && format != Format::Png)
                notes.push_back("alpha channel dropped: " + std::string(imageio::FormatName(format)) + " has none");
            for (size_t i = 0; i < notes.size(); ++i)
                line += (i == 0 ? " (" : "; ") + notes[i] + (i + 1 == notes.size() ? ")" : "");
            return Outcome{true, line, {}};
        } catch (const ImageError& e) {
            return failure(e.what());
        } catch (const std::bad_alloc&) {
            return failure("out of memory");
        }
    }

private:
    // Copies a regular input file byte for byte; false when the input cannot
    // be read again that way (it is then encoded instead).
    static bool CopyOriginal(const std::string& input, const std::string& target)
    {
        FILE* from = std::fopen(input.c_str(), "rb");
        if (!from)
            return false;
        std::unique_ptr<FILE, int (*)(FILE*)> closer(from, std::fclose);
        struct stat st;
        if (fstat(fileno(from), &st) != 0 || !S_ISREG(st.st_mode))
            return false;
        imageio::OutputFile output(target);
        imageio::CopyStream(from, output.Stream());
        output.Commit();
        return true;
    }

    const FixOptions& m_options;
    ITonwellExposure* m_component;
};

int RunFix(const std::vector<std::string>& args)
{
    FixOptions options;
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            options.inputs.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            std::printf("%s%s", kUsage, kHelp);
            return 0;
        }
        std::string value, error;
        if (TakeOption(args, i, "-o", &value, &error) || TakeOption(args, i, "--output", &value, &error)) {
            if (!error.empty())
                return UsageError(error);
            if (value.empty())
                return UsageError("the output name is empty");
            options.output = value;
        } else if (TakeOption(args, i, "-d", &value, &error) || TakeOption(args, i, "--dir", &value, &error)) {
            if (!error.empty())
                return UsageError(error);
            if (value.empty())
                return UsageError("the output folder name is empty");
            options.dir = value;
        } else if (TakeOption(args, i, "--module", &value, &error)) {
            if (!error.empty())
                return UsageError(error);
            if (value.empty())
                return UsageError("the module path is empty");
            UseComponentModule(value);
        } else if (TakeOption(args, i, "--strength", &value, &error)) {
            if (!error.empty())
                return UsageError(error);
            if (!ParseDword(value, &options.strength))
                return UsageError("invalid strength '" + value +
                                  "': give a whole number from 0 to 4294967295, in decimal or as 0x-hex");
            options.hasStrength = true;
        } else if (TakeOption(args, i, "--quality", &value, &error)) {
            DWORD quality;
            if (!error.empty())
                return UsageError(error);
            if (!ParseDecimalInRange(value, 1, 100, &quality))
                return UsageError("invalid quality '" + value + "': give a whole number from 1 to 100");
            options.quality = int(quality);
        } else if (TakeOption(args, i, "--jobs", &value, &error) || TakeOption(args, i, "-j", &value, &error)) {
            if (!error.empty())
                return UsageError(error);
            if (!ParseDecimalInRange(value, 1, 1024, &options.jobs))
                return UsageError("invalid number of jobs '" + value + "': give a whole number from 1 to 1024");
        } else {
            return UsageError("unknown option '" + arg + "'");
        }
    }
    if (options.inputs.empty())
        return UsageError("no input given");
    if (!options.output.empty() && !options.dir.empty())
        return UsageError("-o and -d cannot be used together");
    if (!options.output.empty() && options.inputs.size() > 1)
        return UsageError("-o takes one input only; use -d DIR for several");
    Format format;
    if (!options.output.empty() && !imageio::FormatFromPath(options.output, &format))
        return UsageError("cannot tell the output format from '" + options.output +
                          "': use .jpg, .jpeg, .png, .ppm, .pgm or .pnm");
    if (!options.dir.empty()) {
        struct stat st;
        if (stat(options.dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            return UsageError("'" + options.dir + "' is not a folder");
    }

    // Two inputs that would be written to the same file: the later ones fail
    // instead of silently replacing the earlier one's output.
    std::vector<std::string> targets(options.inputs.size());
    std::vector<std::string> conflicts(options.inputs.size());
    std::map<std::string, size_t> firstByTarget;
    for (size_t i = 0; i < options.inputs.size(); ++i) {
        targets[i] = PlanTarget(options, options.inputs[i], nullptr);
        if (targets[i].empty())
            continue;
        const auto [it, inserted] = firstByTarget.emplace(targets[i], i);
        if (!inserted)
            conflicts[i] = "tonwell fix: " + options.inputs[i] + ": its output '" + targets[i] +
                           "' is also the output of " + options.inputs[it->second];
    }

    // A file size limit must fail the write (and remove the temporary file), not kill us.
    std::signal(SIGXFSZ, SIG_IGN);
    imageio::RemoveTemporaryFilesOnSignals();

    const DWORD jobs = options.jobs ? options.jobs : AvailableProcessors();
    const size_t failed = RunOnWorkers(options.inputs.size(), jobs, [&]() -> Work {
        auto component = std::make_shared<ComRef<ITonwellExposure>>();
        std::string why;
        HRESULT hr = CreateExposureComponent(component->Receive(), &why);
        if (SUCCEEDED(hr) && options.hasStrength)
            hr = (*component)->Initialize(options.strength);
        if (FAILED(hr)) {
            const std::string reason =
                "cannot create the exposure component: " + (why.empty() ? HResultText(hr) : why + " (" + HResultText(hr) + ")");
            return [&options, reason](size_t i) {
                return Outcome{false, {}, "tonwell fix: " + options.inputs[i] + ": " + reason};
            };
        }
        return [&options, &targets, &conflicts, component](size_t i) {
            if (!conflicts[i].empty())
                return Outcome{false, {}, conflicts[i]};
            return Fixer(options, component->Get()).Fix(options.inputs[i], targets[i]);
        };
    });
    return failed == 0 ? 0 : 1;
}

} // namespace

TONWELL_COMMAND(fix, "correct the exposure of photos", RunFix);

} // namespace tonwell::tools
