#include "analyze/Plot.h"

#include "common/Decision.h"
#include "imageio/OutputFile.h"

#include <cairo.h>
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

namespace tonwell::tools {
namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 880;

// The histogram's plot area and the tone curve's.
constexpr double kHistLeft = 70, kHistTop = 160, kHistRight = 830, kHistBottom = 470;
constexpr double kCurveLeft = 910, kCurveTop = 160, kCurveSize = 320;

struct Colour {
    double r, g, b;
};
constexpr Colour kInk{0.13, 0.13, 0.15};
constexpr Colour kGrey{0.55, 0.55, 0.58};
constexpr Colour kBefore{0.22, 0.42, 0.69};   // blue
constexpr Colour kAfter{0.93, 0.49, 0.13};    // orange
constexpr Colour kCentroid{0.80, 0.10, 0.15}; // red
constexpr Colour kMid{0.15, 0.55, 0.25};      // green
constexpr Colour kEdge{0.35, 0.20, 0.55};     // purple

using Surface = std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)>;
using Context = std::unique_ptr<cairo_t, decltype(&cairo_destroy)>;

void SetColour(cairo_t* cr, Colour c, double alpha = 1.0)
{
    cairo_set_source_rgba(cr, c.r, c.g, c.b, alpha);
}

enum class Align { Left, Centre, Right };

void Text(cairo_t* cr, double x, double y, const std::string& text, double size, Colour colour,
          Align align = Align::Left, bool bold = false)
{
    cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL,
                           bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, size);
    cairo_text_extents_t extents;
    cairo_text_extents(cr, text.c_str(), &extents);
    double left = x;
    if (align == Align::Centre)
        left = x - extents.x_advance / 2;
    else if (align == Align::Right)
        left = x - extents.x_advance;
    SetColour(cr, colour);
    cairo_move_to(cr, left, y);
    cairo_show_text(cr, text.c_str());
}

std::string Printf(const char* format, auto... args)
{
    char text[256];
    std::snprintf(text, sizeof text, format, args...);
    return text;
}

double TextWidth(cairo_t* cr, const std::string& text, double size, bool bold)
{
    cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL,
                           bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, size);
    cairo_text_extents_t extents;
    cairo_text_extents(cr, text.c_str(), &extents);
    return extents.x_advance;
}

struct Label {
    double x; // centre
    std::string text;
    Colour colour;
};

// Writes labels centred on their x, each in the first row (counted from y,
// rowStep apart) where it overlaps no label already written; rows stay
// within [minX, maxX].
void PlaceLabels(cairo_t* cr, std::vector<Label> labels, double y, double rowStep, double size, bool bold,
                 double minX, double maxX)
{
    std::sort(labels.begin(), labels.end(), [](const Label& a, const Label& b) { return a.x < b.x; });
    std::vector<double> rowEnd; // right end of the last label in each row
    for (const Label& label : labels) {
        const double width = TextWidth(cr, label.text, size, bold);
        const double left = std::clamp(label.x - width / 2, minX, maxX - width);
        size_t row = 0;
        while (row < rowEnd.size() && rowEnd[row] + 8 > left)
            ++row;
        if (row == rowEnd.size())
            rowEnd.push_back(0);
        rowEnd[row] = left + width;
        Text(cr, left, y + row * rowStep, label.text, size, label.colour, Align::Left, bold);
    }
}

double BinX(double bin)
{
    return kHistLeft + (kHistRight - kHistLeft) * bin / 256.0;
}

void VerticalMarker(cairo_t* cr, double bin, Colour colour, bool dashed, double width)
{
    const double x = BinX(bin + 0.5);
    SetColour(cr, colour);
    cairo_set_line_width(cr, width);
    if (dashed) {
        const double dash[] = {7, 4};
        cairo_set_dash(cr, dash, 2, 0);
    }
    cairo_move_to(cr, x, kHistTop);
    cairo_line_to(cr, x, kHistBottom);
    cairo_stroke(cr);
    cairo_set_dash(cr, nullptr, 0, 0);
}

