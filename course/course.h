#pragma once

// The 2,016-byte course block of a track record: what the game reads to build a race course.
// Decoding keeps every bit, so that any block encodes back to the same bytes; the checksum
// and the validator judge a decoded course without changing it.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "rom/rom_state.h"

namespace tflux {

inline constexpr std::size_t kCourseMaxPoints = 64;
inline constexpr int kCourseMinPoints = 4;
inline constexpr std::uint8_t kCourseCreator = 4;
inline constexpr std::size_t kCourseFileNameSize = 22;
inline constexpr int kCourseVenues = 10;   // 0..9 for races; 10 is the ending scenery
inline constexpr int kCourseSkyboxes = 8;  // 0..7
inline constexpr int kCourseMaxMusic = 13;
inline constexpr std::int8_t kFeatureNone = -1;

enum class Shape : std::uint8_t {
    Road = 0,
    Walled = 1,
    Pipe = 2,
    Cylinder = 3,
    HalfPipe = 4,
    Tunnel = 5,
    Air = 6,
    Borderless = 7,
};
inline constexpr int kShapeCount = 8;

enum class Feature : std::uint8_t { Pit, Dash, Dirt, Ice, Jump, Mine, Gate, Building, Sign };
inline constexpr std::size_t kFeatureCount = 9;

// Segment info fields.
inline constexpr std::uint32_t kInfoStyleMask = 0x3F;
inline constexpr std::uint32_t kInfoShapeShift = 6;
inline constexpr std::uint32_t kInfoShapeMask = 0x1C0;
inline constexpr std::uint32_t kInfoFlagMask = 0x38000000;  // flat floor, joinable, inside
// Recomputed by the game at load or used only while racing: not part of the checksum.
inline constexpr std::uint32_t kInfoLoadTimeMask = 0x600 | 0x38000 | 0x40000000;
inline constexpr std::uint32_t kInfoUnusedMask = 0x07FC0000 | 0x80000000;
inline constexpr std::uint32_t kAirStyle = 0x3F;

struct ControlPoint {
    float x = 0;
    float y = 0;  // up
    float z = 0;
    std::int16_t left = 0;   // half-width left of the centre line
    std::int16_t right = 0;  // and right of it
    std::uint32_t info = 0;  // segment info of the segment that starts here
};

struct Course {
    std::uint8_t creator = kCourseCreator;
    std::int8_t count = 0;  // control points in use
    std::int8_t venue = 0;
    std::int8_t skybox = 0;
    std::uint32_t checksum = 0;  // as stored
    std::uint8_t flag = 0;
    std::array<char, kCourseFileNameSize> fileName{};
    std::int8_t music = 0;
    std::array<ControlPoint, kCourseMaxPoints> points{};
    std::array<std::int16_t, kCourseMaxPoints> bank{};
    // features[f][i]: value of feature f on segment i, kFeatureNone for none.
    std::array<std::array<std::int8_t, kCourseMaxPoints>, kFeatureCount> features{};

    std::int8_t& Feat(Feature f, std::size_t segment) {
        return features[static_cast<std::size_t>(f)][segment];
    }
    std::int8_t Feat(Feature f, std::size_t segment) const {
        return features[static_cast<std::size_t>(f)][segment];
    }
    // The number of points the arrays are read for: count, held to what the arrays have.
    std::size_t PointsInUse() const;
};

// Any 2,016 bytes decode; EncodeCourse gives them back exactly. Throws EngineError for a
// block of another size.
Course DecodeCourse(std::span<const std::uint8_t> block);
std::array<std::uint8_t, kTrackBlockSize> EncodeCourse(const Course& course);

// The game's checksum over the points in use.
std::uint32_t CourseChecksum(const Course& course);

// Segment info words as the game's editor writes them.
std::uint32_t EditorInfoWord(Shape shape);
Shape InfoShape(std::uint32_t info);
std::uint32_t InfoStyle(std::uint32_t info);
int MaxStyle(Shape shape);
// Road and air join anything; every other shape needs a transition onto them.
bool IsJoinable(Shape shape);
// Length of the transition a non-joinable shape needs next to a joinable segment.
double TransitionLength(Shape shape);

std::string_view ShapeName(Shape shape);
// The shape as a sentence names it: "walled road", "air gap", "pipe".
std::string_view ShapeDescription(Shape shape);
std::string_view FeatureName(Feature feature);
std::string_view VenueName(int venue);    // "" outside 0..10
std::string_view SkyboxName(int skybox);  // "" outside 0..7
// The name of a feature's value ("left", "tall-both", ...), "" for a value it does not have.
std::string_view FeatureValueName(Feature feature, int value);
std::optional<int> FeatureValueFromName(Feature feature, std::string_view name);
std::optional<Shape> ShapeFromName(std::string_view name);
std::optional<int> VenueFromName(std::string_view name);
std::optional<int> SkyboxFromName(std::string_view name);

// The lanes across the road, as bits of a set.
inline constexpr int kLaneLeft = 1;
inline constexpr int kLaneMiddle = 2;
inline constexpr int kLaneRight = 4;
// The lanes a pit, dirt or ice zone, a dash plate or a mine field of this value takes; none for
// a value the feature does not have, and for the features that take no lane.
int FeatureLanes(Feature feature, int value);

// Every rule of a valid course the game keeps, each broken rule as a sentence naming the
// segment or point ("segment 7: pipe of length 1,830 is too short for its transitions").
// Empty when the course is valid. The stored checksum is judged too.
std::vector<std::string> ValidateCourse(const Course& course);

// Figures a person or a test reads off a course; only meaningful for 4..64 points.
struct CourseFigures {
    double length = 0;              // sum over segments of 50 chords each
    int slices = 0;                 // how many slices the game builds the road from; 0 when
                                    // the road is not finite or too long to count
    double minPointDistance = 0;    // between consecutive points
    double minEdgeDistance = 0;     // between consecutive points' edge points
    double minTension = 0;          // smallest and largest root of any segment's tension solve
    double maxTension = 0;          // (NaN when some segment's solve fails)
    double minFoldMargin = 0;       // smallest edge advance between slices (negative: a fold)
    double minTransitionSlack = 0;  // over non-joinable segments: length less what they need
    std::array<int, kShapeCount> segmentsByShape{};
    std::array<int, kFeatureCount> segmentsByFeature{};
};
CourseFigures MeasureCourse(const Course& course);

// ValidateCourse's problems and MeasureCourse's figures from one walk over the road, and the
// work the walk took: road samples taken and runs of samples compared with a slice's line.
// The work of any course, however hostile, stays within a small multiple of a valid one's.
struct CourseJudgement {
    std::vector<std::string> problems;
    CourseFigures figures;
    std::size_t work = 0;
};
CourseJudgement JudgeCourse(const Course& course);

}  // namespace tflux
