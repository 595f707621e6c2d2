#pragma once

// Course maps: each course drawn from above as the game lays it out, and one sheet of all 24.

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "course/course.h"

namespace tflux::map {

// A colour of the maps, each channel from 0 to 1 as Cairo takes it.
struct Rgb {
    double r = 0;
    double g = 0;
    double b = 0;
};

// ---- the palette: the sheet, its words, and what the courses are drawn in ----

inline constexpr Rgb kBackground{0.094, 0.110, 0.149};
inline constexpr Rgb kPanel{0.137, 0.157, 0.204};
inline constexpr Rgb kText{0.925, 0.937, 0.957};
inline constexpr Rgb kMuted{0.600, 0.647, 0.722};
inline constexpr Rgb kWarning{0.984, 0.702, 0.306};
inline constexpr Rgb kDark{0.055, 0.063, 0.086};

// One legible colour per shape, all clear of the feature colours below; indexed by Shape.
inline constexpr std::array<Rgb, kShapeCount> kShapeColours = {{
    {0.580, 0.627, 0.702},  // road
    {0.361, 0.518, 0.890},  // walled road
    {0.196, 0.741, 0.784},  // pipe
    {0.851, 0.800, 0.400},  // cylinder
    {0.800, 0.490, 0.290},  // half-pipe
    {0.329, 0.659, 0.439},  // tunnel
    {0.780, 0.820, 0.880},  // air, drawn faint
    {0.651, 0.510, 0.878},  // borderless road
}};

constexpr Rgb ShapeColour(Shape shape) {
    return kShapeColours[static_cast<std::size_t>(shape) % kShapeCount];
}

// Indexed by Feature; buildings of gold and mountains have their own.
inline constexpr std::array<Rgb, kFeatureCount> kFeatureColours = {{
    {1.000, 0.357, 0.557},  // pit
    {1.000, 0.882, 0.176},  // dash
    {0.541, 0.373, 0.196},  // dirt
    {0.780, 0.957, 1.000},  // ice
    {1.000, 0.549, 0.102},  // jump
    {0.949, 0.173, 0.173},  // mine
    {0.980, 0.980, 0.980},  // gate
    {0.745, 0.765, 0.800},  // building
    {0.600, 1.000, 0.600},  // sign
}};
inline constexpr Rgb kGold{0.980, 0.741, 0.200};
inline constexpr Rgb kMountain{0.600, 0.478, 0.380};

constexpr Rgb FeatureColour(Feature feature) {
    return kFeatureColours[static_cast<std::size_t>(feature)];
}

struct MapTrack {
    int track = 0;     // 1..24, as the patch applies it
    std::string name;  // the track's name, one byte a character (Latin-1)
    Course course;
};

// The side of a map in pixels unless asked otherwise.
inline constexpr int kDefaultMapSize = 1024;

// One course as a square PNG of `size` pixels (at least 512). Throws EngineError when the
// picture cannot be drawn or written.
void DrawCourseMap(const MapTrack& track, const std::filesystem::path& png,
                   int size = kDefaultMapSize);

// A picture in memory, for a window to show: 32-bit pixels in the machine's byte order, the top
// byte unused and the rest red, green and blue (Cairo's RGB24, a QImage's Format_RGB32), rows
// `stride` bytes apart.
struct Picture {
    int width = 0;
    int height = 0;
    int stride = 0;
    std::vector<std::uint8_t> pixels;
};

// What DrawCourseMap writes, in memory.
Picture CourseMapPicture(const MapTrack& track, int size = kDefaultMapSize);

// The course's roads alone on a square of `size` pixels (32 to 1,024), as the overview shows
// them; a cross where the course cannot be drawn.
Picture CourseThumbnail(const Course& course, int size);

// What DrawOverviewSheet writes, in memory.
Picture OverviewPicture(std::span<const MapTrack> tracks);

// All tracks on one PNG sheet, in the order given.
void DrawOverviewSheet(std::span<const MapTrack> tracks, const std::filesystem::path& png);

// Each track's map, tracks[k] to pngs[k], and, unless `overview` is empty, the sheet of them
// all, drawn on two threads. After a failure no further picture is begun; the one rethrown is
// the first failure in the order the files are given, the sheet last.
void DrawCourseMaps(std::span<const MapTrack> tracks, std::span<const std::filesystem::path> pngs,
                    const std::filesystem::path& overview = {});

}  // namespace tflux::map
