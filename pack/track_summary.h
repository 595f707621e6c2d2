#pragma once

// What a person reads of a pack's track before patching with it, worded once for the
// command-line list and the windows' track views.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "course/course.h"
#include "pack/load_payload.h"

namespace tflux {

struct TrackSummary {
    int track = 0;         // as the patch will number it
    std::string name;      // UTF-8
    std::string subtitle;  // UTF-8
    std::string venue;     // the venue's name, or "venue N" for one the game lacks
    int points = 0;
    double length = 0;
    std::string shapes;                 // segments by shape, "road 20, pipe 4"
    std::string features;               // segments by feature, the same way
    std::vector<std::string> problems;  // the broken rules; none for a valid course
    CourseFigures figures;
};

// One walk over the course gives both its figures and its problems.
TrackSummary SummarizeTrack(const PackEntry& entry);

std::string VenueText(const Course& course);

// "valid", or "not valid (1 problem)".
std::string VerdictText(std::size_t problems);

// One line for each track of the container whose course breaks a rule of the game, "track 3:
// the course is not valid: FIRST PROBLEM (and 2 more)". Throws EngineError naming the entry for
// a damaged container.
std::vector<std::string> InvalidCourseLines(std::span<const std::uint8_t> container);

}  // namespace tflux
