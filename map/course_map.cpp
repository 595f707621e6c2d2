#include "map/course_map.h"

#include <cairo.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <numbers>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "course/course_geometry.h"
#include "map/png_file.h"
#include "rom/errors.h"
#include "rom/file.h"
#include "rom/text.h"

namespace tflux::map {

namespace {

namespace fs = std::filesystem;

// ---- Cairo handles ----

struct SurfaceDeleter {
    void operator()(cairo_surface_t* surface) const { cairo_surface_destroy(surface); }
};
struct ContextDeleter {
    void operator()(cairo_t* cr) const { cairo_destroy(cr); }
};
using SurfacePtr = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;
using ContextPtr = std::unique_ptr<cairo_t, ContextDeleter>;

std::string CairoText(cairo_status_t status) {
    return cairo_status_to_string(status);
}

struct Canvas {
    SurfacePtr surface;
    ContextPtr cr;
};

Canvas MakeCanvas(int width, int height, const std::string& what) {
    Canvas canvas;
    canvas.surface.reset(cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height));
    if (const cairo_status_t status = cairo_surface_status(canvas.surface.get());
        status != CAIRO_STATUS_SUCCESS) {
        throw EngineError("cannot draw " + what + ": " + CairoText(status));
    }
    canvas.cr.reset(cairo_create(canvas.surface.get()));
    if (const cairo_status_t status = cairo_status(canvas.cr.get());
        status != CAIRO_STATUS_SUCCESS) {
        throw EngineError("cannot draw " + what + ": " + CairoText(status));
    }
    return canvas;
}

void CheckDrawn(Canvas& canvas, const std::string& what) {
    if (const cairo_status_t status = cairo_status(canvas.cr.get());
        status != CAIRO_STATUS_SUCCESS) {
        throw EngineError("cannot draw " + what + ": " + CairoText(status));
    }
}

// The finished picture as the bytes of its PNG file, for `png`.
std::vector<std::uint8_t> Encoded(Canvas& canvas, const fs::path& png) {
    CheckDrawn(canvas, PathText(png));
    try {
        return EncodePng(canvas.surface.get());
    } catch (const EngineError& e) {
        throw e.Within("cannot write " + PathText(png) + ": ");
    }
}

// ---- colours and words ----

// A map's legend says what an air gap is for.
std::string_view ShapeLabel(Shape shape) {
    return shape == Shape::Air ? "air (jump)" : ShapeDescription(shape);
}

Rgb Mix(const Rgb& a, const Rgb& b, double k) {
    return {a.r + (b.r - a.r) * k, a.g + (b.g - a.g) * k, a.b + (b.b - a.b) * k};
}

void SetColour(cairo_t* cr, const Rgb& c, double alpha = 1.0) {
    cairo_set_source_rgba(cr, c.r, c.g, c.b, alpha);
}

// A track name as Cairo draws it: the text before its first NUL, with control bytes, which
// would draw as nothing or as boxes, made spaces.
std::string DrawableName(std::string_view text) {
    std::string shown(text.substr(0, text.find('\0')));
    for (char& ch : shown) {
        const auto byte = static_cast<unsigned char>(ch);
        if (byte < 0x20 || (byte >= 0x7F && byte < 0xA0)) {
            ch = ' ';
        }
    }
    return Latin1ToUtf8(shown);
}

std::string VenueLabel(int venue) {
    std::string name(VenueName(venue));
    if (name.empty()) {
        return "venue " + std::to_string(venue);
    }
    std::replace(name.begin(), name.end(), '-', ' ');
    name[0] = static_cast<char>(name[0] - 'a' + 'A');
    return name;
}

std::string TrackNumber(int track) {
    std::string number = std::to_string(track);
    return number.size() < 2 ? "0" + number : number;
}

// ---- text ----

enum class Weight { Normal, Bold };

void SetFont(cairo_t* cr, double size, Weight weight) {
    cairo_select_font_face(
        cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL,
        weight == Weight::Bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, size);
}

double TextWidth(cairo_t* cr, const std::string& utf8) {
    cairo_text_extents_t extents;
    cairo_text_extents(cr, utf8.c_str(), &extents);
    return extents.x_advance;
}

// Draws a line of text with its baseline at y, shrunk to fit maxWidth; returns its width.
double Text(cairo_t* cr, const std::string& utf8, double x, double y, double size, Weight weight,
            const Rgb& colour, double maxWidth = 0) {
    SetFont(cr, size, weight);
    double width = TextWidth(cr, utf8);
    if (maxWidth > 0 && width > maxWidth && width > 0) {
        SetFont(cr, size * maxWidth / width, weight);
        width = TextWidth(cr, utf8);
    }
    SetColour(cr, colour);
    cairo_move_to(cr, x, y);
    cairo_show_text(cr, utf8.c_str());
    cairo_new_path(cr);
    return width;
}

// Breaks text into lines no wider than width, at spaces.
std::vector<std::string> WrapText(cairo_t* cr, const std::string& text, double width) {
    std::vector<std::string> lines;
    std::string line;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find(' ', at);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string word = text.substr(at, end - at);
        const std::string candidate = line.empty() ? word : line + " " + word;
        if (!line.empty() && TextWidth(cr, candidate) > width) {
            lines.push_back(line);
            line = word;
        } else {
            line = candidate;
        }
        at = end + 1;
    }
    if (!line.empty()) {
        lines.push_back(line);
    }
    return lines;
}

// ---- the road from above ----

struct Point2 {
    double x = 0;
    double y = 0;
};

Point2 operator+(const Point2& a, const Point2& b) {
    return {a.x + b.x, a.y + b.y};
}
Point2 operator-(const Point2& a, const Point2& b) {
    return {a.x - b.x, a.y - b.y};
}
Point2 operator*(const Point2& a, double k) {
    return {a.x * k, a.y * k};
}

// Samples per segment: enough for smooth curves on the largest maps.
constexpr int kSamples = 24;

// One sample of a segment seen from above, in course units (x, z).
struct FlatSample {
    Point2 centre;
    Point2 side;  // unit, horizontal, towards the right edge
    double left = 0;
    double right = 0;
    double height = 0;
    double along = 0;  // distance from the segment's start
};

struct FlatSegment {
    std::size_t index = 0;
    Shape shape = Shape::Road;
    double height = 0;  // mean, for drawing the higher road last
    double length = 0;
    std::vector<FlatSample> samples;
};

struct FlatCourse {
    std::vector<FlatSegment> segments;  // in course order
    Point2 centre;                      // of the points' bounding box, where the game's origin is
    Point2 reach;                       // furthest edge from the centre in x and in z
    Point2 span;                        // of the points' bounding box
    double minHeight = 0;
    double maxHeight = 0;
    double length = 0;
};

