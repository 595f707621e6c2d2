#pragma once

// Course maps: each course drawn from above as the game lays it out, and one sheet of all 24.

#include <filesystem>
#include <span>
#include <string>

#include "payload/course.h"

namespace tflux::map {

struct MapTrack {
    int track = 0;     // 1..24, as the patch applies it
    std::string name;  // the track's name, one byte a character (Latin-1)
    Course course;
};

// One course as a square PNG of `size` pixels (at least 512). Throws EngineError when the
// picture cannot be drawn or written.
void DrawCourseMap(const MapTrack& track, const std::filesystem::path& png, int size = 1024);

// All tracks on one PNG sheet, in the order given.
void DrawOverviewSheet(std::span<const MapTrack> tracks, const std::filesystem::path& png);

}  // namespace tflux::map
