#include "map/course_map.h"

#include <cairo.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "course/course.h"
#include "map/png_file.h"
#include "rom/errors.h"
#include "support/test_util.h"

namespace tflux::map {
namespace {

namespace fs = std::filesystem;

struct Rgb8 {
    int r = 0;
    int g = 0;
    int b = 0;
};

// A palette colour as it lands in an 8-bit picture.
Rgb8 Pixel(const Rgb& colour) {
    const auto channel = [](double c) { return static_cast<int>(std::lround(c * 255)); };
    return {channel(colour.r), channel(colour.g), channel(colour.b)};
}

const Rgb8 kBackgroundPixel = Pixel(kBackground);
const Rgb8 kRoadPixel = Pixel(ShapeColour(Shape::Road));
const Rgb8 kPipePixel = Pixel(ShapeColour(Shape::Pipe));
const Rgb8 kPitPixel = Pixel(FeatureColour(Feature::Pit));

bool Near(const Rgb8& a, const Rgb8& b, int tolerance = 4) {
    return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance &&
           std::abs(a.b - b.b) <= tolerance;
}

// A PNG read back through Cairo.
class Picture {
  public:
    explicit Picture(const fs::path& png)
        : surface_(cairo_image_surface_create_from_png(png.c_str()), cairo_surface_destroy) {
        if (cairo_surface_status(surface_.get()) != CAIRO_STATUS_SUCCESS) {
            ADD_FAILURE() << "cannot read " << png;
            surface_.reset(cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, 1));
        }
        cairo_surface_flush(surface_.get());
    }
    int Width() const { return cairo_image_surface_get_width(surface_.get()); }
    int Height() const { return cairo_image_surface_get_height(surface_.get()); }
    Rgb8 At(int x, int y) const {
        const unsigned char* row =
            cairo_image_surface_get_data(surface_.get()) +
            std::ptrdiff_t(y) * cairo_image_surface_get_stride(surface_.get());
        std::uint32_t pixel = 0;
        std::memcpy(&pixel, row + std::ptrdiff_t(x) * 4, 4);
        return {int((pixel >> 16) & 0xFF), int((pixel >> 8) & 0xFF), int(pixel & 0xFF)};
    }
    // Pixels of the colour within the rectangle.
    int Count(const Rgb8& colour, int x0, int y0, int x1, int y1, int tolerance = 4) const {
        int count = 0;
        for (int y = std::max(0, y0); y < std::min(Height(), y1); ++y) {
            for (int x = std::max(0, x0); x < std::min(Width(), x1); ++x) {
                count += Near(At(x, y), colour, tolerance) ? 1 : 0;
            }
        }
        return count;
    }
    // Whether some 3 x 3 block is all of the colour: a surface, not the smoothed rim of a letter.
    bool HasPatch(const Rgb8& colour) const {
        for (int y = 0; y + 3 <= Height(); ++y) {
            for (int x = 0; x + 3 <= Width(); ++x) {
                if (Count(colour, x, y, x + 3, y + 3) == 9) {
                    return true;
                }
            }
        }
        return false;
    }
    int CountOther(const Rgb8& colour, int x0, int y0, int x1, int y1) const {
        const int area =
            (std::min(Width(), x1) - std::max(0, x0)) * (std::min(Height(), y1) - std::max(0, y0));
        return area - Count(colour, x0, y0, x1, y1, 10);
    }

  private:
    std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)> surface_;
};

constexpr double kRadiusX = 6000;
constexpr double kRadiusZ = 4000;
constexpr int kPoints = 24;
constexpr std::size_t kAirSegment = 11;  // centred on the far left, on the centre row
constexpr std::size_t kFirstPipe = 16;   // 16..19 around the top
constexpr std::size_t kPitSegment = 2;