// The course coordinates the map accepts: well beyond the game's limits, yet far from where
// doubles lose the road's width.
constexpr double kMaxCoordinate = 1e6;

// Why a course cannot be drawn at all; nothing when it can.
std::optional<std::string> Undrawable(const Course& course) {
    if (course.count < kCourseMinPoints || course.count > int(kCourseMaxPoints)) {
        return "it has " + std::to_string(course.count) + " control points, and a course needs " +
               std::to_string(kCourseMinPoints) + " to " + std::to_string(kCourseMaxPoints);
    }
    const std::size_t n = course.PointsInUse();
    for (std::size_t i = 0; i < n; ++i) {
        const ControlPoint& p = course.points[i];
        for (const float v : {p.x, p.y, p.z}) {
            if (!std::isfinite(v)) {
                return "point " + std::to_string(i) + " has a coordinate that is not a number";
            }
            if (std::fabs(v) > kMaxCoordinate) {
                return "point " + std::to_string(i) + " lies " + Thousands(std::fabs(v)) +
                       " units out";
            }
        }
    }
    return std::nullopt;
}

Point2 Flat(const Vec3& v) {
    return {v.x, v.z};
}

Point2 UnitOr(const Point2& v, const Point2& fallback) {
    const double length = std::hypot(v.x, v.y);
    return length > 1e-9 ? v * (1.0 / length) : fallback;
}

FlatSegment FlattenSegment(const Course& course, std::size_t index) {
    FlatSegment segment;
    segment.index = index;
    segment.shape = InfoShape(course.points[index].info);
    const std::vector<RoadSample> frames = SampleSegment(course, index, kSamples);
    // A vertical tangent has no horizontal direction: the chord's stands in.
    const Point2 chord = UnitOr(Flat(frames.back().centre - frames.front().centre), {1, 0});
    Point2 previous = chord;
    double heights = 0;
    for (std::size_t k = 0; k < frames.size(); ++k) {
        const RoadSample& frame = frames[k];
        FlatSample sample;
        sample.centre = Flat(frame.centre);
        const Point2 forward = UnitOr(Flat(frame.forward), previous);
        previous = forward;
        // forward x up, with up vertical: right of the direction of travel.
        sample.side = {-forward.y, forward.x};
        sample.left = std::max(0.0, frame.leftRadius);
        sample.right = std::max(0.0, frame.rightRadius);
        sample.height = frame.centre.y;
        if (k > 0) {
            sample.along =
                segment.samples.back().along + (frame.centre - frames[k - 1].centre).Length();
        }
        heights += sample.height;
        segment.samples.push_back(sample);
    }
    segment.height = heights / double(frames.size());
    segment.length = segment.samples.back().along;
    return segment;
}

FlatCourse Flatten(const Course& course) {
    FlatCourse flat;
    const std::size_t n = course.PointsInUse();
    double minX = course.points[0].x;
    double maxX = minX;
    double minZ = course.points[0].z;
    double maxZ = minZ;
    for (std::size_t i = 0; i < n; ++i) {
        minX = std::min<double>(minX, course.points[i].x);
        maxX = std::max<double>(maxX, course.points[i].x);
        minZ = std::min<double>(minZ, course.points[i].z);
        maxZ = std::max<double>(maxZ, course.points[i].z);
    }
    flat.centre = {(minX + maxX) / 2, (minZ + maxZ) / 2};
    flat.span = {maxX - minX, maxZ - minZ};
    flat.minHeight = course.points[0].y;
    flat.maxHeight = flat.minHeight;
    for (std::size_t i = 0; i < n; ++i) {
        flat.segments.push_back(FlattenSegment(course, i));
        const FlatSegment& segment = flat.segments.back();
        flat.length += segment.length;
        for (const FlatSample& s : segment.samples) {
            flat.minHeight = std::min(flat.minHeight, s.height);
            flat.maxHeight = std::max(flat.maxHeight, s.height);
            for (const Point2 edge : {s.centre - s.side * s.left, s.centre + s.side * s.right}) {
                flat.reach.x = std::max(flat.reach.x, std::fabs(edge.x - flat.centre.x));
                flat.reach.y = std::max(flat.reach.y, std::fabs(edge.y - flat.centre.y));
            }
        }
    }
    return flat;
}

// Where a sample lies across the road: -1 the left edge, 0 the centre, 1 the right edge.
Point2 Across(const FlatSample& s, double lane) {
    return s.centre + s.side * (lane < 0 ? lane * s.left : lane * s.right);
}

// The sample at t in [0, 1] along a segment, between the two it falls between.
FlatSample SampleAt(const FlatSegment& segment, double t) {
    const double position = std::clamp(t, 0.0, 1.0) * kSamples;
    const auto k = std::min<std::size_t>(static_cast<std::size_t>(position), kSamples - 1);
    const double f = position - double(k);
    const FlatSample& a = segment.samples[k];
    const FlatSample& b = segment.samples[k + 1];
    FlatSample s;
    s.centre = a.centre + (b.centre - a.centre) * f;
    s.side = UnitOr(a.side + (b.side - a.side) * f, a.side);
    s.left = a.left + (b.left - a.left) * f;
    s.right = a.right + (b.right - a.right) * f;
    s.height = a.height + (b.height - a.height) * f;
    s.along = a.along + (b.along - a.along) * f;
    return s;
}

// The t at which a segment has run `distance` units.
double TAtDistance(const FlatSegment& segment, double distance) {
    if (distance <= 0) {
        return 0;
    }
    for (std::size_t k = 1; k < segment.samples.size(); ++k) {
        const FlatSample& a = segment.samples[k - 1];
        const FlatSample& b = segment.samples[k];
        if (b.along >= distance) {
            const double span = b.along - a.along;
            const double f = span > 0 ? (distance - a.along) / span : 0;
            return (double(k - 1) + f) / kSamples;
        }
    }
    return 1;
}

// ---- drawing one course into a square ----

struct View {
    Point2 origin;  // the pixel of the game's origin
    Point2 centre;  // course coordinates of the game's origin
    double scale = 1;

    Point2 operator()(const Point2& p) const { return origin + (p - centre) * scale; }
};

// How much a map of this size shows.
struct Detail {
    double unit = 1;  // one design pixel, in pixels
};

void MoveTo(cairo_t* cr, const Point2& p) {
    cairo_move_to(cr, p.x, p.y);
}
void LineTo(cairo_t* cr, const Point2& p) {
    cairo_line_to(cr, p.x, p.y);
}

