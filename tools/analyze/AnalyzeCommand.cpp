// tonwell analyze: what the engine measures in each photo and the correction
// `tonwell fix` would apply, without changing anything.
#include "command.h"
#include "analyze/Plot.h"
#include "common/Decision.h"
#include "common/ErrorText.h"
#include "common/Inputs.h"
#include "common/Json.h"
#include "common/Options.h"
#include "common/Runner.h"
#include "imageio/Image.h"

#include "Tonwell.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

namespace tonwell::tools {
namespace {

const char kUsage[] =
    "usage: tonwell analyze INPUT... [--json] [--strength N] [--jobs N] [-r]\n"
    "       tonwell analyze INPUT --plot OUT.png [--strength N]\n";

const char kHelp[] =
    "\n"
    "Prints the exposure statistics of each photo as the engine measures them\n"
    "on its 24-bit RGB pixels, and the correction `tonwell fix` would choose:\n"
    "  brighten        the photo is dark\n"
    "  darken          the photo is bright\n"
    "  stretch         the photo is low in contrast\n"
    "  strength_curve  the exposure is normal and --strength is 11 or more\n"
    "  none            the exposure is normal and the strength changes nothing\n"
    "and, in words, why: the statistics that decided it and the thresholds\n"
    "they were held against.\n"
    "\n"
    "  --json          one JSON object per line, with the keys \"file\",\n"
    "                  \"centroid\", \"scale\", \"low_edge\", \"high_edge\",\n"
    "                  \"mid_point\", \"type\" (\"normal\", \"low_contrast\",\n"
    "                  \"dark\" or \"bright\"), \"correction\", \"exponent\" (of\n"
    "                  the curve; 0 for stretch and none), \"percentiles\" (the\n"
    "                  bins of 1, 5, 20, 80, 95 and 99 %) and \"explanation\"\n"
    "  --plot OUT.png  draw the decision for one photo: the luminance histogram\n"
    "                  before and after, percentiles, edges, centroid and\n"
    "                  mid-point, the tone curve and both photos\n"
    "  --strength N    the strength `tonwell fix --strength N` would be given\n"
    "                  (decimal or 0x-hex, 0 to 4294967295)\n"
    "  --jobs N        photos read at once (default: the number of processors)\n"
    "  -r, --recursive search the sub-folders of a folder INPUT too\n"
    "\n"
    "An INPUT that is a folder stands for the images in it (files named .jpg,\n"
    ".jpeg, .png, .ppm, .pgm or .pnm; hidden files and sub-folders left out\n"
    "unless -r); - reads one photo from standard input. Formats as for\n"
    "`tonwell fix` (see 'tonwell fix --help'). Exit status: 0 when every photo\n"
    "was analysed, 1 otherwise, 2 for a usage error.\n";

// A failed input: the reason on stderr and, with --json, a record with an
// "error" field on stdout in the input's place.
Outcome Failure(const std::string& input, const std::string& reason, bool json)
{
    Outcome outcome{false, {}, "tonwell analyze: " + input + ": " + reason};
    if (json)
        outcome.out = "{\"file\":" + JsonString(input) + ",\"error\":" + JsonString(reason) + "}";
    return outcome;
}

std::string EngineFailure(HRESULT hr)
{
    return "the engine failed with " + HResultText(hr);
}

// Draws the decision for the photo. The corrected photo is made by the engine
// itself (Fix on a copy), so the picture shows what `fix` writes.
void Plot(const std::string& input, imageio::Image& image, CTonwell& engine, const ExposureDecision& decision,
          double strength, const std::string& path)
{
    auto plot = std::make_unique<PlotInput>();
    plot->title = input == kStandardStream ? "standard input" : input;
    plot->decision = decision;
    DecisionToneTable(decision, plot->curve);
    HRESULT hr = engine.GetLuminanceHistogram(plot->before);
    if (FAILED(hr))
        throw imageio::ImageError(EngineFailure(hr));

    imageio::Image corrected;
    imageio::AllocatePixels(corrected, image.width, image.height, false);
    std::memcpy(corrected.pixels.get(), image.pixels.get(), size_t(image.stride) * image.height);
    CTonwell fixer(corrected.pixels.get(), corrected.width, corrected.height, corrected.stride, 3);
    fixer.SetStrength(strength);
    hr = fixer.Fix(0);
    if (SUCCEEDED(hr))
        hr = fixer.GetLuminanceHistogram(plot->after);
    if (FAILED(hr))
        throw imageio::ImageError(EngineFailure(hr));
    plot->original = &image;
    plot->corrected = &corrected;
    WritePlot(*plot, path);
}

int RunAnalyze(const std::vector<std::string>& args)
{
    std::vector<std::string> operands;
    bool json = false;
    bool recursive = false;
    std::string plotPath;
    DWORD flags = 0;
    DWORD jobs = 0;
    CommandLine commandLine("analyze", kUsage, kHelp);
    commandLine.Flag({"--json"}, &json);
    commandLine.Flag({"-r", "--recursive"}, &recursive);
    commandLine.Option({"--plot"}, [&](const std::string& value) -> std::string {
        if (value.empty())
            return "the plot file name is empty";
        plotPath = value;
        return {};
    });
    commandLine.StrengthOption(&flags, nullptr);
    commandLine.JobsOption(&jobs);
    int exitCode = 0;
    if (!commandLine.Parse(args, &operands, &exitCode))
        return exitCode;
    if (operands.empty())
        return commandLine.UsageError("no input given");
    std::vector<std::string> inputs;
    std::vector<std::string> emptyFolders;
    if (const std::string error = ExpandInputs(operands, recursive, &inputs, &emptyFolders); !error.empty())
        return commandLine.UsageError(error);
    for (const std::string& folder : emptyFolders)
        std::fprintf(stderr, "tonwell analyze: %s: a folder without images%s\n", folder.c_str(),
                     recursive ? "" : " (sub-folders are searched with -r)");
    if (inputs.empty())
        return commandLine.UsageError("no image in the folders given");
    if (std::count(inputs.begin(), inputs.end(), std::string(kStandardStream)) > 1)
        return commandLine.UsageError("standard input (-) can be read once only");
    if (!plotPath.empty() && inputs.size() != 1)
        return commandLine.UsageError("--plot draws one photo: give one input");
    const double strength = StrengthFromFlags(flags);

    const auto analyze = [&](size_t index) -> Outcome {
        const std::string& input = inputs[index];
        const auto failure = [&](const std::string& reason) { return Failure(input, reason, json); };
        try {
            imageio::Image image =
                input == kStandardStream ? imageio::ReadImage(stdin) : imageio::ReadImage(input);
            // Built and given its strength exactly as the component's SetImage does.
            CTonwell engine(image.pixels.get(), image.width, image.height, image.stride, 3);
            engine.SetStrength(strength);
            ExposureDecision decision;
            const HRESULT hr = engine.Decide(&decision);
            if (FAILED(hr))
                return failure(EngineFailure(hr));
            const ExposureStatistics& stats = decision.stats;
            const char* correction = CorrectionName(decision.correction);
            std::string line;
            if (json) {
                std::string percentiles;
                for (int k = 0; k < 6; ++k)
                    percentiles += (k ? "," : "") + std::to_string(decision.lPercentile[k]);
                line = "{\"file\":" + JsonString(input) + ",\"centroid\":" + std::to_string(stats.lCentroid) +
                       ",\"scale\":" + JsonNumber(stats.dScale) + ",\"low_edge\":" + std::to_string(stats.lLowEdge) +
                       ",\"high_edge\":" + std::to_string(stats.lHighEdge) +
                       ",\"mid_point\":" + std::to_string(stats.lMidPoint) + ",\"type\":\"" +
                       TypeName(stats.type) + "\",\"correction\":\"" + correction +
                       "\",\"exponent\":" + JsonNumber(decision.dExponent) + ",\"percentiles\":[" + percentiles +
                       "],\"explanation\":" + JsonString(ExplainDecision(decision)) + "}";
            } else {
                line = input + ": " + TypeName(stats.type) + ", correction " + correction + "\n  centroid " +
                       std::to_string(stats.lCentroid) + ", scale " + JsonNumber(stats.dScale) + ", low edge " +
                       std::to_string(stats.lLowEdge) + ", high edge " + std::to_string(stats.lHighEdge) +
                       ", mid-point " + std::to_string(stats.lMidPoint) + "\n  " + ExplainDecision(decision);
            }
            if (!plotPath.empty()) {
                Plot(input, image, engine, decision, strength, plotPath);
                if (!json)
                    line += "\n  plot written to " + plotPath;
            }
            return Outcome{true, line, {}};
        } catch (const imageio::ImageError& e) {
            return failure(e.what());
        } catch (const std::bad_alloc&) {
            return failure("out of memory");
        }
    };
    // Whatever goes wrong with one input is that input's record, in JSON too.
    const auto analyzeOrFail = [&](size_t index) -> Outcome {
        try {
            return analyze(index);
        } catch (const std::exception& e) {
            return Failure(inputs[index], std::string("internal error: ") + e.what(), json);
        }
    };
    const size_t failed =
        RunOnWorkers(inputs.size(), jobs ? jobs : AvailableProcessors(), [&] { return Work(analyzeOrFail); });
    if (!plotPath.empty())
        ReleasePlotResources(); // the workers are done: no plot is being drawn
    return failed == 0 ? 0 : 1;
}

} // namespace

TONWELL_COMMAND(analyze, "show the exposure statistics of photos", RunAnalyze);

} // namespace tonwell::tools