// The filled outline of a histogram, scaled so that top is the plot's height.
void HistogramPath(cairo_t* cr, const ULONGLONG* bins, double top)
{
    cairo_move_to(cr, BinX(0), kHistBottom);
    for (int i = 0; i < 256; ++i) {
        const double h = std::min(1.0, double(bins[i]) / top) * (kHistBottom - kHistTop);
        cairo_line_to(cr, BinX(i), kHistBottom - h);
        cairo_line_to(cr, BinX(i + 1), kHistBottom - h);
    }
    cairo_line_to(cr, BinX(256), kHistBottom);
    cairo_close_path(cr);
}

// A histogram filled in a light tint of its colour and outlined in the colour.
void DrawHistogramCurve(cairo_t* cr, const ULONGLONG* bins, double top, Colour colour, double fillAlpha,
                        double lineWidth)
{
    HistogramPath(cr, bins, top);
    SetColour(cr, colour, fillAlpha);
    cairo_fill_preserve(cr);
    SetColour(cr, colour);
    cairo_set_line_width(cr, lineWidth);
    cairo_stroke(cr);
}

void DrawHistogram(cairo_t* cr, const PlotInput& in)
{
    const ExposureDecision& d = in.decision;
    const ExposureStatistics& s = d.stats;

    // Bins above the band are drawn but do not set the scale: a photo's
    // clipped highlights would flatten everything else.
    ULONGLONG top = 1;
    for (int i = 0; i < c_BandBins; ++i)
        top = std::max({top, in.before[i], in.after[i]});
    const double scale = double(top) * 1.08;

    // The band, and the bins outside it.
    cairo_set_source_rgb(cr, 0.97, 0.97, 0.98);
    cairo_rectangle(cr, BinX(0), kHistTop, BinX(c_BandBins) - BinX(0), kHistBottom - kHistTop);
    cairo_fill(cr);
    cairo_set_source_rgb(cr, 0.86, 0.86, 0.88);
    cairo_rectangle(cr, BinX(c_BandBins), kHistTop, BinX(256) - BinX(c_BandBins), kHistBottom - kHistTop);
    cairo_fill(cr);
    Text(cr, BinX(253), kHistTop + 14, "not", 10, kGrey, Align::Centre);
    Text(cr, BinX(253), kHistTop + 26, "in", 10, kGrey, Align::Centre);
    Text(cr, BinX(253), kHistTop + 38, "band", 10, kGrey, Align::Centre);

    // Where the stretch would map the edges (between them: the part kept).
    SetColour(cr, kEdge, 0.07);
    cairo_rectangle(cr, BinX(s.lLowEdge + 0.5), kHistTop, BinX(s.lHighEdge + 0.5) - BinX(s.lLowEdge + 0.5),
                    kHistBottom - kHistTop);
    cairo_fill(cr);

    DrawHistogramCurve(cr, in.before, scale, kBefore, 0.55, 1);
    if (d.correction != CorrectionNone)
        DrawHistogramCurve(cr, in.after, scale, kAfter, 0.25, 1.6);

    VerticalMarker(cr, s.lLowEdge, kEdge, false, 2);
    VerticalMarker(cr, s.lHighEdge, kEdge, false, 2);
    VerticalMarker(cr, s.lMidPoint, kMid, true, 2);
    VerticalMarker(cr, s.lCentroid, kCentroid, true, 2.5);

    // Marker labels above the plot, in rows upwards so that near ones stay apart.
    PlaceLabels(cr,
                {
                    {BinX(s.lLowEdge + 0.5), Printf("low edge %ld", long(s.lLowEdge)), kEdge},
                    {BinX(s.lHighEdge + 0.5), Printf("high edge %ld", long(s.lHighEdge)), kEdge},
                    {BinX(s.lMidPoint + 0.5), Printf("mid-point %ld", long(s.lMidPoint)), kMid},
                    {BinX(s.lCentroid + 0.5), Printf("centroid %ld", long(s.lCentroid)), kCentroid},
                },
                kHistTop - 8, -15, 11.5, true, kHistLeft - 40, kHistRight + 20);

    // Axis, percentiles and the centroid's thresholds under it.
    SetColour(cr, kInk);
    cairo_set_line_width(cr, 1);
    cairo_move_to(cr, kHistLeft, kHistBottom + 0.5);
    cairo_line_to(cr, kHistRight, kHistBottom + 0.5);
    cairo_stroke(cr);
    for (int v = 0; v <= 250; v += 50) {
        cairo_move_to(cr, BinX(v + 0.5), kHistBottom);
        cairo_line_to(cr, BinX(v + 0.5), kHistBottom + 5);
        cairo_stroke(cr);
        Text(cr, BinX(v + 0.5), kHistBottom + 18, std::to_string(v), 11, kInk, Align::Centre);
    }
    Text(cr, (kHistLeft + kHistRight) / 2, kHistBottom + 34, "luminance", 12, kInk, Align::Centre);

    static const char* const kPercent[6] = {"1%", "5%", "20%", "80%", "95%", "99%"};
    const double py = kHistBottom + 52;
    Text(cr, kHistLeft - 8, py + 4, "percentiles", 10.5, kGrey, Align::Right);
    std::vector<Label> percentLabels;
    for (int k = 0; k < 6; ++k) {
        const double x = BinX(d.lPercentile[k] + 0.5);
        SetColour(cr, kEdge);
        cairo_move_to(cr, x, py - 6);
        cairo_line_to(cr, x - 5, py + 3);
        cairo_line_to(cr, x + 5, py + 3);
        cairo_close_path(cr);
        cairo_fill(cr);
        percentLabels.push_back({x, Printf("%s: %ld", kPercent[k], long(d.lPercentile[k])), kEdge});
    }
    PlaceLabels(cr, percentLabels, py + 16, 12, 9.5, false, kHistLeft - 20, kHistRight + 20);

    const double ty = kHistBottom + 112;
    Text(cr, kHistLeft - 8, ty + 4, "centroid", 10.5, kGrey, Align::Right);
    const double darkX = BinX(c_DarkCentroid), brightX = BinX(c_BrightCentroid + 1);
    cairo_set_line_width(cr, 6);
    SetColour(cr, kBefore, 0.35);
    cairo_move_to(cr, BinX(0), ty);
    cairo_line_to(cr, darkX, ty);
    cairo_stroke(cr);
    SetColour(cr, kGrey, 0.25);
    cairo_move_to(cr, darkX, ty);
    cairo_line_to(cr, brightX, ty);
    cairo_stroke(cr);
    SetColour(cr, kAfter, 0.45);
    cairo_move_to(cr, brightX, ty);
    cairo_line_to(cr, BinX(c_BandBins), ty);
    cairo_stroke(cr);
    Text(cr, (BinX(0) + darkX) / 2, ty + 17, Printf("dark below %ld (if below the mid-point)", long(c_DarkCentroid)),
         10, kInk, Align::Centre);
    Text(cr, (brightX + BinX(c_BandBins)) / 2, ty + 17, Printf("bright above %ld", long(c_BrightCentroid)), 10, kInk,
         Align::Centre);
    SetColour(cr, kCentroid);
    cairo_arc(cr, BinX(s.lCentroid + 0.5), ty, 6, 0, 2 * M_PI);
    cairo_fill(cr);

    // Legend, under the axis on the right.
    const double lx = kHistRight - 150, ly = kHistBottom + 34;
    SetColour(cr, kBefore, 0.55);
    cairo_rectangle(cr, lx, ly - 9, 18, 10);
    cairo_fill(cr);
    Text(cr, lx + 24, ly, "before", 11.5, kInk);
    if (d.correction != CorrectionNone) {
        SetColour(cr, kAfter, 0.25);
        cairo_rectangle(cr, lx + 80, ly - 9, 18, 10);
        cairo_fill_preserve(cr);
        SetColour(cr, kAfter);
        cairo_set_line_width(cr, 1.6);
        cairo_stroke(cr);
        Text(cr, lx + 104, ly, "after", 11.5, kInk);
    } else {
        Text(cr, lx + 80, ly, "(after = before)", 11, kGrey);
    }
}