// A band along a segment between t0 and t1, across it between two lanes (-1 .. 1).
void BandPath(cairo_t* cr, const View& view, const FlatSegment& segment, double t0, double t1,
              double lane0, double lane1) {
    std::vector<FlatSample> along{SampleAt(segment, t0)};
    for (int k = 1; k < kSamples; ++k) {
        const double t = double(k) / kSamples;
        if (t > t0 && t < t1) {
            along.push_back(segment.samples[std::size_t(k)]);
        }
    }
    along.push_back(SampleAt(segment, t1));
    MoveTo(cr, view(Across(along.front(), lane0)));
    for (const FlatSample& s : along) {
        LineTo(cr, view(Across(s, lane0)));
    }
    for (auto it = along.rbegin(); it != along.rend(); ++it) {
        LineTo(cr, view(Across(*it, lane1)));
    }
    cairo_close_path(cr);
}

struct Lane {
    double from = 0;
    double to = 0;
};
constexpr Lane kLeftLane{-0.92, -0.38};
constexpr Lane kMiddleLane{-0.30, 0.30};
constexpr Lane kRightLane{0.38, 0.92};
constexpr Lane kFullWidth{-0.92, 0.92};

// The bands a zone, dash plate or mine field of this value covers, left to right.
std::vector<Lane> FeatureBands(Feature feature, int value) {
    const int lanes = FeatureLanes(feature, value);
    std::vector<Lane> bands;
    for (const auto& [bit, band] :
         {std::pair{kLaneLeft, kLeftLane}, std::pair{kLaneMiddle, kMiddleLane},
          std::pair{kLaneRight, kRightLane}}) {
        if (lanes & bit) {
            bands.push_back(band);
        }
    }
    return bands;
}

void FillBand(cairo_t* cr, const View& view, const FlatSegment& segment, double t0, double t1,
              const Lane& lane, const Rgb& colour) {
    BandPath(cr, view, segment, t0, t1, lane.from, lane.to);
    SetColour(cr, colour);
    cairo_fill(cr);
}

// Chevrons pointing the way: the dash plate over the second half of the segment.
void DrawDash(cairo_t* cr, const View& view, const FlatSegment& segment, const Lane& lane,
              const Detail& detail) {
    FillBand(cr, view, segment, 0.5, 0.98, lane, Mix(FeatureColour(Feature::Dash), kDark, 0.35));
    const double mid = (lane.from + lane.to) / 2;
    for (const double t : {0.58, 0.74, 0.90}) {
        const FlatSample at = SampleAt(segment, t);
        const FlatSample back = SampleAt(segment, t - 0.1);
        MoveTo(cr, view(Across(back, lane.from)));
        LineTo(cr, view(Across(at, mid)));
        LineTo(cr, view(Across(back, lane.to)));
        SetColour(cr, FeatureColour(Feature::Dash));
        cairo_set_line_width(cr, std::max(1.0, 2.0 * detail.unit));
        cairo_set_line_join(cr, CAIRO_LINE_JOIN_MITER);
        cairo_stroke(cr);
    }
}

void DrawJump(cairo_t* cr, const View& view, const FlatSegment& segment, int value,
              const Detail& detail) {
    const double t = TAtDistance(segment, segment.length - 100);
    const double t0 = TAtDistance(segment, segment.length - 140);
    const double t1 = TAtDistance(segment, segment.length - 60);
    const Lane lane = value == 1 ? Lane{-0.92, 0} : value == 2 ? Lane{0, 0.92} : kFullWidth;
    const FlatSample s = SampleAt(segment, t);
    // At least a visible bar, however small the map.
    MoveTo(cr, view(Across(s, lane.from)));
    LineTo(cr, view(Across(s, lane.to)));
    SetColour(cr, FeatureColour(Feature::Jump));
    cairo_set_line_width(cr, std::max(3.0 * detail.unit, 80 * view.scale));
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT);
    cairo_stroke(cr);
    FillBand(cr, view, segment, t0, t1, lane, FeatureColour(Feature::Jump));
}

void Disc(cairo_t* cr, const Point2& at, double radius, const Rgb& fill, const Rgb& outline,
          double outlineWidth) {
    cairo_new_sub_path(cr);
    cairo_arc(cr, at.x, at.y, radius, 0, 2 * std::numbers::pi);
    SetColour(cr, fill);
    cairo_fill_preserve(cr);
    SetColour(cr, outline);
    cairo_set_line_width(cr, outlineWidth);
    cairo_stroke(cr);
}

void DrawMines(cairo_t* cr, const View& view, const FlatSegment& segment, const Lane& lane,
               const Detail& detail) {
    const double mid = (lane.from + lane.to) / 2;
    for (int k = 0; k < 6; ++k) {
        const FlatSample s = SampleAt(segment, (k + 0.5) / 6);
        Disc(cr, view(Across(s, mid)), std::max(1.8, 3.2 * detail.unit),
             FeatureColour(Feature::Mine), kDark, std::max(0.6, 1.0 * detail.unit));
    }
}

// A regular polygon, for gate and roadside glyphs.
void Polygon(cairo_t* cr, const Point2& at, double radius, int sides, double turn) {
    for (int k = 0; k < sides; ++k) {
        const double a = turn + 2 * std::numbers::pi * k / sides;
        const Point2 p{at.x + radius * std::cos(a), at.y + radius * std::sin(a)};
        k == 0 ? MoveTo(cr, p) : LineTo(cr, p);
    }
    cairo_close_path(cr);
}

void DrawGate(cairo_t* cr, const View& view, const FlatSegment& segment, int value,
              const Detail& detail) {
    const FlatSample s = SampleAt(segment, 0.02);
    const Point2 left = view(Across(s, -1.15));
    const Point2 right = view(Across(s, 1.15));
    MoveTo(cr, left);
    LineTo(cr, right);
    cairo_set_line_width(cr, std::max(1.5, 2.5 * detail.unit));
    SetColour(cr, FeatureColour(Feature::Gate));
    if (value == 1) {
        // The start gate: a chequered beam.
        const double dash = std::max(2.0, 4.0 * detail.unit);
        cairo_set_dash(cr, &dash, 1, 0);
        cairo_stroke(cr);
        cairo_set_dash(cr, nullptr, 0, 0);
    } else {
        cairo_stroke(cr);
    }
    const double r = std::max(2.0, 4.0 * detail.unit);
    for (const Point2& post : {left, right}) {
        if (value == 2) {
            Polygon(cr, post, r, 6, 0);
        } else {
            cairo_rectangle(cr, post.x - r * 0.8, post.y - r * 0.8, r * 1.6, r * 1.6);
        }
        SetColour(cr, FeatureColour(Feature::Gate));
        cairo_fill_preserve(cr);
        SetColour(cr, kDark);
        cairo_set_line_width(cr, std::max(0.6, detail.unit));
        cairo_stroke(cr);
    }
}

// Beside the road, clear of its edge: the pixel where a roadside thing stands.
Point2 Roadside(const View& view, const FlatSample& s, bool rightSide, double gapPixels) {
    const Point2 edge = view(Across(s, rightSide ? 1 : -1));
    return edge + s.side * (rightSide ? gapPixels : -gapPixels);
}