// An oval of 24 points, a point either side of each axis so that segments 5, 11, 17 and 23
// are centred on the bottom, left, top and right of the picture.
Course Oval() {
    Course course;
    course.count = kPoints;
    for (std::size_t i = 0; i < kPoints; ++i) {
        const double angle = 2 * std::numbers::pi * (double(i) + 0.5) / kPoints;
        ControlPoint& p = course.points[i];
        p.x = float(std::round(kRadiusX * std::cos(angle)));
        p.z = float(std::round(kRadiusZ * std::sin(angle)));
        p.left = 200;
        p.right = 200;
        p.info = EditorInfoWord(Shape::Road) | (i == 0 ? 0 : 1);
    }
    for (auto& values : course.features) {
        values.fill(kFeatureNone);
        std::fill(values.begin() + kPoints, values.end(), 0);
    }
    course.points[kAirSegment].info = EditorInfoWord(Shape::Air) | kAirStyle;
    course.Feat(Feature::Jump, kAirSegment - 1) = 0;
    for (std::size_t i = kFirstPipe; i < kFirstPipe + 4; ++i) {
        course.points[i].info = EditorInfoWord(Shape::Pipe);
    }
    course.Feat(Feature::Pit, kPitSegment) = 1;
    course.checksum = CourseChecksum(course);
    return course;
}

MapTrack OvalTrack(int track = 7) {
    return {track, "Caf\xE9 Oval", Oval()};
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    return text;
}

class CourseMapTest : public ::testing::Test {
  protected:
    test::ScratchDir dir;
};

TEST_F(CourseMapTest, TheTestCourseIsAValidCourse) {
    EXPECT_EQ(Joined(ValidateCourse(Oval())), "");
}

TEST_F(CourseMapTest, MapIsSquareAtTheSizeAsked) {
    DrawCourseMap(OvalTrack(), dir / "default.png");
    DrawCourseMap(OvalTrack(), dir / "small.png", 600);
    const Picture large(dir / "default.png");
    EXPECT_EQ(large.Width(), 1024);
    EXPECT_EQ(large.Height(), 1024);
    const Picture small(dir / "small.png");
    EXPECT_EQ(small.Width(), 600);
    EXPECT_EQ(small.Height(), 600);
}

TEST_F(CourseMapTest, RoadLiesWhereTheCourseIsAndNotInside) {
    DrawCourseMap(OvalTrack(), dir / "oval.png");
    const Picture map(dir / "oval.png");
    const int c = map.Width() / 2;
    // The game's origin, inside the oval, stays background.
    EXPECT_TRUE(Near(map.At(c, c), kBackgroundPixel));
    EXPECT_EQ(map.CountOther(kBackgroundPixel, c - 150, c - 100, c + 150, c + 100), 0);

    // Along the centre row to the right: segment 23, from 5,800 to 6,200 units out.
    int inner = -1;
    int outer = -1;
    for (int x = c; x < map.Width(); ++x) {
        if (Near(map.At(x, c), kRoadPixel)) {
            inner = inner < 0 ? x : inner;
            outer = x;
        }
    }
    ASSERT_GT(inner, c);
    const double ratio = double(outer + 1 - c) / double(inner - c);
    EXPECT_NEAR(ratio, 6200.0 / 5800.0, 0.012) << inner << " " << outer;
    // The widest part of the course nearly fills the picture.
    EXPECT_GT(outer, map.Width() * 0.85);
    EXPECT_LT(outer, map.Width() - 10);

    // Straight down: the road of segment 5, as wide as the scale makes 400 units.
    const double scale = double(outer + 1 - c) / 6200.0;
    // Above the legend, which has road-coloured swatches.
    const int below = map.Count(kRoadPixel, c - 2, c, c + 3, map.Height() - 110) / 5;
    EXPECT_NEAR(below, 400 * scale, 5);
}

TEST_F(CourseMapTest, ShapesHaveTheirOwnColours) {
    DrawCourseMap(OvalTrack(), dir / "oval.png");
    const Picture map(dir / "oval.png");
    const int c = map.Width() / 2;
    // Straight up lies the pipe section, not road.
    EXPECT_GT(map.Count(kPipePixel, c - 2, 0, c + 3, c), 5 * 15);
    EXPECT_EQ(map.Count(kRoadPixel, c - 2, 0, c + 3, c), 0);
    // The same course without the pipe shows road there instead.
    MapTrack plain = OvalTrack();
    for (std::size_t i = kFirstPipe; i < kFirstPipe + 4; ++i) {
        plain.course.points[i].info = EditorInfoWord(Shape::Road) | 1;
    }
    DrawCourseMap(plain, dir / "plain.png");
    const Picture road(dir / "plain.png");
    EXPECT_EQ(road.Count(kPipePixel, 0, 0, road.Width(), road.Height()), 0);
    EXPECT_GT(road.Count(kRoadPixel, c - 2, 0, c + 3, c), 5 * 15);
}