void DrawCurve(cairo_t* cr, const PlotInput& in)
{
    const double left = kCurveLeft, top = kCurveTop, size = kCurveSize;
    const auto px = [&](double v) { return left + size * v / 255.0; };
    const auto py = [&](double v) { return top + size - size * v / 255.0; };

    cairo_set_source_rgb(cr, 0.97, 0.97, 0.98);
    cairo_rectangle(cr, left, top, size, size);
    cairo_fill(cr);
    SetColour(cr, kInk);
    cairo_set_line_width(cr, 1);
    cairo_rectangle(cr, left + 0.5, top + 0.5, size, size);
    cairo_stroke(cr);
    for (int v = 0; v <= 250; v += 50) {
        Text(cr, px(v), top + size + 16, std::to_string(v), 10.5, kInk, Align::Centre);
        Text(cr, left - 6, py(v) + 4, std::to_string(v), 10.5, kInk, Align::Right);
    }
    Text(cr, left + size / 2, top + size + 32, "input byte", 12, kInk, Align::Centre);
    cairo_save(cr);
    cairo_translate(cr, left - 36, top + size / 2);
    cairo_rotate(cr, -M_PI / 2);
    Text(cr, 0, 0, "output byte", 12, kInk, Align::Centre);
    cairo_restore(cr);

    const double dash[] = {4, 4};
    cairo_set_dash(cr, dash, 2, 0);
    SetColour(cr, kGrey);
    cairo_move_to(cr, px(0), py(0));
    cairo_line_to(cr, px(255), py(255));
    cairo_stroke(cr);
    cairo_set_dash(cr, nullptr, 0, 0);

    SetColour(cr, kAfter);
    cairo_set_line_width(cr, 3);
    cairo_move_to(cr, px(0), py(in.curve[0]));
    for (int i = 1; i < 256; ++i)
        cairo_line_to(cr, px(i), py(in.curve[i]));
    cairo_stroke(cr);

    Text(cr, left + size / 2, top - 26, "tone curve", 14, kInk, Align::Centre, true);
    Text(cr, left + size / 2, top - 9, ExplainCorrection(in.decision), 11, kAfter, Align::Centre);
}