// Value 0..2 of a roadside kind: both sides, left, right.
std::vector<bool> Sides(int side) {
    if (side == 1) {
        return {false};
    }
    if (side == 2) {
        return {true};
    }
    return {false, true};
}

void DrawBuilding(cairo_t* cr, const View& view, const FlatSegment& segment, int value,
                  const Detail& detail) {
    if (value < 0 || value > 14) {
        return;
    }
    const int kind = value / 3;
    const FlatSample s = SampleAt(segment, 0.5);
    const double r = (kind == 1 ? 3.5 : kind == 3 ? 6.5 : 5.0) * detail.unit;
    for (const bool rightSide : Sides(value % 3)) {
        const Point2 at = Roadside(view, s, rightSide, r + 4 * detail.unit);
        switch (kind) {
            case 2:  // spire
            case 3:  // mountain
                Polygon(cr, at, r * 1.2, 3, -std::numbers::pi / 2);
                break;
            default:
                cairo_rectangle(cr, at.x - r, at.y - r, 2 * r, 2 * r);
                break;
        }
        SetColour(cr, kind == 4 ? kGold : kind == 3 ? kMountain : FeatureColour(Feature::Building));
        cairo_fill_preserve(cr);
        SetColour(cr, kDark);
        cairo_set_line_width(cr, std::max(0.6, detail.unit));
        cairo_stroke(cr);
    }
}

void DrawSign(cairo_t* cr, const View& view, const FlatSegment& segment, int value,
              const Detail& detail) {
    const FlatSample s = SampleAt(segment, 0.5);
    if (value == 4) {
        // A banner spans the road.
        MoveTo(cr, view(Across(s, -1.1)));
        LineTo(cr, view(Across(s, 1.1)));
        SetColour(cr, FeatureColour(Feature::Sign));
        cairo_set_line_width(cr, std::max(1.5, 3.0 * detail.unit));
        cairo_stroke(cr);
        return;
    }
    if (value < 0 || value > 4) {
        return;
    }
    const double r = 2.6 * detail.unit;
    for (const bool rightSide : {false, true}) {
        const Point2 at = Roadside(view, s, rightSide, r + 3 * detail.unit);
        cairo_rectangle(cr, at.x - r, at.y - r, 2 * r, 2 * r);
        SetColour(cr, FeatureColour(Feature::Sign));
        cairo_fill_preserve(cr);
        SetColour(cr, kDark);
        cairo_set_line_width(cr, std::max(0.5, 0.8 * detail.unit));
        cairo_stroke(cr);
    }
}

void DrawFeatures(cairo_t* cr, const View& view, const Course& course, const FlatSegment& segment,
                  const Detail& detail) {
    const std::size_t i = segment.index;
    for (const Feature zone : {Feature::Pit, Feature::Dirt, Feature::Ice}) {
        for (const Lane& lane : FeatureBands(zone, course.Feat(zone, i))) {
            FillBand(cr, view, segment, 0.03, 0.97, lane, FeatureColour(zone));
        }
    }
    for (const Lane& lane : FeatureBands(Feature::Dash, course.Feat(Feature::Dash, i))) {
        DrawDash(cr, view, segment, lane, detail);
    }
    if (const int jump = course.Feat(Feature::Jump, i); jump >= 0 && jump <= 2) {
        DrawJump(cr, view, segment, jump, detail);
    }
    for (const Lane& lane : FeatureBands(Feature::Mine, course.Feat(Feature::Mine, i))) {
        DrawMines(cr, view, segment, lane, detail);
    }
    if (const int gate = course.Feat(Feature::Gate, i); gate >= 0 && gate <= 2) {
        DrawGate(cr, view, segment, gate, detail);
    }
    DrawBuilding(cr, view, segment, course.Feat(Feature::Building, i), detail);
    DrawSign(cr, view, segment, course.Feat(Feature::Sign, i), detail);
}

// Higher road is drawn brighter, lower road darker; a flat course keeps the legend's colours.
Rgb Shaded(const Rgb& colour, double height, const FlatCourse& flat) {
    const double range = flat.maxHeight - flat.minHeight;
    if (range < 1) {
        return colour;
    }
    const double f = (height - flat.minHeight) / range;
    return f < 0.5 ? Mix(colour, kDark, (0.5 - f) * 0.7) : Mix(colour, kText, (f - 0.5) * 0.5);
}

void SurfacePath(cairo_t* cr, const View& view, const FlatSegment& segment) {
    MoveTo(cr, view(Across(segment.samples.front(), -1)));
    for (const FlatSample& s : segment.samples) {
        LineTo(cr, view(Across(s, -1)));
    }
    for (auto it = segment.samples.rbegin(); it != segment.samples.rend(); ++it) {
        LineTo(cr, view(Across(*it, 1)));
    }
    cairo_close_path(cr);
}

void EdgePath(cairo_t* cr, const View& view, const FlatSegment& segment, double lane) {
    MoveTo(cr, view(Across(segment.samples.front(), lane)));
    for (const FlatSample& s : segment.samples) {
        LineTo(cr, view(Across(s, lane)));
    }
}

void DrawSurface(cairo_t* cr, const View& view, const FlatCourse& flat, const FlatSegment& segment,
                 const Detail& detail) {
    if (segment.shape == Shape::Air) {
        // The flight: a faint dashed line where the machines fly.
        EdgePath(cr, view, segment, 0);
        SetColour(cr, ShapeColour(Shape::Air), 0.55);
        cairo_set_line_width(cr, std::max(1.0, 1.5 * detail.unit));
        const std::array<double, 2> dashes{4 * detail.unit, 4 * detail.unit};
        cairo_set_dash(cr, dashes.data(), 2, 0);
        cairo_stroke(cr);
        cairo_set_dash(cr, nullptr, 0, 0);
        return;
    }
    const Rgb colour = Shaded(ShapeColour(segment.shape), segment.height, flat);
    SurfacePath(cr, view, segment);
    SetColour(cr, colour);
    cairo_fill_preserve(cr);
    // A thin stroke in the same colour closes the hairline seams between segments.
    cairo_set_line_width(cr, 1.0);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    cairo_stroke(cr);
    double widest = 0;
    for (const FlatSample& s : segment.samples) {
        widest = std::max(widest, (s.left + s.right) * view.scale);
    }
    if (widest < 2.5) {
        // A road narrower than a few pixels still shows as a line.
        EdgePath(cr, view, segment, 0);
        cairo_set_line_width(cr, 2.5);
        cairo_stroke(cr);
    }
    if (segment.shape == Shape::Borderless) {
        return;
    }
    const bool walled = segment.shape == Shape::Walled;
    const Rgb edge = walled ? Mix(colour, kText, 0.75) : Mix(colour, kText, 0.45);
    SetColour(cr, edge);
    cairo_set_line_width(cr, std::max(0.8, (walled ? 2.4 : 1.2) * detail.unit));
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    EdgePath(cr, view, segment, -1);
    cairo_stroke(cr);
    EdgePath(cr, view, segment, 1);
    cairo_stroke(cr);
}

