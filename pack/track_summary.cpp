#include "pack/track_summary.h"

#include <cstddef>
#include <string_view>

#include "rom/text.h"

namespace tflux {

namespace {

// "road 20, pipe 4" for the counts that are not zero.
template <typename Name>
std::string Counts(std::span<const int> counts, Name name) {
    std::string text;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        if (counts[i] != 0) {
            text +=
                (text.empty() ? "" : ", ") + std::string(name(i)) + " " + std::to_string(counts[i]);
        }
    }
    return text.empty() ? "none" : text;
}

}  // namespace

std::string VenueText(const Course& course) {
    const std::string_view name = VenueName(course.venue);
    return name.empty() ? "venue " + std::to_string(course.venue) : std::string(name);
}

std::string VerdictText(std::size_t problems) {
    if (problems == 0) {
        return "valid";
    }
    return "not valid (" + Thousands(problems) + (problems == 1 ? " problem)" : " problems)");
}

TrackSummary SummarizeTrack(const PackEntry& entry) {
    CourseJudgement judged = JudgeCourse(entry.course);
    TrackSummary summary;
    summary.track = entry.track;
    summary.name = Latin1ToUtf8(entry.record.name);
    summary.subtitle = Latin1ToUtf8(entry.record.subtitle);
    summary.venue = VenueText(entry.course);
    summary.points = entry.course.count;
    summary.length = judged.figures.length;
    summary.shapes = Counts(judged.figures.segmentsByShape,
                            [](std::size_t s) { return ShapeName(static_cast<Shape>(s)); });
    summary.features = Counts(judged.figures.segmentsByFeature,
                              [](std::size_t f) { return FeatureName(static_cast<Feature>(f)); });
    summary.problems = std::move(judged.problems);
    summary.figures = judged.figures;
    return summary;
}

std::vector<std::string> InvalidCourseLines(std::span<const std::uint8_t> container) {
    std::vector<std::string> lines;
    for (const PackEntry& track : ReadPackTracks(container)) {
        const std::vector<std::string> problems = ValidateCourse(track.course);
        if (!problems.empty()) {
            lines.push_back("track " + std::to_string(track.track) +
                            ": the course is not valid: " + problems.front() +
                            (problems.size() > 1
                                 ? " (and " + Thousands(problems.size() - 1) + " more)"
                                 : std::string()));
        }
    }
    return lines;
}

}  // namespace tflux
