// tonwell analyze: what the engine measures in each photo and the correction
// `tonwell fix` would apply, without changing anything.
#include "command.h"
#include "common/ErrorText.h"
#include "common/Json.h"
#include "common/Options.h"
#include "common/Runner.h"
#include "imageio/Image.h"

#include "Tonwell.h"

#include <cstdio>

namespace tonwell::tools {
namespace {

const char kUsage[] = "usage: tonwell analyze INPUT... [--json] [--strength N] [--jobs N]\n";

const char kHelp[] =
    "\n"
    "Prints the exposure statistics of each photo as the engine measures them\n"
    "on its 24-bit RGB pixels, and the correction `tonwell fix` would choose:\n"
    "  brighten        the photo is dark\n"
    "  darken          the photo is bright\n"
    "  stretch         the photo is low in contrast\n"
    "  strength_curve  the exposure is normal and --strength is 11 or more\n"
    "  none            the exposure is normal and the strength changes nothing\n"
    "\n"
    "  --json          one JSON object per line, with the keys \"file\",\n"
    "                  \"centroid\", \"scale\", \"low_edge\", \"high_edge\",\n"
    "                  \"mid_point\", \"type\" (\"normal\", \"low_contrast\", \"dark\"\n"
    "                  or \"bright\") and \"correction\"\n"
    "  --strength N    the strength `tonwell fix --strength N` would be given\n"
    "                  (decimal or 0x-hex, 0 to 4294967295)\n"
    "  --jobs N        photos read at once (default: the number of processors)\n"
    "\n"
    "Inputs as for `tonwell fix` (see 'tonwell fix --help'). Exit status: 0\n"
    "when every photo was analysed, 1 otherwise, 2 for a usage error.\n";

// A failed input: the reason on stderr and, with --json, a record with an
// "error" field on stdout in the input's place.
Outcome Failure(const std::string& input, const std::string& reason, bool json)
{
    Outcome outcome{false, {}, "tonwell analyze: " + input + ": " + reason};
    if (json)
        outcome.out = "{\"file\":" + JsonString(input) + ",\"error\":" + JsonString(reason) + "}";
    return outcome;
}

const char* TypeName(ExposureType type)
{
    switch (type) {
    case ExposureNormal: return "normal";
    case ExposureLowContrast: return "low_contrast";
    case ExposureDark: return "dark";
    case ExposureBright: return "bright";
    }
    return "unknown";
}

// Presentation only: which correction applies, and with what, is the engine's
// decision, the one that `fix` runs.
const char* CorrectionName(ExposureCorrection correction)
{
    switch (correction) {
    case CorrectionNone: return "none";
    case CorrectionStrengthCurve: return "strength_curve";
    case CorrectionBrighten: return "brighten";
    case CorrectionDarken: return "darken";
    case CorrectionStretch: return "stretch";
    }
    return "unknown";
}

int RunAnalyze(const std::vector<std::string>& args)
{
    std::vector<std::string> inputs;
    bool json = false;
    DWORD flags = 0;
    DWORD jobs = 0;
    CommandLine commandLine("analyze", kUsage, kHelp);
    commandLine.Flag({"--json"}, &json);
    commandLine.StrengthOption(&flags, nullptr);
    commandLine.JobsOption(&jobs);
    int exitCode = 0;
    if (!commandLine.Parse(args, &inputs, &exitCode))
        return exitCode;
    if (inputs.empty())
        return commandLine.UsageError("no input given");

    const auto analyze = [&](size_t index) -> Outcome {
        const std::string& input = inputs[index];
        const auto failure = [&](const std::string& reason) { return Failure(input, reason, json); };
        try {
            imageio::Image image = imageio::ReadImage(input);
            // Built and given its strength exactly as the component's SetImage does.
            CTonwell engine(image.pixels.get(), image.width, image.height, image.stride, 3);
            engine.SetStrength(StrengthFromFlags(flags));
            ExposureDecision decision;
            const HRESULT hr = engine.Decide(&decision);
            if (FAILED(hr))
                return failure("the engine failed with " + HResultText(hr));
            const ExposureStatistics& stats = decision.stats;
            const char* correction = CorrectionName(decision.correction);
            std::string line;
            if (json) {
                line = "{\"file\":" + JsonString(input) + ",\"centroid\":" + std::to_string(stats.lCentroid) +
                       ",\"scale\":" + JsonNumber(stats.dScale) + ",\"low_edge\":" + std::to_string(stats.lLowEdge) +
                       ",\"high_edge\":" + std::to_string(stats.lHighEdge) +
                       ",\"mid_point\":" + std::to_string(stats.lMidPoint) + ",\"type\":\"" + TypeName(stats.type) +
                       "\",\"correction\":\"" + correction + "\"}";
            } else {
                line = input + ": " + TypeName(stats.type) + ", correction " + correction + "\n  centroid " +
                       std::to_string(stats.lCentroid) + ", scale " + JsonNumber(stats.dScale) + ", low edge " +
                       std::to_string(stats.lLowEdge) + ", high edge " + std::to_string(stats.lHighEdge) +
                       ", mid-point " + std::to_string(stats.lMidPoint);
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
    return failed == 0 ? 0 : 1;
}

} // namespace

TONWELL_COMMAND(analyze, "show the exposure statistics of photos", RunAnalyze);

} // namespace tonwell::tools