// Arrows along the centre line, one every `spacing` pixels of road.
void DrawArrows(cairo_t* cr, const View& view, const FlatSegment& segment, double& carried,
                double spacing, const Detail& detail) {
    for (std::size_t k = 1; k < segment.samples.size(); ++k) {
        const FlatSample& a = segment.samples[k - 1];
        const FlatSample& b = segment.samples[k];
        const Point2 pa = view(a.centre);
        const Point2 pb = view(b.centre);
        const double step = std::hypot(pb.x - pa.x, pb.y - pa.y);
        carried += step;
        if (carried < spacing || step <= 0) {
            continue;
        }
        carried = 0;
        if (segment.shape == Shape::Air) {
            continue;
        }
        const Point2 dir = (pb - pa) * (1.0 / step);
        const Point2 normal{-dir.y, dir.x};
        const double width = (b.left + b.right) * view.scale;
        const double size = std::clamp(width * 0.35, 2.5 * detail.unit, 7.0 * detail.unit);
        const Point2 tip = pb + dir * size;
        MoveTo(cr, tip);
        LineTo(cr, pb - dir * size + normal * size * 0.8);
        LineTo(cr, pb - dir * (size * 0.45));
        LineTo(cr, pb - dir * size - normal * size * 0.8);
        cairo_close_path(cr);
        SetColour(cr, kDark, 0.72);
        cairo_fill(cr);
    }
}

void DrawLapLine(cairo_t* cr, const View& view, const FlatCourse& flat, const Detail& detail) {
    const FlatSample& s = flat.segments[0].samples.back();
    const Point2 left = view(Across(s, -1.25));
    const Point2 right = view(Across(s, 1.25));
    const double width = std::max(3.0, 5.0 * detail.unit);
    for (const auto& [colour, offset] : {std::pair{kDark, 0.0}, std::pair{kText, 1.0}}) {
        MoveTo(cr, left);
        LineTo(cr, right);
        SetColour(cr, colour);
        cairo_set_line_width(cr, width);
        cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT);
        const double dash = width;
        cairo_set_dash(cr, &dash, 1, offset * dash);
        cairo_stroke(cr);
    }
    cairo_set_dash(cr, nullptr, 0, 0);
}

// Draws a course to fit the box, its game origin at the box's centre.
void DrawRoads(cairo_t* cr, const Course& course, const FlatCourse& flat, double x, double y,
               double width, double height, const Detail& detail) {
    View view;
    view.origin = {x + width / 2, y + height / 2};
    view.centre = flat.centre;
    const double sx = flat.reach.x > 0 ? width / 2 / flat.reach.x : 1;
    const double sy = flat.reach.y > 0 ? height / 2 / flat.reach.y : 1;
    view.scale = std::min(sx, sy);

    std::vector<const FlatSegment*> order;
    for (const FlatSegment& segment : flat.segments) {
        order.push_back(&segment);
    }
    // Where the road crosses itself the higher part lies on top.
    std::stable_sort(order.begin(), order.end(), [](const FlatSegment* a, const FlatSegment* b) {
        return a->height < b->height;
    });
    std::vector<double> carried(flat.segments.size(), 0);
    const double spacing = 110 * detail.unit;
    {
        // Arrows are spaced along the course in order, whatever order the segments are drawn.
        double run = spacing / 2;
        for (const FlatSegment& segment : flat.segments) {
            carried[segment.index] = run;
            for (std::size_t k = 1; k < segment.samples.size(); ++k) {
                const Point2 pa = view(segment.samples[k - 1].centre);
                const Point2 pb = view(segment.samples[k].centre);
                run += std::hypot(pb.x - pa.x, pb.y - pa.y);
                if (run >= spacing) {
                    run = 0;
                }
            }
        }
    }
    for (const FlatSegment* segment : order) {
        DrawSurface(cr, view, flat, *segment, detail);
        // Gates and signs may stand over an air segment too.
        DrawFeatures(cr, view, course, *segment, detail);
        double run = carried[segment->index];
        DrawArrows(cr, view, *segment, run, spacing, detail);
    }
    DrawLapLine(cr, view, flat, detail);
}

// ---- the legend ----

enum class Glyph { Surface, Flight, Band, Chevron, Bar, Dots, Gate, Block, Sign, LapLine, Arrow };

struct LegendItem {
    std::string label;
    Glyph glyph = Glyph::Band;
    Rgb colour;
};

std::vector<LegendItem> LegendFor(const Course* course) {
    std::array<bool, kShapeCount> shapes{};
    std::array<bool, kFeatureCount> features{};
    if (course) {
        for (std::size_t i = 0; i < course->PointsInUse(); ++i) {
            shapes[static_cast<std::size_t>(InfoShape(course->points[i].info)) % kShapeCount] =
                true;
            for (std::size_t f = 0; f < kFeatureCount; ++f) {
                features[f] = features[f] || course->features[f][i] >= 0;
            }
        }
    } else {
        shapes.fill(true);
        features.fill(true);
    }
    std::vector<LegendItem> items;
    for (const Shape shape : {Shape::Road, Shape::Walled, Shape::Borderless, Shape::Tunnel,
                              Shape::Pipe, Shape::Cylinder, Shape::HalfPipe, Shape::Air}) {
        if (shapes[static_cast<std::size_t>(shape)]) {
            items.push_back({std::string(ShapeLabel(shape)),
                             shape == Shape::Air ? Glyph::Flight : Glyph::Surface,
                             ShapeColour(shape)});
        }
    }
    // Indexed by Feature.
    const std::array<std::pair<const char*, Glyph>, kFeatureCount> featureItems{{
        {"refill", Glyph::Band},
        {"dash plate", Glyph::Chevron},
        {"dirt", Glyph::Band},
        {"ice", Glyph::Band},
        {"jump plate", Glyph::Bar},
        {"mines", Glyph::Dots},
        {"gate", Glyph::Gate},
        {"building", Glyph::Block},
        {"sign", Glyph::Sign},
    }};
    for (std::size_t f = 0; f < kFeatureCount; ++f) {
        if (features[f]) {
            items.push_back({featureItems[f].first, featureItems[f].second, kFeatureColours[f]});
        }
    }
    items.push_back({"lap line", Glyph::LapLine, kText});
    items.push_back({"direction", Glyph::Arrow, kText});
    return items;
}