TEST_F(CourseMapTest, AirSegmentIsAGap) {
    DrawCourseMap(OvalTrack(), dir / "oval.png");
    const Picture map(dir / "oval.png");
    const int c = map.Width() / 2;
    // To the left along the centre row the road jumps: no surface at all.
    EXPECT_EQ(map.Count(kRoadPixel, 0, c - 3, c, c + 4), 0);
    // While the same course all road shows the road there.
    MapTrack ground = OvalTrack();
    ground.course.points[kAirSegment].info = EditorInfoWord(Shape::Road) | 1;
    DrawCourseMap(ground, dir / "ground.png");
    const Picture road(dir / "ground.png");
    EXPECT_GT(road.Count(kRoadPixel, 0, c - 3, c, c + 4), 7 * 15);
}

TEST_F(CourseMapTest, RefillZoneIsMarkedOnTheMap) {
    DrawCourseMap(OvalTrack(), dir / "oval.png");
    const Picture map(dir / "oval.png");
    // Within the map area (the legend below repeats the colour).
    const int pit = map.Count(kPitPixel, 0, 110, map.Width(), map.Height() - 110);
    EXPECT_GT(pit, 100);
    MapTrack none = OvalTrack();
    none.course.Feat(Feature::Pit, kPitSegment) = kFeatureNone;
    DrawCourseMap(none, dir / "none.png");
    const Picture without(dir / "none.png");
    EXPECT_EQ(without.Count(kPitPixel, 0, 0, without.Width(), without.Height()), 0);
}

TEST_F(CourseMapTest, TitleIsWritten) {
    DrawCourseMap(OvalTrack(), dir / "oval.png");
    const Picture map(dir / "oval.png");
    EXPECT_GT(map.CountOther(kBackgroundPixel, 0, 0, map.Width() / 2, 60), 500);
    EXPECT_GT(map.CountOther(kBackgroundPixel, 0, 66, map.Width() / 2, 96), 200);
}

TEST_F(CourseMapTest, InvalidCoursesStillGiveAPicture) {
    MapTrack few = OvalTrack();
    few.course.count = 2;
    MapTrack nan = OvalTrack();
    nan.course.points[5].z = std::numeric_limits<float>::quiet_NaN();
    MapTrack far = OvalTrack();
    far.course.points[3].x = 3e30f;
    MapTrack empty{24, "", Course{}};
    MapTrack heap = OvalTrack();
    for (std::size_t i = 0; i < kPoints; ++i) {
        heap.course.points[i].x = 100;
        heap.course.points[i].z = 100;
    }
    for (const MapTrack& bad : {few, nan, far, empty, heap}) {
        SCOPED_TRACE(bad.course.count);
        const fs::path png = dir / "bad.png";
        ASSERT_NO_THROW(DrawCourseMap(bad, png, 512));
        const Picture map(png);
        EXPECT_EQ(map.Width(), 512);
        EXPECT_FALSE(map.HasPatch(kRoadPixel));
        // The title above and the reason in the middle.
        EXPECT_GT(map.CountOther(kBackgroundPixel, 0, 0, 512, 50), 50);
        EXPECT_GT(map.CountOther(kBackgroundPixel, 0, 200, 512, 312), 200);
    }
}

TEST_F(CourseMapTest, BrokenRulesAreDrawnAnyway) {
    MapTrack track = OvalTrack();
    track.course.checksum ^= 1;
    ASSERT_FALSE(ValidateCourse(track.course).empty());
    DrawCourseMap(track, dir / "broken.png");
    const Picture map(dir / "broken.png");
    const int c = map.Width() / 2;
    EXPECT_GT(map.Count(kRoadPixel, c - 2, c, c + 3, map.Height()), 5 * 15);
}