// A cairo surface holding the image reduced to fit within maxWidth x
// maxHeight (nearest sample: enough for a thumbnail, and cheap on huge photos).
Surface Thumbnail(const imageio::Image& image, int maxWidth, int maxHeight)
{
    const double factor = std::max({1.0, double(image.width) / maxWidth, double(image.height) / maxHeight});
    const int w = std::max(1, int(image.width / factor));
    const int h = std::max(1, int(image.height / factor));
    Surface surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, h), cairo_surface_destroy);
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS)
        throw imageio::ImageError("cannot draw the plot: out of memory");
    cairo_surface_flush(surface.get());
    BYTE* data = cairo_image_surface_get_data(surface.get());
    const int stride = cairo_image_surface_get_stride(surface.get());
    for (int y = 0; y < h; ++y) {
        const BYTE* row = image.Row(std::min<DWORD>(image.height - 1, DWORD(y * factor)));
        auto* out = reinterpret_cast<uint32_t*>(data + size_t(y) * stride);
        for (int x = 0; x < w; ++x) {
            const BYTE* p = row + 3 * size_t(std::min<DWORD>(image.width - 1, DWORD(x * factor)));
            out[x] = (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2];
        }
    }
    cairo_surface_mark_dirty(surface.get());
    return surface;
}

void DrawPhoto(cairo_t* cr, const imageio::Image& image, double x, double y, double maxW, double maxH,
               const std::string& caption)
{
    const Surface thumb = Thumbnail(image, int(maxW), int(maxH));
    const int w = cairo_image_surface_get_width(thumb.get());
    const int h = cairo_image_surface_get_height(thumb.get());
    const double fit = std::min(maxW / w, maxH / h);
    const double dx = x + (maxW - w * fit) / 2;
    cairo_save(cr);
    cairo_translate(cr, dx, y);
    cairo_scale(cr, fit, fit);
    cairo_set_source_surface(cr, thumb.get(), 0, 0);
    cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_GOOD);
    cairo_paint(cr);
    cairo_restore(cr);
    Text(cr, x + maxW / 2, y + h * fit + 16, caption, 12, kInk, Align::Centre);
}