// Where a legend item's swatch is drawn, in pixels.
struct Box {
    double x = 0;
    double y = 0;
    double w = 0;
    double h = 0;

    double Mid() const { return y + h / 2; }
};

void FillBox(cairo_t* cr, const Box& box, const Rgb& colour) {
    cairo_rectangle(cr, box.x, box.y, box.w, box.h);
    SetColour(cr, colour);
    cairo_fill(cr);
}

// A square of side 2 * half, centred across the swatch.
void FillSquare(cairo_t* cr, const Box& box, double half, const Rgb& colour) {
    FillBox(cr, {box.x + box.w / 2 - half, box.Mid() - half, 2 * half, 2 * half}, colour);
}

void SwatchFlight(cairo_t* cr, const Box& box, const Rgb& colour, double unit) {
    const std::array<double, 2> dashes{3 * unit, 3 * unit};
    cairo_set_dash(cr, dashes.data(), 2, 0);
    MoveTo(cr, {box.x, box.Mid()});
    LineTo(cr, {box.x + box.w, box.Mid()});
    SetColour(cr, colour, 0.8);
    cairo_set_line_width(cr, 1.5 * unit);
    cairo_stroke(cr);
    cairo_set_dash(cr, nullptr, 0, 0);
}

void SwatchChevrons(cairo_t* cr, const Box& box, const Rgb& colour, double unit) {
    for (int k = 0; k < 3; ++k) {
        const double cx = box.x + box.w * (0.15 + 0.3 * k);
        MoveTo(cr, {cx, box.y + 1});
        LineTo(cr, {cx + box.h * 0.45, box.Mid()});
        LineTo(cr, {cx, box.y + box.h - 1});
    }
    SetColour(cr, colour);
    cairo_set_line_width(cr, 2 * unit);
    cairo_stroke(cr);
}

void SwatchGate(cairo_t* cr, const Box& box, const Rgb& colour, double unit) {
    const double mid = box.Mid();
    MoveTo(cr, {box.x + 2 * unit, mid});
    LineTo(cr, {box.x + box.w - 2 * unit, mid});
    SetColour(cr, colour);
    cairo_set_line_width(cr, 2.5 * unit);
    cairo_stroke(cr);
    for (const double px : {box.x + 2 * unit, box.x + box.w - 2 * unit}) {
        cairo_rectangle(cr, px - 3 * unit, mid - 3 * unit, 6 * unit, 6 * unit);
        cairo_fill(cr);
    }
}

// On a piece of road, as on the map: its dark squares vanish on the background.
void SwatchLapLine(cairo_t* cr, const Box& box, double unit) {
    FillBox(cr, box, ShapeColour(Shape::Road));
    const double width = 4 * unit;
    for (const auto& [colour, offset] : {std::pair{kDark, 0.0}, std::pair{kText, 1.0}}) {
        MoveTo(cr, {box.x + box.w / 2, box.y - 2 * unit});
        LineTo(cr, {box.x + box.w / 2, box.y + box.h + 2 * unit});
        cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT);
        SetColour(cr, colour);
        cairo_set_line_width(cr, width);
        cairo_set_dash(cr, &width, 1, offset * width);
        cairo_stroke(cr);
    }
    cairo_set_dash(cr, nullptr, 0, 0);
}

void SwatchArrow(cairo_t* cr, const Box& box) {
    FillBox(cr, box, ShapeColour(Shape::Road));
    MoveTo(cr, {box.x + box.w * 0.75, box.Mid()});
    LineTo(cr, {box.x + box.w * 0.3, box.y + box.h * 0.1});
    LineTo(cr, {box.x + box.w * 0.42, box.Mid()});
    LineTo(cr, {box.x + box.w * 0.3, box.y + box.h * 0.9});
    cairo_close_path(cr);
    SetColour(cr, kDark, 0.8);
    cairo_fill(cr);
}

void DrawSwatch(cairo_t* cr, const LegendItem& item, const Box& box, double unit) {
    const Rgb& colour = item.colour;
    switch (item.glyph) {
        case Glyph::Surface:
            return FillBox(cr, box, colour);
        case Glyph::Flight:
            return SwatchFlight(cr, box, colour, unit);
        case Glyph::Band:
            return FillBox(cr, {box.x, box.y + box.h * 0.2, box.w, box.h * 0.6}, colour);
        case Glyph::Chevron:
            return SwatchChevrons(cr, box, colour, unit);
        case Glyph::Bar:
            return FillBox(cr, {box.x + box.w * 0.35, box.y, box.w * 0.3, box.h}, colour);
        case Glyph::Dots:
            for (int k = 0; k < 3; ++k) {
                Disc(cr, {box.x + box.w * (0.2 + 0.3 * k), box.Mid()}, 3.2 * unit, colour, kDark,
                     unit);
            }
            return;
        case Glyph::Gate:
            return SwatchGate(cr, box, colour, unit);
        case Glyph::Block:
            return FillSquare(cr, box, 5 * unit, colour);
        case Glyph::Sign:
            return FillSquare(cr, box, 2.6 * unit, colour);
        case Glyph::LapLine:
            return SwatchLapLine(cr, box, unit);
        case Glyph::Arrow:
            return SwatchArrow(cr, box);
    }
}

// Lays the items out left to right from (x, y), wrapping at width; draws them when asked.
// Returns the rows used.
int LayOutLegend(cairo_t* cr, const std::vector<LegendItem>& items, double x, double y,
                 double width, double unit, const std::string& note, bool draw) {
    const double font = 14 * unit;
    const double swatchW = 22 * unit;
    const double swatchH = 12 * unit;
    const double rowH = 24 * unit;
    int rows = 1;
    double cx = x;
    double cy = y;
    for (const LegendItem& item : items) {
        SetFont(cr, font, Weight::Normal);
        const double itemW = swatchW + 6 * unit + TextWidth(cr, item.label) + 18 * unit;
        if (cx > x && cx + itemW > x + width) {
            cx = x;
            cy += rowH;
            ++rows;
        }
        if (draw) {
            DrawSwatch(cr, item, {cx, cy - swatchH / 2, swatchW, swatchH}, unit);
            Text(cr, item.label, cx + swatchW + 6 * unit, cy + font * 0.36, font, Weight::Normal,
                 kMuted);
        }
        cx += itemW;
    }
    if (!note.empty()) {
        SetFont(cr, font, Weight::Normal);
        if (cx > x && cx + TextWidth(cr, note) > x + width) {
            cy += rowH;
            cx = x;
            ++rows;
        }
        if (draw) {
            Text(cr, note, cx, cy + font * 0.36, font, Weight::Normal, kMuted, width);
        }
    }
    return rows;
}