TEST_F(CourseMapTest, UnwritablePathThrowsAndLeavesNothing) {
    const fs::path png = dir / "missing" / "01.png";
    try {
        DrawCourseMap(OvalTrack(), png);
        FAIL() << "no error";
    } catch (const EngineError& e) {
        EXPECT_NE(std::string(e.what()).find((dir / "missing").string()), std::string::npos)
            << e.what();
    }
    EXPECT_THROW(DrawOverviewSheet(std::vector<MapTrack>{OvalTrack()}, png), EngineError);
    EXPECT_TRUE(test::DirectoryNames(dir.path()).empty());
}

TEST_F(CourseMapTest, ExistingPictureIsReplacedWhole) {
    test::WriteBytes(dir / "old.png", std::vector<std::uint8_t>(4u << 20, 0x55));
    DrawCourseMap(OvalTrack(), dir / "old.png", 512);
    const Picture map(dir / "old.png");
    EXPECT_EQ(map.Width(), 512);
    EXPECT_LT(fs::file_size(dir / "old.png"), 4u << 20);
    EXPECT_EQ(test::DirectoryNames(dir.path()).size(), 1u);
}

TEST_F(CourseMapTest, SizeBelowTheSmallestMapIsRefused) {
    EXPECT_THROW(DrawCourseMap(OvalTrack(), dir / "tiny.png", 511), EngineError);
    EXPECT_THROW(DrawCourseMap(OvalTrack(), dir / "huge.png", 1 << 20), EngineError);
    EXPECT_TRUE(test::DirectoryNames(dir.path()).empty());
}

// The sheet's grid, as the drawing code lays it out.
constexpr int kSheetMargin = 32;
constexpr int kSheetHeader = 84;
constexpr int kSheetCell = 300;
constexpr int kSheetPitch = 316;
constexpr int kSheetRowPitch = 368;

TEST_F(CourseMapTest, OverviewSheetHoldsEveryTrackInAGrid) {
    std::vector<MapTrack> tracks;
    for (int t = 1; t <= 24; ++t) {
        tracks.push_back(OvalTrack(t));
    }
    // One of them cannot be drawn; the sheet still can.
    tracks[9].course.count = 3;
    DrawOverviewSheet(tracks, dir / "overview.png");
    const Picture sheet(dir / "overview.png");
    EXPECT_EQ(sheet.Width(), 2 * kSheetMargin + 5 * kSheetPitch + kSheetCell);
    EXPECT_GT(sheet.Height(), kSheetHeader + 4 * kSheetRowPitch);
    EXPECT_LT(sheet.Height(), sheet.Width());
    for (int k = 0; k < 24; ++k) {
        SCOPED_TRACE(k);
        const int x = kSheetMargin + (k % 6) * kSheetPitch;
        const int y = kSheetHeader + (k / 6) * kSheetRowPitch;
        const int road = sheet.Count(kRoadPixel, x, y, x + kSheetCell, y + kSheetCell);
        if (k == 9) {
            EXPECT_EQ(road, 0);
        } else {
            EXPECT_GT(road, 1000);
            EXPECT_GT(sheet.Count(kPipePixel, x, y, x + kSheetCell, y + kSheetCell), 100);
        }
    }

    // Fewer tracks: fewer rows, the same columns.
    tracks.resize(7);
    DrawOverviewSheet(tracks, dir / "seven.png");
    const Picture seven(dir / "seven.png");
    EXPECT_EQ(seven.Width(), sheet.Width());
    EXPECT_EQ(sheet.Height() - seven.Height(), 2 * kSheetRowPitch);
}

TEST_F(CourseMapTest, EmptySheetIsStillAPicture) {
    DrawOverviewSheet({}, dir / "empty.png");
    const Picture sheet(dir / "empty.png");
    EXPECT_GT(sheet.Width(), 0);
    // Nothing in the first cell's place; the legend below still shows the road's colour.
    EXPECT_EQ(sheet.Count(kRoadPixel, 0, kSheetHeader, sheet.Width(), kSheetHeader + kSheetCell),
              0);
}