cairo_status_t WriteToFile(void* closure, const unsigned char* data, unsigned int length)
{
    return std::fwrite(data, 1, length, static_cast<FILE*>(closure)) == length ? CAIRO_STATUS_SUCCESS
                                                                                 : CAIRO_STATUS_WRITE_ERROR;
}

} // namespace

void WritePlot(const PlotInput& in, const std::string& path)
{
    Surface surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, kWidth, kHeight), cairo_surface_destroy);
    Context context(cairo_create(surface.get()), cairo_destroy);
    cairo_t* cr = context.get();
    if (cairo_status(cr) != CAIRO_STATUS_SUCCESS)
        throw imageio::ImageError("cannot draw the plot: out of memory");

    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);

    const ExposureDecision& d = in.decision;
    std::string headline = in.title + ": " + TypeWords(d.stats.type);
    Text(cr, kHistLeft, 38, headline, 22, kInk, Align::Left, true);
    Text(cr, kHistLeft, 64, ExplainClassification(d), 13, kInk);
    Text(cr, kHistLeft, 86, "so: " + ExplainCorrection(d), 13, kAfter, Align::Left, true);

    DrawHistogram(cr, in);
    DrawCurve(cr, in);

    const double photoTop = 660, photoH = 190, photoW = 285;
    DrawPhoto(cr, *in.original, kHistLeft, photoTop, photoW, photoH, "before");
    DrawPhoto(cr, *in.corrected, kHistLeft + photoW + 30, photoTop, photoW, photoH,
              d.correction == CorrectionNone ? "after (unchanged)" : "after");

    // The numbers, for those who want them.
    const ExposureStatistics& s = d.stats;
    double ty = 570;
    const double tx = kCurveLeft - 20;
    Text(cr, tx, ty, "statistics over bins 0..249", 13, kInk, Align::Left, true);
    const std::string lines[] = {
        Printf("centroid %ld   mid-point %ld", long(s.lCentroid), long(s.lMidPoint)),
        Printf("edges %ld..%ld   scale %.3f", long(s.lLowEdge), long(s.lHighEdge), s.dScale),
        Printf("percentiles 1/5/20/80/95/99%%: %ld %ld %ld %ld %ld %ld", long(d.lPercentile[0]),
               long(d.lPercentile[1]), long(d.lPercentile[2]), long(d.lPercentile[3]), long(d.lPercentile[4]),
               long(d.lPercentile[5])),
        Printf("type %s, correction %s", TypeName(s.type), CorrectionName(d.correction)),
        Printf("low contrast when scale > %.3f", c_LowContrastScale),
        Printf("%lu x %lu pixels", static_cast<unsigned long>(in.original->width),
               static_cast<unsigned long>(in.original->height)),
    };
    for (const std::string& line : lines)
        Text(cr, tx, ty += 20, line, 12, kInk);

    cairo_surface_flush(surface.get());
    if (cairo_status(cr) != CAIRO_STATUS_SUCCESS)
        throw imageio::ImageError(std::string("cannot draw the plot: ") + cairo_status_to_string(cairo_status(cr)));
    imageio::OutputFile output(path);
    const cairo_status_t status = cairo_surface_write_to_png_stream(surface.get(), WriteToFile, output.Stream());
    if (status != CAIRO_STATUS_SUCCESS || std::fflush(output.Stream()) != 0)
        throw imageio::ImageError("cannot write the plot: " +
                                  std::string(status != CAIRO_STATUS_SUCCESS ? cairo_status_to_string(status)
                                                                             : "write error"));
    output.Commit();
}

void ReleasePlotResources()
{
    // cairo first: its font caches hold fontconfig patterns.
    cairo_debug_reset_static_data();
    FcFini();
}

} // namespace tonwell::tools