// A legend of at most maxRows rows: a long one is set smaller rather than cut off.
void DrawLegend(cairo_t* cr, const std::vector<LegendItem>& items, double x, double y, double width,
                double unit, const std::string& note, int maxRows) {
    double fitted = unit;
    while (fitted > unit * 0.5 &&
           LayOutLegend(cr, items, x, y, width, fitted, note, false) > maxRows) {
        fitted *= 0.92;
    }
    LayOutLegend(cr, items, x, y, width, fitted, note, true);
}

// ---- whole pictures ----

struct Prepared {
    std::optional<std::string> problem;  // why nothing can be drawn
    FlatCourse flat;
    std::size_t brokenRules = 0;  // counted only when asked
};

// The sheet shows no verdict: it asks for no count of broken rules, the costliest part.
Prepared Prepare(const Course& course, bool countBrokenRules = true) {
    Prepared prepared;
    prepared.problem = Undrawable(course);
    if (prepared.problem) {
        return prepared;
    }
    prepared.flat = Flatten(course);
    if (prepared.flat.span.x < 1 && prepared.flat.span.y < 1) {
        prepared.problem = "all its points lie in one place";
        return prepared;
    }
    if (countBrokenRules) {
        prepared.brokenRules = ValidateCourse(course).size();
    }
    return prepared;
}

void DrawProblem(cairo_t* cr, const std::string& problem, double x, double y, double width,
                 double height, double unit) {
    const double font = 20 * unit;
    SetFont(cr, font, Weight::Bold);
    const std::vector<std::string> lines = WrapText(cr, "cannot be drawn: " + problem, width);
    double line = y + height / 2 - (double(lines.size()) - 1) * font * 0.65;
    for (const std::string& text : lines) {
        SetFont(cr, font, Weight::Bold);
        const double w = std::min(width, TextWidth(cr, text));
        Text(cr, text, x + (width - w) / 2, line, font, Weight::Bold, kWarning, width);
        line += font * 1.3;
    }
}

// The map's bands: the title above and the legend below are equally tall, so the course's
// origin lands on the picture's centre.
constexpr double kBand = 104;
// Below this a picture's lettering would be too small to read.
constexpr double kSmallestUnit = 0.8;
constexpr double kSide = 36;

void PaintBackground(cairo_t* cr, double width, double height) {
    SetColour(cr, kBackground);
    cairo_rectangle(cr, 0, 0, width, height);
    cairo_fill(cr);
}

std::string Summary(const MapTrack& track, const Prepared& prepared, bool withPoints) {
    std::string summary = VenueLabel(track.course.venue);
    if (!prepared.problem) {
        summary += " \u00B7 " + Thousands(prepared.flat.length) + " units";
    }
    if (withPoints) {
        summary += " \u00B7 " + std::to_string(track.course.count) + " points";
    }
    return summary;
}

// The overview sheet: a heading, six cells of map and caption to a row, and the legend below.
struct SheetLayout {
    static constexpr int kColumns = 6;
    static constexpr double kMargin = 32;
    static constexpr double kCell = 300;  // a map's square
    static constexpr double kHeader = 84;
    static constexpr double kCaption = 52;
    static constexpr double kGap = 16;
    static constexpr double kFooter = 92;

    int tracks = 0;

    int Columns() const { return std::clamp(tracks, 1, kColumns); }
    int Rows() const { return std::max(1, (tracks + kColumns - 1) / kColumns); }
    double Width() const { return 2 * kMargin + Columns() * kCell + (Columns() - 1) * kGap; }
    double Height() const {
        return kHeader + Rows() * (kCell + kCaption) + (Rows() - 1) * kGap + kFooter + kMargin;
    }
    // The top left corner of track k's cell.
    Point2 Cell(std::size_t k) const {
        return {kMargin + double(k % kColumns) * (kCell + kGap),
                kHeader + double(k / kColumns) * (kCell + kCaption + kGap)};
    }
};

}  // namespace

namespace {

void CheckSide(const std::string& what, std::string_view kind, int size, int smallest,
               int largest) {
    if (size < smallest || size > largest) {
        throw EngineError("cannot draw " + what + ": " + std::string(kind) + " is " +
                          Thousands(smallest) + " to " + Thousands(largest) +
                          " pixels square, not " + Thousands(size));
    }
}

Canvas CourseMapCanvas(const MapTrack& track, const std::string& what, int size) {
    CheckSide(what, "a map", size, 512, 8192);
    Canvas canvas = MakeCanvas(size, size, what);
    cairo_t* cr = canvas.cr.get();
    const double s = size;
    const double unit = s / 1024;
    PaintBackground(cr, s, s);

    const Prepared prepared = Prepare(track.course);
    // Lettering and glyphs keep a readable size on small maps; the bands grow to hold them.
    const double tu = std::max(unit, kSmallestUnit);
    const std::string title = TrackNumber(track.track) + "   " + DrawableName(track.name);
    Text(cr, title, kSide * unit, 52 * tu, 36 * tu, Weight::Bold, kText, s - 2 * kSide * unit);
    std::string summary = Summary(track, prepared, true);
    const double summaryW =
        Text(cr, summary, kSide * unit, 86 * tu, 18 * tu, Weight::Normal, kMuted);
    if (!prepared.problem && prepared.brokenRules > 0) {
        Text(cr,
             "   not valid: " + std::to_string(prepared.brokenRules) +
                 (prepared.brokenRules == 1 ? " rule broken" : " rules broken"),
             kSide * unit + summaryW, 86 * tu, 18 * tu, Weight::Normal, kWarning);
    }

    const double top = kBand * tu;
    const double mapW = s - 2 * kSide * unit;
    const double mapH = s - 2 * top;
    if (prepared.problem) {
        DrawProblem(cr, *prepared.problem, kSide * unit, top, mapW, mapH, tu);
    } else {
        DrawRoads(cr, track.course, prepared.flat, kSide * unit, top + 12 * unit, mapW,
                  mapH - 24 * unit, Detail{tu});
        const double range = prepared.flat.maxHeight - prepared.flat.minHeight;
        const std::string note =
            range >= 1 ? "brighter is higher (" + Thousands(range) + " units of climb)" : "";
        DrawLegend(cr, LegendFor(&track.course), kSide * unit, s - top + 30 * tu, mapW, tu, note,
                   3);
    }
    return canvas;
}

std::vector<std::uint8_t> CourseMapPng(const MapTrack& track, const fs::path& png, int size) {
    Canvas canvas = CourseMapCanvas(track, PathText(png), size);
    return Encoded(canvas, png);
}

Canvas OverviewCanvas(std::span<const MapTrack> tracks, const std::string& what) {
    const SheetLayout layout{int(tracks.size())};
    const double width = layout.Width();
    const double height = layout.Height();
    Canvas canvas = MakeCanvas(int(width), int(height), what);
    cairo_t* cr = canvas.cr.get();
    PaintBackground(cr, width, height);

    const std::string heading =
        tracks.size() == 24 ? "T-Flux KRN \u00B7 the 24 courses"
                            : "T-Flux KRN \u00B7 " + std::to_string(tracks.size()) + " courses";
    Text(cr, heading, layout.kMargin, 54, 32, Weight::Bold, kText, width - 2 * layout.kMargin);
    for (std::size_t k = 0; k < tracks.size(); ++k) {
        const MapTrack& track = tracks[k];
        const auto [x, y] = layout.Cell(k);
        SetColour(cr, kPanel);
        cairo_rectangle(cr, x, y, layout.kCell, layout.kCell + layout.kCaption);
        cairo_fill(cr);
        const Prepared prepared = Prepare(track.course, false);
        // Clipped to its cell, a map never spills into its neighbour.
        cairo_save(cr);
        cairo_rectangle(cr, x, y, layout.kCell, layout.kCell);
        cairo_clip(cr);
        if (prepared.problem) {
            DrawProblem(cr, *prepared.problem, x + 12, y, layout.kCell - 24, layout.kCell, 0.7);
        } else {
            DrawRoads(cr, track.course, prepared.flat, x + 14, y + 14, layout.kCell - 28,
                      layout.kCell - 28, Detail{0.55});
        }
        cairo_restore(cr);
        const std::string name = TrackNumber(track.track) + "  " + DrawableName(track.name);
        Text(cr, name, x + 12, y + layout.kCell + 20, 17, Weight::Bold, kText, layout.kCell - 24);
        Text(cr, Summary(track, prepared, false), x + 12, y + layout.kCell + 42, 13, Weight::Normal,
             kMuted, layout.kCell - 24);
    }
    DrawLegend(cr, LegendFor(nullptr), layout.kMargin,
               height - layout.kMargin - layout.kFooter + 36, width - 2 * layout.kMargin, 1.0,
               "brighter is higher", 2);
    return canvas;
}

std::vector<std::uint8_t> OverviewSheetPng(std::span<const MapTrack> tracks, const fs::path& png) {
    Canvas canvas = OverviewCanvas(tracks, PathText(png));
    return Encoded(canvas, png);
}

Picture PictureOf(Canvas& canvas, const std::string& what) {
    CheckDrawn(canvas, what);
    cairo_surface_t* surface = canvas.surface.get();
    cairo_surface_flush(surface);
    Picture picture;
    picture.width = cairo_image_surface_get_width(surface);
    picture.height = cairo_image_surface_get_height(surface);
    picture.stride = cairo_image_surface_get_stride(surface);
    const unsigned char* data = cairo_image_surface_get_data(surface);
    picture.pixels.assign(data, data + std::size_t(picture.stride) * std::size_t(picture.height));
    return picture;
}

}  // namespace