using SurfacePtr = std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)>;

SurfacePtr Surface(cairo_format_t format, int width, int height) {
    return {cairo_image_surface_create(format, width, height), cairo_surface_destroy};
}

TEST_F(CourseMapTest, WrittenPngDecodesToTheSurfacesPixels) {
    // An odd width, so that rows do not end on a word, and every pixel different.
    const SurfacePtr surface = Surface(CAIRO_FORMAT_RGB24, 37, 23);
    unsigned char* data = cairo_image_surface_get_data(surface.get());
    const int stride = cairo_image_surface_get_stride(surface.get());
    for (int y = 0; y < 23; ++y) {
        for (int x = 0; x < 37; ++x) {
            const std::uint32_t pixel = 0xA5000000u | std::uint32_t(x * 7) << 16 |
                                        std::uint32_t(y * 11) << 8 | std::uint32_t(x ^ y * 5);
            std::memcpy(data + y * stride + x * 4, &pixel, 4);
        }
    }
    cairo_surface_mark_dirty(surface.get());
    WritePng(surface.get(), dir / "pixels.png");
    const Picture picture(dir / "pixels.png");
    ASSERT_EQ(picture.Width(), 37);
    ASSERT_EQ(picture.Height(), 23);
    for (int y = 0; y < 23; ++y) {
        for (int x = 0; x < 37; ++x) {
            const Rgb8 p = picture.At(x, y);
            ASSERT_EQ(p.r << 16 | p.g << 8 | p.b, x * 7 << 16 | y * 11 << 8 | (x ^ y * 5))
                << x << "," << y;
        }
    }
}

TEST_F(CourseMapTest, FailedPngWriteLeavesNoFile) {
    struct Case {
        const char* what;
        SurfacePtr surface;
        fs::path png;
    };
    Case cases[] = {
        {"missing folder", Surface(CAIRO_FORMAT_RGB24, 8, 8), dir / "missing" / "a.png"},
        {"libpng refuses an empty image", Surface(CAIRO_FORMAT_RGB24, 0, 4), dir / "empty.png"},
        {"not RGB24", Surface(CAIRO_FORMAT_ARGB32, 8, 8), dir / "argb.png"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            WritePng(c.surface.get(), c.png);
            ADD_FAILURE() << "no error";
        } catch (const EngineError& e) {
            // The file, or the folder that is missing.
            EXPECT_NE(std::string(e.what()).find(c.png.parent_path().string()), std::string::npos)
                << e.what();
        }
        EXPECT_TRUE(test::DirectoryNames(dir.path()).empty());
    }
}

TEST_F(CourseMapTest, MapsDrawnTogetherAreTheMapsDrawnAlone) {
    std::vector<MapTrack> tracks;
    std::vector<fs::path> pngs;
    for (int t = 1; t <= 5; ++t) {
        tracks.push_back(OvalTrack(t));
        tracks.back().course.points[0].x += float(t * 300);
        pngs.push_back(dir / ("together" + std::to_string(t) + ".png"));
    }
    DrawCourseMaps(tracks, pngs, dir / "sheet.png");
    DrawOverviewSheet(tracks, dir / "alone-sheet.png");
    EXPECT_EQ(test::ReadBytes(dir / "sheet.png"), test::ReadBytes(dir / "alone-sheet.png"));
    for (std::size_t k = 0; k < tracks.size(); ++k) {
        DrawCourseMap(tracks[k], dir / "alone.png");
        EXPECT_EQ(test::ReadBytes(pngs[k]), test::ReadBytes(dir / "alone.png")) << k;
    }

    // Of two that cannot be written, the first in order is the one reported.
    pngs[1] = dir / "missing-b" / "b.png";
    pngs[3] = dir / "missing-d" / "d.png";
    try {
        DrawCourseMaps(tracks, pngs);
        FAIL() << "no error";
    } catch (const EngineError& e) {
        EXPECT_NE(std::string(e.what()).find("missing-b"), std::string::npos) << e.what();
    }
}

}  // namespace
}  // namespace tflux::map