Picture CourseMapPicture(const MapTrack& track, int size) {
    const std::string what = "the map of " + TrackNumber(track.track);
    Canvas canvas = CourseMapCanvas(track, what, size);
    return PictureOf(canvas, what);
}

Picture CourseThumbnail(const Course& course, int size) {
    const std::string what = "a thumbnail";
    CheckSide(what, "a thumbnail", size, 32, 1024);
    Canvas canvas = MakeCanvas(size, size, what);
    cairo_t* cr = canvas.cr.get();
    const double s = size;
    SetColour(cr, kPanel);
    cairo_rectangle(cr, 0, 0, s, s);
    cairo_fill(cr);
    const Prepared prepared = Prepare(course, false);
    if (prepared.problem) {
        // Too small for the reason: a cross says there is nothing to see.
        SetColour(cr, kWarning);
        cairo_set_line_width(cr, s / 16);
        cairo_move_to(cr, s * 0.3, s * 0.3);
        cairo_line_to(cr, s * 0.7, s * 0.7);
        cairo_move_to(cr, s * 0.7, s * 0.3);
        cairo_line_to(cr, s * 0.3, s * 0.7);
        cairo_stroke(cr);
    } else {
        // The overview's cells in little: 14 of 300 pixels of margin, detail in proportion.
        const double margin = s * 14 / 300;
        DrawRoads(cr, course, prepared.flat, margin, margin, s - 2 * margin, s - 2 * margin,
                  Detail{0.55 * s / 300});
    }
    return PictureOf(canvas, what);
}

Picture OverviewPicture(std::span<const MapTrack> tracks) {
    const std::string what = "the overview";
    Canvas canvas = OverviewCanvas(tracks, what);
    return PictureOf(canvas, what);
}

void DrawCourseMap(const MapTrack& track, const fs::path& png, int size) {
    WriteFileWhole(png, CourseMapPng(track, png, size));
}

void DrawOverviewSheet(std::span<const MapTrack> tracks, const fs::path& png) {
    WriteFileWhole(png, OverviewSheetPng(tracks, png));
}

void DrawCourseMaps(std::span<const MapTrack> tracks, std::span<const fs::path> pngs,
                    const fs::path& overview) {
    if (pngs.size() != tracks.size()) {
        throw EngineError("cannot draw " + std::to_string(tracks.size()) + " maps into " +
                          std::to_string(pngs.size()) + " files");
    }
    // The sheet, the longest to draw, goes first so that the threads finish together.
    const std::size_t first = overview.empty() ? 1 : 0;
    const std::size_t jobs = tracks.size() + 1;
    std::vector<std::exception_ptr> failures(jobs);
    std::atomic<std::size_t> next{first};
    std::atomic<bool> failed{false};
    // Pictures are drawn side by side but written one at a time: a write first clears its
    // folder of replacements that no run holds, and one just begun by the other thread may not
    // be held yet.
    std::mutex writing;
    const auto work = [&] {
        for (std::size_t job = next++; job < jobs && !failed; job = next++) {
            try {
                const fs::path& png = job == 0 ? overview : pngs[job - 1];
                const std::vector<std::uint8_t> bytes =
                    job == 0 ? OverviewSheetPng(tracks, png)
                             : CourseMapPng(tracks[job - 1], png, kDefaultMapSize);
                const std::lock_guard<std::mutex> one(writing);
                WriteFileWhole(png, bytes);
            } catch (...) {
                failures[job] = std::current_exception();
                failed = true;
            }
        }
    };
    {
        std::jthread helper;
        try {
            helper = std::jthread(work);
        } catch (const std::system_error&) {
            // Without a second thread this one draws them all.
        }
        work();
    }
    // The maps' failures in order, then the sheet's.
    for (std::size_t job = 1; job <= jobs; ++job) {
        if (const std::exception_ptr& failure = failures[job % jobs]) {
            std::rethrow_exception(failure);
        }
    }
}

}  // namespace tflux::map
