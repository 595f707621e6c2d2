#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <numbers>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "course/course.h"
#include "course/course_geometry.h"
#include "rom/errors.h"

namespace tflux {
namespace {

constexpr std::uint32_t kRoad = 0x18000000;
constexpr std::uint32_t kStartLine = kRoad;
constexpr std::uint32_t kRoadStyle1 = kRoad | 1;

// A stadium: two straights of six 1,000-unit segments joined by half circles of radius 1,500,
// 24 points in all, whole-unit coordinates.
constexpr std::array<std::pair<int, int>, 24> kOval = {{
    {-3000, -1500}, {-2000, -1500}, {-1000, -1500}, {0, -1500}, {1000, -1500}, {2000, -1500},
    {3000, -1500},  {3750, -1299},  {4299, -750},   {4500, 0},  {4299, 750},   {3750, 1299},
    {3000, 1500},   {2000, 1500},   {1000, 1500},   {0, 1500},  {-1000, 1500}, {-2000, 1500},
    {-3000, 1500},  {-3750, 1299},  {-4299, 750},   {-4500, 0}, {-4299, -750}, {-3750, -1299},
}};

// A flat road course through the given points, radius 200, start line on segment 0 and a
// refill zone on the left of segment 1, its checksum stored.
Course RoadCourse(const std::vector<std::pair<double, double>>& xz) {
    Course course;
    course.count = static_cast<std::int8_t>(xz.size());
    for (std::size_t i = 0; i < xz.size(); ++i) {
        ControlPoint& p = course.points[i];
        p.x = static_cast<float>(xz[i].first);
        p.z = static_cast<float>(xz[i].second);
        p.left = 200;
        p.right = 200;
        p.info = i == 0 ? kStartLine : kRoadStyle1;
        for (auto& feature : course.features) {
            feature[i] = kFeatureNone;
        }
    }
    course.Feat(Feature::Pit, 1) = 1;
    course.checksum = CourseChecksum(course);
    return course;
}

Course Oval() {
    return RoadCourse({kOval.begin(), kOval.end()});
}

// n points on a circle.
Course Circle(int n, double radius) {
    std::vector<std::pair<double, double>> xz;
    for (int i = 0; i < n; ++i) {
        const double angle = 2 * std::numbers::pi * i / n;
        // + 0.0 turns a rounded -0.0 into +0.0.
        xz.emplace_back(std::round(radius * std::cos(angle)) + 0.0,
                        std::round(radius * std::sin(angle)) + 0.0);
    }
    return RoadCourse(xz);
}

// The oval's bottom straight with point 3 moved to x = `pipeEnd` and point 4 left out, so that
// segment 2 runs straight from x = -1,000 to `pipeEnd`: 23 points.
Course LongSegmentCourse(double pipeEnd) {
    std::vector<std::pair<double, double>> xz(kOval.begin(), kOval.end());
    xz.erase(xz.begin() + 4);
    xz[3].first = pipeEnd;
    return RoadCourse(xz);
}

void SetShape(Course& course, std::size_t segment, Shape shape, std::uint32_t style = 0) {
    course.points[segment].info = EditorInfoWord(shape) | (shape == Shape::Air ? 0 : style);
}

// The problems of a course once its stored checksum is brought up to date, so that only the
// rule a test breaks shows.
std::vector<std::string> Problems(Course course) {
    course.checksum = CourseChecksum(course);
    return ValidateCourse(course);
}

std::string Joined(const std::vector<std::string>& problems) {
    std::string text;
    for (const std::string& problem : problems) {
        text += "\n  " + problem;
    }
    return text.empty() ? " none" : text;
}

// One sentence holds every word.
testing::AssertionResult Names(const std::vector<std::string>& problems,
                               std::initializer_list<std::string_view> words) {
    for (const std::string& problem : problems) {
        bool all = true;
        for (const std::string_view word : words) {
            all = all && problem.find(word) != std::string::npos;
        }
        if (all) {
            return testing::AssertionSuccess();
        }
    }
    std::string wanted;
    for (const std::string_view word : words) {
        wanted += " \"" + std::string(word) + "\"";
    }
    return testing::AssertionFailure()
           << "no problem names" << wanted << "; problems:" << Joined(problems);
}

// No sentence holds the word.
testing::AssertionResult Silent(const std::vector<std::string>& problems, std::string_view word) {
    for (const std::string& problem : problems) {
        if (problem.find(word) != std::string::npos) {
            return testing::AssertionFailure()
                   << "a problem mentions \"" << word << "\":" << Joined(problems);
        }
    }
    return testing::AssertionSuccess();
}

testing::AssertionResult Valid(const Course& course) {
    const auto problems = Problems(course);
    if (problems.empty()) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << "problems:" << Joined(problems);
}

// N points at the origin with no features: the plainest course the checksum sums.
Course Blank(int n) {
    Course course;
    course.count = static_cast<std::int8_t>(n);
    for (auto& feature : course.features) {
        feature.fill(kFeatureNone);
    }
    return course;
}

// ---- the checksum ----
// Expected values come from a separate model in Python that rounds to single precision after
// every operation (struct.pack('>f')) and wraps the sums to 32 bits.

TEST(CourseChecksum, MatchesHandWorkedVectors) {
    // 4 - (9 * (0+1+2+3) + 4 * (0+16+128+256+2048+4096+32768+65536+524288)), as a u32.
    EXPECT_EQ(CourseChecksum(Blank(4)), 4292450702u);

    // x + 1.1f * y = 2^24 + 1.1 rounds to 16,777,218 in single precision (17 in double).
    Course big = Blank(4);
    big.points[0].x = 16777216.0f;
    big.points[0].y = 1.0f;
    EXPECT_EQ(CourseChecksum(big), 14260624u);

    // The whole oval: 24 road points, radius 200, a refill zone on segment 1.
    Course oval = Oval();
    oval.Feat(Feature::Pit, 1) = kFeatureNone;
    oval.Feat(Feature::Pit, 2) = 1;
    EXPECT_EQ(CourseChecksum(oval), 2672792532u);
}

TEST(CourseChecksum, WrapsAroundOnThirtyTwoBits) {
    // Every info bit set times (254 - i), extreme banks times (37854 - 2i), fractional
    // coordinates and both radii at point 3, and a spread of feature values.
    Course course = Blank(4);
    for (std::size_t i = 0; i < 4; ++i) {
        course.points[i].info = 0xFFFFFFFF;
    }
    course.points[3] = {1234.5f, -250.0f, 777.25f, 50, 1990, 0xFFFFFFFF};
    course.bank = {-32768, -32768, 32767, -30};
    for (std::size_t i = 0; i < 4; ++i) {
        course.Feat(Feature::Sign, i) = 4;
        course.Feat(Feature::Building, i) = 14;
    }
    course.Feat(Feature::Gate, 0) = 2;
    course.Feat(Feature::Gate, 1) = 1;
    course.Feat(Feature::Gate, 2) = 0;
    course.Feat(Feature::Pit, 0) = 0;
    course.Feat(Feature::Pit, 1) = 1;
    course.Feat(Feature::Pit, 2) = 2;
    EXPECT_EQ(CourseChecksum(course), 684828838u);

    // 64 points, info 0x7FFFFFFF, bank -1, every feature byte 127.
    Course full = Blank(64);
    for (std::size_t i = 0; i < 64; ++i) {
        full.points[i].info = 0x7FFFFFFF;
        full.bank[i] = -1;
    }
    for (auto& feature : full.features) {
        feature.fill(127);
    }
    EXPECT_EQ(CourseChecksum(full), 1825302016u);
}

TEST(CourseChecksum, IgnoresLoadTimeBitsAndEntriesPastTheCount) {
    const Course base = Oval();
    const std::uint32_t sum = CourseChecksum(base);
    for (const std::uint32_t bit : {0x200u, 0x400u, 0x8000u, 0x10000u, 0x20000u, 0x40000000u}) {
        Course course = base;
        course.points[5].info |= bit;
        EXPECT_EQ(CourseChecksum(course), sum) << std::hex << bit;
    }
    for (std::uint32_t bit = 1; bit != 0; bit <<= 1) {
        if ((bit & (0x600u | 0x38000u | 0x40000000u)) != 0) {
            continue;
        }
        Course course = base;
        course.points[5].info ^= bit;
        EXPECT_NE(CourseChecksum(course), sum) << std::hex << bit;
    }
    Course beyond = base;
    beyond.points[30].x = 5;
    beyond.bank[40] = 3;
    beyond.Feat(Feature::Sign, 63) = 2;
    EXPECT_EQ(CourseChecksum(beyond), sum);
}

TEST(CourseChecksum, NegativeZeroSumsAsZeroButIsNamed) {
    Course course = Oval();
    course.points[3].x = -0.0f;  // point 3 lies at x = 0
    EXPECT_EQ(CourseChecksum(course), CourseChecksum(Oval()));
    EXPECT_TRUE(Names(Problems(course), {"point 3", "x", "-0.0"}));
}

// ---- the block ----

std::array<std::uint8_t, kTrackBlockSize> RandomBlock(std::uint32_t seed) {
    std::array<std::uint8_t, kTrackBlockSize> block{};
    std::uint32_t state = seed;
    for (auto& byte : block) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    return block;
}

TEST(CourseBlock, AnyBytesEncodeBackIdentically) {
    for (const std::uint32_t seed : {1u, 0x9E3779B9u, 0xDEADBEEFu, 12345u}) {
        const auto block = RandomBlock(seed);
        EXPECT_EQ(EncodeCourse(DecodeCourse(block)), block) << seed;
    }
    // Signalling NaNs, subnormals and -0.0 keep their bits.
    std::array<std::uint8_t, kTrackBlockSize> odd{};
    const std::array<std::uint8_t, 12> floats = {0x7F, 0x80, 0x00, 0x01, 0x00, 0x00,
                                                 0x00, 0x01, 0x80, 0x00, 0x00, 0x00};
    std::copy(floats.begin(), floats.end(), odd.begin() + 0x20);
    EXPECT_EQ(EncodeCourse(DecodeCourse(odd)), odd);
}

TEST(CourseBlock, RefusesOtherSizes) {
    const std::vector<std::uint8_t> shorter(kTrackBlockSize - 1);
    const std::vector<std::uint8_t> longer(kTrackBlockSize + 1);
    EXPECT_THROW(DecodeCourse(shorter), EngineError);
    EXPECT_THROW(DecodeCourse(longer), EngineError);
    EXPECT_THROW(DecodeCourse({}), EngineError);
}

TEST(CourseBlock, FieldsLieAtTheirOffsets) {
    std::array<std::uint8_t, kTrackBlockSize> block{};
    block[0x000] = 4;
    block[0x001] = 24;
    block[0x002] = 9;
    block[0x003] = 7;
    block[0x004] = 0x12;
    block[0x005] = 0x34;
    block[0x006] = 0x56;
    block[0x007] = 0x78;
    block[0x008] = 1;
    block[0x009] = 'A';
    block[0x01E] = 'Z';
    block[0x01F] = 13;
    // Point 2: x = 1.5, y = -2.0, z = 0.25, left 300, right -2, info 0x18000041.
    const std::size_t p = 0x020 + 20 * 2;
    const std::array<std::uint8_t, 20> point = {0x3F, 0xC0, 0,    0,    0xC0, 0x00, 0,
                                                0,    0x3E, 0x80, 0,    0,    1,    0x2C,
                                                0xFF, 0xFE, 0x18, 0x00, 0x00, 0x41};
    std::copy(point.begin(), point.end(), block.begin() + p);
    block[0x520 + 2 * 3] = 0xFF;  // bank[3] = -30
    block[0x520 + 2 * 3 + 1] = 0xE2;
    block[0x5A0 + 5] = 2;     // pit[5]
    block[0x5E0 + 6] = 0xFF;  // dash[6]
    block[0x620 + 7] = 3;     // dirt[7]
    block[0x660 + 8] = 1;     // ice[8]
    block[0x6A0 + 9] = 2;     // jump[9]
    block[0x6E0 + 10] = 1;    // mine[10]
    block[0x720 + 11] = 2;    // gate[11]
    block[0x760 + 12] = 14;   // building[12]
    block[0x7A0 + 63] = 4;    // sign[63], the block's last byte
    const Course course = DecodeCourse(block);
    EXPECT_EQ(course.creator, 4);
    EXPECT_EQ(course.count, 24);
    EXPECT_EQ(course.venue, 9);
    EXPECT_EQ(course.skybox, 7);
    EXPECT_EQ(course.checksum, 0x12345678u);
    EXPECT_EQ(course.flag, 1);
    EXPECT_EQ(course.fileName[0], 'A');
    EXPECT_EQ(course.fileName[21], 'Z');
    EXPECT_EQ(course.music, 13);
    EXPECT_EQ(course.points[2].x, 1.5f);
    EXPECT_EQ(course.points[2].y, -2.0f);
    EXPECT_EQ(course.points[2].z, 0.25f);
    EXPECT_EQ(course.points[2].left, 300);
    EXPECT_EQ(course.points[2].right, -2);
    EXPECT_EQ(course.points[2].info, 0x18000041u);
    EXPECT_EQ(course.points[1].x, 0.0f);
    EXPECT_EQ(course.points[3].info, 0u);
    EXPECT_EQ(course.bank[3], -30);
    EXPECT_EQ(course.bank[2], 0);
    EXPECT_EQ(course.Feat(Feature::Pit, 5), 2);
    EXPECT_EQ(course.Feat(Feature::Dash, 6), -1);
    EXPECT_EQ(course.Feat(Feature::Dirt, 7), 3);
    EXPECT_EQ(course.Feat(Feature::Ice, 8), 1);
    EXPECT_EQ(course.Feat(Feature::Jump, 9), 2);
    EXPECT_EQ(course.Feat(Feature::Mine, 10), 1);
    EXPECT_EQ(course.Feat(Feature::Gate, 11), 2);
    EXPECT_EQ(course.Feat(Feature::Building, 12), 14);
    EXPECT_EQ(course.Feat(Feature::Sign, 63), 4);
    EXPECT_EQ(course.Feat(Feature::Sign, 62), 0);
    EXPECT_EQ(EncodeCourse(course), block);
}

// ---- the validator: header, info words, unused entries ----

TEST(CourseValidator, BaseCoursesAreValid) {
    EXPECT_TRUE(Valid(Oval()));
    EXPECT_TRUE(ValidateCourse(Oval()).empty()) << "the stored checksum";
    EXPECT_TRUE(Valid(Circle(4, 2000)));
    EXPECT_TRUE(Valid(Circle(64, 6000)));
}

TEST(CourseValidator, PointCountIsFourToSixtyFour) {
    for (const int count : {3, 65, 0, -1}) {
        Course course = Circle(64, 6000);
        course.count = static_cast<std::int8_t>(count);
        EXPECT_TRUE(Names(Problems(course), {"control points", "4 to 64"})) << count;
    }
    Course three = Circle(3, 2000);
    EXPECT_TRUE(Names(Problems(three), {"3 control points"}));
}

TEST(CourseValidator, HeaderFieldsStayInRange) {
    Course course = Oval();
    course.venue = 9;
    course.skybox = 7;
    course.music = 13;
    EXPECT_TRUE(Valid(course));
    course.venue = 10;
    EXPECT_TRUE(Names(Problems(course), {"venue 10"}));
    course.venue = -1;
    EXPECT_TRUE(Names(Problems(course), {"venue -1"}));
    course = Oval();
    course.skybox = 8;
    EXPECT_TRUE(Names(Problems(course), {"skybox 8"}));
    course = Oval();
    course.music = 14;
    EXPECT_TRUE(Names(Problems(course), {"music 14"}));
    course = Oval();
    course.creator = 5;
    EXPECT_TRUE(Names(Problems(course), {"creator is 5"}));
}

TEST(CourseValidator, StoredChecksumMustMatch) {
    Course course = Oval();
    course.checksum += 1;
    const auto problems = ValidateCourse(course);
    ASSERT_EQ(problems.size(), 1u) << Joined(problems);
    EXPECT_TRUE(Names(problems, {"checksum"}));
}

TEST(CourseValidator, InfoWordsKeepTheirShapesRules) {
    Course course = Oval();
    course.points[5].info |= 0x00040000;
    EXPECT_TRUE(Names(Problems(course), {"segment 5", "unused bits", "0x00040000"}));
    course = Oval();
    course.points[6].info |= 0x80000000;
    EXPECT_TRUE(Names(Problems(course), {"segment 6", "unused bits", "0x80000000"}));
    // The bits the game recomputes at load may be anything.
    course = Oval();
    course.points[6].info |= 0x600 | 0x38000 | 0x40000000 | 0x7800;
    EXPECT_TRUE(Valid(course));

    course = Oval();
    course.points[7].info = 0x08000001;  // a road without its joinable flag
    EXPECT_TRUE(Names(Problems(course), {"segment 7", "flags"}));
    course = Oval();
    course.points[7].info = kRoad | 0x20000000 | 1;
    EXPECT_TRUE(Names(Problems(course), {"segment 7", "flags"}));

    course = Oval();
    course.points[4].info = kRoad | 6;
    EXPECT_TRUE(Valid(course));
    course.points[4].info = kRoad | 7;
    EXPECT_TRUE(Names(Problems(course), {"segment 4", "style 7"}));
    course = Oval();
    SetShape(course, 4, Shape::Walled, 2);
    EXPECT_TRUE(Valid(course));
    SetShape(course, 4, Shape::Walled, 3);
    EXPECT_TRUE(Names(Problems(course), {"segment 4", "style 3"}));
    course = Oval();
    SetShape(course, 4, Shape::Borderless, 3);
    EXPECT_TRUE(Names(Problems(course), {"segment 4", "style 3"}));
    course = Oval();
    course.points[4].info = EditorInfoWord(Shape::Air) & ~kInfoStyleMask;
    EXPECT_TRUE(Names(Problems(course), {"segment 4", "style 63"}));
}

TEST(CourseValidator, OnlySegmentZeroIsTheStartLine) {
    Course course = Oval();
    course.points[9].info = kStartLine;
    EXPECT_TRUE(Names(Problems(course), {"segment 9", "second start line"}));
    course = Oval();
    course.points[0].info = kRoadStyle1;
    EXPECT_TRUE(Names(Problems(course), {"segment 0", "start line"}));
    course = Oval();
    SetShape(course, 0, Shape::Walled, 0);
    EXPECT_TRUE(Names(Problems(course), {"segment 0", "start line", "walled"}));
}

TEST(CourseValidator, EntriesPastTheCountAreZero) {
    Course course = Oval();
    course.points[24].left = 1;
    EXPECT_TRUE(Names(Problems(course), {"entry 24", "not all zero"}));
    course = Oval();
    course.Feat(Feature::Gate, 63) = kFeatureNone;
    EXPECT_TRUE(Names(Problems(course), {"entry 63", "not all zero"}));
    course = Oval();
    course.points[40].y = -0.0f;
    EXPECT_TRUE(Names(Problems(course), {"entry 40"}));
    course = Oval();
    course.bank[30] = 3;
    EXPECT_TRUE(Names(Problems(course), {"entry 30"}));
}

// ---- coordinates and radii ----

TEST(CourseValidator, CoordinatesAreZeroOrNormalFinite) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const float subnormal = std::numeric_limits<float>::denorm_min() * 4;
    struct Case {
        float value;
        const char* word;
    };
    for (const Case& c : {Case{-0.0f, "-0.0"}, Case{nan, "not a number"}, Case{inf, "infinite"},
                          Case{-inf, "infinite"}, Case{subnormal, "subnormal"}}) {
        Course course = Oval();
        course.points[5].y = c.value;
        EXPECT_TRUE(Names(Problems(course), {"point 5", "y", c.word})) << c.word;
    }
    Course smallest = Oval();
    smallest.points[5].y = std::numeric_limits<float>::min();  // the smallest normal single
    EXPECT_TRUE(Valid(smallest));
}

Course Shifted(double dx, double dy, double dz) {
    Course course = Oval();
    for (std::size_t i = 0; i < 24; ++i) {
        course.points[i].x += static_cast<float>(dx);
        course.points[i].y += static_cast<float>(dy);
        course.points[i].z += static_cast<float>(dz);
    }
    return course;
}

TEST(CourseValidator, PointsStayWithinTheWorld) {
    // The oval reaches x = +-4,500 at points 9 and 21, z = +-1,500 along its straights.
    EXPECT_TRUE(Valid(Shifted(10500, 0, 0)));
    EXPECT_TRUE(Names(Problems(Shifted(10501, 0, 0)), {"point 9", "x = 15,001", "outside"}));
    EXPECT_TRUE(Valid(Shifted(-10500, 0, 0)));
    EXPECT_TRUE(Names(Problems(Shifted(-10501, 0, 0)), {"point 21", "x = -15,001"}));
    EXPECT_TRUE(Names(Problems(Shifted(0, 0, 13501)), {"point 12", "z = 15,001"}));
    // Leaving the half circle, the spline swings 13.4 units beyond the straight at z = 1,500
    // (the Python model puts the midpoints of segments 12 and 17 at z = 1,513.4): they must
    // stay inside too.
    EXPECT_TRUE(Valid(Shifted(0, 0, 13480)));
    const auto problems = Problems(Shifted(0, 0, 13495));
    EXPECT_TRUE(Names(problems, {"segment 12", "midpoint", "15,008", "outside"}));
    EXPECT_TRUE(Names(problems, {"segment 17", "midpoint"}));
    EXPECT_TRUE(Silent(problems, "point 12"));
    EXPECT_TRUE(Valid(Shifted(0, -250, 0)));
    EXPECT_TRUE(Names(Problems(Shifted(0, -251, 0)), {"point 0", "y = -251"}));
    EXPECT_TRUE(Valid(Shifted(0, 5000, 0)));
    EXPECT_TRUE(Names(Problems(Shifted(0, 5001, 0)), {"point 0", "y = 5,001"}));
}

TEST(CourseValidator, RadiiAreAtLeastFiftyAndAtMostTwoThousandTogether) {
    Course course = Oval();
    course.points[4].left = 50;
    course.points[4].right = 50;
    EXPECT_TRUE(Valid(course));
    course.points[4].left = 49;
    EXPECT_TRUE(Names(Problems(course), {"point 4", "left radius 49"}));
    course.points[4].left = 50;
    course.points[4].right = -1;
    EXPECT_TRUE(Names(Problems(course), {"point 4", "right radius -1"}));

    course = Oval();
    course.points[4].left = 1000;
    course.points[4].right = 1000;
    EXPECT_TRUE(Valid(course));
    course.points[4].left = 1010;
    EXPECT_TRUE(Names(Problems(course), {"point 4", "1010 and 1000", "2,000"}));
}

TEST(CourseValidator, TubesUseOneRadius) {
    Course course = LongSegmentCourse(1150);
    SetShape(course, 2, Shape::Pipe);
    EXPECT_TRUE(Valid(course));
    course.points[2].right = 210;
    EXPECT_TRUE(Names(Problems(course), {"segment 2", "pipe", "left 200 and right 210"}));
    SetShape(course, 2, Shape::Walled);
    EXPECT_TRUE(Silent(Problems(course), "radius all round"));
}

// ---- shapes ----

TEST(CourseValidator, NonJoinableShapesNeedTheirTransitions) {
    // A pipe between roads needs more than 2 * 1,000 + 100; segment 2 is straight, so its
    // length is exactly its chord.
    for (const Shape tube : {Shape::Pipe, Shape::Cylinder, Shape::HalfPipe}) {
        Course course = LongSegmentCourse(1150);
        SetShape(course, 2, tube);
        EXPECT_TRUE(Valid(course)) << ShapeName(tube);
        course = LongSegmentCourse(1050);
        SetShape(course, 2, tube);
        EXPECT_TRUE(Names(Problems(course), {"segment 2", "2,050", "too short", "2,100"}))
            << ShapeName(tube);
    }
    // A tunnel on a 1,000-unit segment between roads: 2 * 250 + 100 is enough.
    Course tunnel = Oval();
    SetShape(tunnel, 4, Shape::Tunnel);
    EXPECT_TRUE(Valid(tunnel));
}

TEST(CourseValidator, DifferentNonJoinableShapesNeverTouch) {
    // Segment 3 runs 850 from the pipe's end to x = 2,000.
    Course course = LongSegmentCourse(1150);
    SetShape(course, 2, Shape::Pipe);
    SetShape(course, 3, Shape::Tunnel);
    auto problems = Problems(course);
    EXPECT_TRUE(Names(problems, {"segments 2 and 3", "pipe", "tunnel", "touch"}));
    // One side of each now meets the other shape, not a road: 1,000 + 100 and 250 + 100.
    EXPECT_TRUE(Silent(problems, "too short"));

    course = LongSegmentCourse(1150);
    SetShape(course, 2, Shape::Pipe);
    SetShape(course, 4, Shape::Tunnel);
    EXPECT_TRUE(Valid(course));
    // The same shape twice in a row is one stretch of it.
    course = Oval();
    SetShape(course, 4, Shape::Walled);
    SetShape(course, 5, Shape::Walled, 1);
    EXPECT_TRUE(Valid(course));
    // Air joins anything.
    course = LongSegmentCourse(1150);
    SetShape(course, 2, Shape::Pipe);
    SetShape(course, 3, Shape::Air);
    EXPECT_TRUE(Silent(Problems(course), "touch"));
}

// Values beyond a long long used to come out as "-0". The digits are the singles' exact
// values (Python: '%.0f' % struct.unpack('f', struct.pack('f', 3e38))[0]).
TEST(CourseValidator, HugeCoordinatesAreNamedAsTheyAre) {
    Course course = Oval();
    course.points[5].x = 1e30f;
    course.points[6].z = -3e38f;
    const auto problems = Problems(course);
    EXPECT_TRUE(Names(problems, {"point 5", "x = 1,000,000,015,047,466,219,876,688,855,040"}));
    EXPECT_TRUE(
        Names(problems, {"point 6", "z = -300,000,000,549,775,575,777,803,994,281,145,270,272"}));
}

// ---- spacing, turns and tension ----

// The oval with point 3 moved along its straight to x = `x`, 92 to 1,000 from point 2.
Course MovedPoint3(double x) {
    std::vector<std::pair<double, double>> xz(kOval.begin(), kOval.end());
    xz[3].first = x;
    return RoadCourse(xz);
}

TEST(CourseValidator, ConsecutivePointsKeepTheirDistance) {
    // Banking point 3 by 45 degrees moves both its edge points 153 across, so the edge rule
    // holds while the centres come close.
    Course course = MovedPoint3(-907.7);
    course.bank[3] = 45;
    EXPECT_TRUE(Valid(course));
    course = MovedPoint3(-907.9);
    course.bank[3] = 45;
    const auto problems = Problems(course);
    ASSERT_EQ(problems.size(), 1u) << Joined(problems);
    EXPECT_TRUE(Names(problems, {"segment 2", "points 2 and 3", "92.1 apart", "92.2"}));
}

TEST(CourseValidator, EdgePointsKeepTheirDistance) {
    // Unbanked on a straight, the edge points lie as far apart as the centres.
    EXPECT_TRUE(Valid(MovedPoint3(-849)));
    const auto problems = Problems(MovedPoint3(-851));
    EXPECT_TRUE(Names(problems, {"segment 2", "left edge points", "149.0 apart", "150"}));
    EXPECT_TRUE(Names(problems, {"segment 2", "right edge points", "149.0 apart"}));
    EXPECT_TRUE(Silent(problems, "92.2"));
}

TEST(CourseValidator, NoTurnBackOf175Point6DegreesOrMore) {
    // Point 4 placed 2,000 back from point 3 at `degrees` of turn.
    const auto turned = [](double degrees) {
        std::vector<std::pair<double, double>> xz(kOval.begin(), kOval.end());
        const double away = (180 - degrees) * std::numbers::pi / 180;
        xz[4] = {-2000 * std::cos(away), -1500 - 2000 * std::sin(away)};
        return RoadCourse(xz);
    };
    EXPECT_TRUE(Names(Problems(turned(176)), {"point 3", "turns back by 176.0"}));
    EXPECT_TRUE(Silent(Problems(turned(175)), "point 3: the road turns back"));
}

// A zig-zag: points 1 -> 2 turn 135 degrees, then a long leg at right angles to segment 1.
Course ZigZag(double leg) {
    const double q = leg / std::sqrt(2.0);
    return RoadCourse({{0, 0}, {1000, 0}, {500, 500}, {500 + q, 500 + q}, {0, 500 + q}});
}

TEST(CourseValidator, EverySegmentsTensionIsSolvable) {
    // With the leg at 3,000 the first quadratic of segment 1 has no real root: (B^2 < 4AC).
    const TensionSolve none = SolveTension(ZigZag(3000), 1);
    EXPECT_FALSE(none.rootsExist);
    EXPECT_TRUE(Names(Problems(ZigZag(3000)), {"segment 1", "tension cannot be solved"}));
    const TensionSolve some = SolveTension(ZigZag(1500), 1);
    EXPECT_TRUE(some.solved);
    EXPECT_TRUE(Silent(Problems(ZigZag(1500)), "tension"));

    // A point doubling back gives roots beyond 2.
    std::vector<std::pair<double, double>> xz(kOval.begin(), kOval.end());
    xz[4] = {-1995, -1640};
    EXPECT_TRUE(Names(Problems(RoadCourse(xz)), {"segment 3", "tension roots", "0 to 2"}));
}

TEST(CourseGeometry, TensionAndSplineFollowTheFormulas) {
    // Equally spaced points on a line: both roots are 1/2 and the spline is Catmull-Rom.
    const Course oval = Oval();
    const TensionSolve straight = SolveTension(oval, 2);
    ASSERT_TRUE(straight.solved);
    EXPECT_NEAR(straight.alpha1, 0.5, 1e-12);
    EXPECT_NEAR(straight.alpha2, 0.5, 1e-12);
    EXPECT_NEAR(straight.tension, 0.5, 1e-12);
    // Collinear with gaps 1,000, 2,150 and 850: d = -2,150, e = -6,150, and the quadratics give
    // 86/125 and 86/121 (worked in Python from the formulas, in double).
    const TensionSolve uneven = SolveTension(LongSegmentCourse(1150), 2);
    ASSERT_TRUE(uneven.solved);
    EXPECT_NEAR(uneven.alpha1, 86.0 / 125, 1e-9);
    EXPECT_NEAR(uneven.alpha2, 86.0 / 121, 1e-9);

    // Catmull-Rom's midpoint (-P0 + 9 P1 + 9 P2 - P3) / 16, on the half circle.
    const Vec3 mid = SplinePosition(oval, 8, 0.5, 0.5);
    const Vec3 p0 = CoursePoint(oval, 7), p1 = CoursePoint(oval, 8), p2 = CoursePoint(oval, 9),
               p3 = CoursePoint(oval, 10);
    const Vec3 expected = (p1 * 9 + p2 * 9 - p0 - p3) * (1.0 / 16);
    EXPECT_NEAR(mid.x, expected.x, 1e-9);
    EXPECT_NEAR(mid.z, expected.z, 1e-9);
    // Ends on the points, for any tension; the derivative is the position's slope.
    for (const double s : {0.1, 0.5, 1.7}) {
        EXPECT_NEAR((SplinePosition(oval, 8, s, 0) - p1).Length(), 0, 1e-9);
        EXPECT_NEAR((SplinePosition(oval, 8, s, 1) - p2).Length(), 0, 1e-9);
        const double h = 1e-6;
        const Vec3 slope =
            (SplinePosition(oval, 8, s, 0.3 + h) - SplinePosition(oval, 8, s, 0.3 - h)) *
            (1 / (2 * h));
        EXPECT_NEAR((SplineDerivative(oval, 8, s, 0.3) - slope).Length(), 0, 1e-3);
    }
    // Indices wrap around the loop.
    EXPECT_EQ(CoursePoint(oval, -1).x, -3750);
    EXPECT_EQ(CoursePoint(oval, 24).x, -3000);
}

TEST(CourseGeometry, FramesBankAndInterpolate) {
    Course course = Oval();
    course.bank[3] = 30;
    course.points[4].left = 400;
    const RoadSample flat = FrameAtPoint(course, 2);
    // Along +x, no roll: up is +y and the right edge lies towards +z (down the map).
    EXPECT_NEAR(flat.forward.x, 1, 1e-9);
    EXPECT_NEAR(flat.up.y, 1, 1e-9);
    EXPECT_NEAR(flat.right.z, 1, 1e-9);
    // A positive bank lowers the right edge.
    const RoadSample banked = FrameAtPoint(course, 3);
    EXPECT_NEAR(banked.up.y, std::cos(std::numbers::pi / 6), 1e-9);
    EXPECT_NEAR(banked.right.y, -0.5, 1e-9);
    // Radii move linearly along the segment.
    const auto frames = SampleSegment(course, 3, 4);
    ASSERT_EQ(frames.size(), 5u);
    EXPECT_DOUBLE_EQ(frames[0].leftRadius, 200);
    EXPECT_DOUBLE_EQ(frames[2].leftRadius, 300);
    EXPECT_DOUBLE_EQ(frames[4].leftRadius, 400);
    EXPECT_DOUBLE_EQ(frames[2].rightRadius, 200);
}

// ---- length, folds, slices ----

TEST(CourseValidator, TotalLengthIsThreeThousandToTwoHundredFiftyThousand) {
    // Four points on a circle: 2,992 at radius 480, 3,054 at 490 (a separate Python model of
    // the tension solve and the 50 chords per segment).
    EXPECT_TRUE(Names(Problems(Circle(4, 480)), {"2,992 long", "3,000 to 250,000"}));
    EXPECT_TRUE(Valid(Circle(4, 490)));
    // Ten rows across the world joined end to end, 20 rows of 2 W plus the turns and the way
    // back: above 250,000 for W = 9,500, below it for W = 9,000.
    const auto serpentine = [](double w) {
        std::vector<std::pair<double, double>> xz;
        for (int row = 0; row < 10; ++row) {
            const double z = -13500 + 3000 * row;
            const double from = row % 2 == 0 ? -w : w;
            xz.emplace_back(from, z);
            xz.emplace_back(-from, z);
        }
        xz.emplace_back(-w - 1000, 13500);
        xz.emplace_back(-w - 1000, -13500);
        return RoadCourse(xz);
    };
    const Course longer = serpentine(9500);
    EXPECT_GT(MeasureCourse(longer).length, 250000);
    EXPECT_TRUE(Names(Problems(longer), {"long", "3,000 to 250,000"}));
    const Course shorter = serpentine(9000);
    EXPECT_LT(MeasureCourse(shorter).length, 250000);
    EXPECT_TRUE(Silent(Problems(shorter), "250,000"));
}

// The oval pinched to half circles of radius 500, each of three 60-degree steps; 18 points.
Course Hairpins(std::int16_t radius) {
    std::vector<std::pair<double, double>> xz;
    for (int k = 0; k < 6; ++k) {
        xz.emplace_back(-3000 + 1000 * k, -500);
    }
    const auto arc = [&](double cx, double fromDegrees) {
        for (int k = 0; k < 3; ++k) {
            const double a = (fromDegrees + 60 * k) * std::numbers::pi / 180;
            xz.emplace_back(std::round(cx + 500 * std::cos(a)) + 0.0,
                            std::round(500 * std::sin(a)) + 0.0);
        }
    };
    arc(3000, -90);
    for (int k = 0; k < 6; ++k) {
        xz.emplace_back(3000 - 1000 * k, 500);
    }
    arc(-3000, 90);
    Course course = RoadCourse(xz);
    for (std::size_t i = 0; i < xz.size(); ++i) {
        course.points[i].left = radius;
        course.points[i].right = radius;
    }
    return course;
}

TEST(CourseValidator, TheRoadNeverFolds) {
    EXPECT_TRUE(Valid(Hairpins(200)));
    EXPECT_GT(MeasureCourse(Hairpins(200)).minFoldMargin, 0);
    // A 600 half-width on a curve of radius about 500: the inner (right) edge runs backwards.
    const auto problems = Problems(Hairpins(600));
    EXPECT_TRUE(Names(problems, {"segment 7", "right edge folds", "600"}));
    EXPECT_TRUE(Names(problems, {"segment 16", "right edge folds"}));
    EXPECT_TRUE(Silent(problems, "left edge folds"));
    EXPECT_LT(MeasureCourse(Hairpins(600)).minFoldMargin, 0);
}

TEST(CourseFigures, MeasureTheOval) {
    const CourseFigures figures = MeasureCourse(Oval());
    // 12,000 of straights and two half circles of radius 1,500 (4,712 each), which the spline
    // cuts a little: 21,413.00 in the Python model.
    EXPECT_NEAR(figures.length, 21412.996, 0.01);
    // The shortest step: (3,750, -1,299) to (4,299, -750).
    EXPECT_NEAR(figures.minPointDistance, std::hypot(549.0, 549.0), 1e-9);
    EXPECT_EQ(figures.segmentsByShape[static_cast<std::size_t>(Shape::Road)], 24);
    EXPECT_EQ(figures.segmentsByFeature[static_cast<std::size_t>(Feature::Pit)], 1);
    // At least one slice per 2,000 units; on the half circles an edge of radius 1,289 strays
    // 20 units within about 454, so roughly 4,712 * 1,289 / 1,500 / 454 = 9 slices each.
    EXPECT_GE(figures.slices, figures.length / 2000);
    EXPECT_GE(figures.slices, 6 + 2 * 8);
    EXPECT_LE(figures.slices, 6 + 2 * 14);
    // A wider circle needs fewer slices for its length than a tight one.
    const CourseFigures wide = MeasureCourse(Circle(64, 12000));
    const CourseFigures tight = MeasureCourse(Circle(24, 2500));
    EXPECT_LT(wide.slices / wide.length, tight.slices / tight.length);
    EXPECT_LE(MeasureCourse(Circle(64, 14000)).slices, 766);
}

// Courses no one should make, from the oval: each as the validator must still judge it.
Course Hostile(int which) {
    Course course = Oval();
    const auto every = [&](auto change) {
        for (std::size_t i = 0; i < course.PointsInUse(); ++i) {
            change(course.points[i], course.bank[i], i);
        }
    };
    switch (which) {
        case 0:  // every point at one place
            every([](ControlPoint& p, std::int16_t&, std::size_t) { p.x = p.z = 0; });
            break;
        case 1:  // a world a million times too large
            every([](ControlPoint& p, std::int16_t&, std::size_t) {
                p.x *= 1e6f;
                p.z *= 1e6f;
            });
            break;
        case 2:  // the largest coordinates a float holds
            every([](ControlPoint& p, std::int16_t&, std::size_t) {
                p.x = std::copysign(3.4e38f, p.x + 0.5f);
                p.z = std::copysign(3.4e38f, p.z + 0.5f);
            });
            break;
        case 3:  // one coordinate infinite
            course.points[3].x = std::numeric_limits<float>::infinity();
            break;
        case 4:  // banks at both ends of their range, in turn
            every([](ControlPoint&, std::int16_t& bank, std::size_t i) {
                bank = i % 2 ? 32767 : -32768;
            });
            break;
        case 5:  // the oval squeezed to 1/100, wide roads with a little bank each way
            every([](ControlPoint& p, std::int16_t& bank, std::size_t i) {
                p.x = std::round(p.x / 100) + 0.0f;
                p.z = std::round(p.z / 100) + 0.0f;
                p.left = p.right = 1000;
                bank = i % 2 ? 2 : -2;
            });
            break;
        case 6:  // 64 points round the whole world
            course = Circle(64, 14500);
            break;
        case 7:  // 64 points a few units apart
            course = Circle(64, 40);
            break;
        case 8:  // every point far out, where a unit in the last place is a few thousandths
            every([](ControlPoint& p, std::int16_t&, std::size_t i) {
                p.x = 2.2e10f * (1 + 1e-7f * float(i));
                p.z = -2.2e10f;
            });
            break;
    }
    return course;
}

// Every sentence's bytes, one after another, as a 64-bit FNV-1a digest.
std::uint64_t Digest(const std::vector<std::string>& problems) {
    std::uint64_t h = 14695981039346656037ull;
    for (const std::string& problem : problems) {
        for (const char ch : problem + "\n") {
            h = (h ^ static_cast<unsigned char>(ch)) * 1099511628211ull;
        }
    }
    return h;
}

// The problems, slices and digest of every sentence are what the validator gave before it
// bounded its work; that work stays within ten times the oval's.
TEST(CourseValidator, HostileCoursesKeepTheirVerdictsAtBoundedWork) {
    struct Case {
        int which;
        std::size_t problems;
        int slices;
        std::uint64_t digest;
    };
    const std::array<Case, 9> cases = {{
        {0, 97, 1, 0xD408B7D81F555101ull},
        {1, 69, 0, 0x4E4FEE4767E1D9E1ull},
        {2, 145, 0, 0x96C9CC6228CD443Bull},
        {3, 1, 0, 0x2053DA8DD5244D9Cull},
        {4, 0, 34, 0xCBF29CE484222325ull},
        {5, 69, 38, 0xFD03D8D03921BB65ull},
        {6, 0, 61, 0xCBF29CE484222325ull},
        {7, 305, 8, 0x5F148D6AAE0E0A25ull},
        {8, 82, 70, 0x5ED57D38D901CE22ull},
    }};
    const std::size_t valid = JudgeCourse(Oval()).work;
    for (const Case& c : cases) {
        Course course = Hostile(c.which);
        course.checksum = CourseChecksum(course);
        const CourseJudgement judged = JudgeCourse(course);
        EXPECT_EQ(judged.problems, ValidateCourse(course)) << c.which;
        EXPECT_EQ(judged.problems.size(), c.problems) << c.which << Joined(judged.problems);
        EXPECT_EQ(judged.figures.slices, c.slices) << c.which;
        EXPECT_EQ(Digest(judged.problems), c.digest) << c.which << Joined(judged.problems);
        EXPECT_LE(judged.work, 10 * valid) << c.which;
    }
}

// Every ask of the slice walk measured in full, sample by sample, with no carried bounds.
int SlicesAskedInFull(const Course& course) {
    const std::size_t n = course.PointsInUse();
    std::size_t total = 1;
    std::vector<int> samples;
    for (std::size_t i = 0; i < n; ++i) {
        const double wanted = std::ceil(SegmentLength(course, i) / 10);
        samples.push_back(wanted >= 4 ? int(std::min(wanted, 2000.0)) : 4);
        total += std::size_t(samples.back());
    }
    EdgeRows rows(total);
    std::vector<double> distance;
    for (std::size_t i = 0; i < n; ++i) {
        const SegmentSampler sampler(course, i);
        const std::size_t from = rows.Size();
        sampler.EdgesAlong(i == 0 ? 0 : 1, samples[i], rows);
        Vec3 previous = sampler.Spline().ExactPosition(0);
        for (std::size_t k = from; k < rows.Size(); ++k) {
            const Vec3 centre{rows.Centre(0)[k], rows.Centre(1)[k], rows.Centre(2)[k]};
            distance.push_back(
                (distance.empty() ? 0 : distance.back() + (centre - previous).Length()));
            previous = centre;
        }
    }
    const auto strays = [&](const double* const* edge, std::size_t from, std::size_t to) {
        const auto at = [&](std::size_t k) { return Vec3{edge[0][k], edge[1][k], edge[2][k]}; };
        const Vec3 along = at(to) - at(from);
        const double squared = along.Dot(along);
        for (std::size_t x = from + 1; x < to; ++x) {
            const Vec3 q = at(x) - at(from);
            const Vec3 off = q.Cross(along);
            if (squared > 0 ? off.Dot(off) > 400 * squared : q.Dot(q) > 400) {
                return true;
            }
        }
        return false;
    };
    const double* left[3] = {rows.Left(0), rows.Left(1), rows.Left(2)};
    const double* right[3] = {rows.Right(0), rows.Right(1), rows.Right(2)};
    int slices = 1;
    std::size_t start = 0;
    for (std::size_t at = 1; at < rows.Size(); ++at) {
        if (distance[at] - distance[start] > 2000 || strays(left, start, at) ||
            strays(right, start, at)) {
            ++slices;
            start = at - 1;
        }
    }
    return slices;
}

TEST(CourseValidator, SlicesCountAsIfEveryAskMeasuredEverySample) {
    Course squeezed = Hostile(5);
    Course banked = Hostile(4);
    Course wiggle = Circle(24, 3000);
    for (std::size_t i = 0; i < wiggle.PointsInUse(); ++i) {
        wiggle.points[i].y = float(i % 3) * 150;
        wiggle.bank[i] = std::int16_t(i % 2 ? 40 : -25);
    }
    const std::array<std::pair<const char*, Course>, 7> cases = {{
        {"oval", Oval()},
        {"hairpins", Hairpins(200)},
        {"folding hairpins", Hairpins(600)},
        {"small circle", Circle(64, 900)},
        {"banked", banked},
        {"squeezed", squeezed},
        {"hilly zigzag", wiggle},
    }};
    for (const auto& [name, course] : cases) {
        EXPECT_EQ(MeasureCourse(course).slices, SlicesAskedInFull(course)) << name;
    }
}

TEST(CourseGeometry, RowsOfSamplesKeepTheBitsOfOneSampleAtATime) {
    Course course = Hairpins(300);
    course.bank[7] = 45;
    course.points[7].y = 400;
    for (const std::size_t segment : {0u, 6u, 7u, 8u}) {
        const SegmentSampler sampler(course, segment);
        SampleChunk chunk;
        sampler.QuickSamplesAlong(64, chunk);
        ASSERT_EQ(chunk.size, 65u);
        for (std::size_t k = 0; k <= 64; ++k) {
            const RoadSample one = sampler.Sample(double(k) / 64);
            const Vec3 centre{chunk.centre[0][k], chunk.centre[1][k], chunk.centre[2][k]};
            const Vec3 forward{chunk.forward[0][k], chunk.forward[1][k], chunk.forward[2][k]};
            const Vec3 right{chunk.right[0][k], chunk.right[1][k], chunk.right[2][k]};
            for (const auto& [a, b] :
                 {std::pair{centre, one.centre}, {forward, one.forward}, {right, one.right}}) {
                EXPECT_EQ(a.x, b.x) << segment << " " << k;
                EXPECT_EQ(a.y, b.y) << segment << " " << k;
                EXPECT_EQ(a.z, b.z) << segment << " " << k;
            }
            EXPECT_EQ(chunk.leftRadius[k], one.leftRadius);
            EXPECT_EQ(chunk.rightRadius[k], one.rightRadius);
        }
        EdgeRows rows(201);
        sampler.EdgesAlong(1, 200, rows);
        ASSERT_EQ(rows.Size(), 200u);
        for (std::size_t k = 0; k < rows.Size(); ++k) {
            const RoadSample one = sampler.Sample(double(k + 1) / 200);
            const Vec3 left = one.centre - one.right * (one.leftRadius + kEdgeBeyondRadius);
            const Vec3 right = one.centre + one.right * (one.rightRadius + kEdgeBeyondRadius);
            for (const auto& [row, v] : {std::pair{&EdgeRows::Centre, one.centre},
                                         {&EdgeRows::Left, left},
                                         {&EdgeRows::Right, right}}) {
                EXPECT_EQ((rows.*row)(0)[k], v.x) << segment << " " << k;
                EXPECT_EQ((rows.*row)(1)[k], v.y) << segment << " " << k;
                EXPECT_EQ((rows.*row)(2)[k], v.z) << segment << " " << k;
            }
        }
        // The rows hold what they were made for and refuse the rest.
        EXPECT_THROW(sampler.EdgesAlong(0, 1, rows), std::length_error);
        // The length, which sentences quote, as chords between exact positions.
        double length = 0;
        for (int k = 0; k < kChordsPerSegment; ++k) {
            length += (sampler.Spline().ExactPosition(double(k + 1) / kChordsPerSegment) -
                       sampler.Spline().ExactPosition(double(k) / kChordsPerSegment))
                          .Length();
        }
        EXPECT_EQ(SegmentLength(sampler.Spline()), length) << segment;
    }
}

// ---- features ----

TEST(CourseValidator, FeaturesStayOffShapesThatCannotHoldThem) {
    Course course = LongSegmentCourse(1150);
    SetShape(course, 2, Shape::Pipe);
    course.Feat(Feature::Dirt, 2) = 1;
    EXPECT_TRUE(Names(Problems(course), {"segment 2", "dirt zone", "cannot lie on a pipe"}));
    for (const Feature f : {Feature::Pit, Feature::Ice, Feature::Jump, Feature::Mine}) {
        Course air = Oval();
        SetShape(air, 4, Shape::Air);
        air.Feat(f, 4) = 1;
        EXPECT_TRUE(Names(Problems(air), {"segment 4", "cannot lie on an air gap"}))
            << FeatureName(f);
    }
    // A dash plate rides in a pipe, not over a gap.
    course.Feat(Feature::Dirt, 2) = kFeatureNone;
    course.Feat(Feature::Dash, 2) = 0;
    EXPECT_TRUE(Valid(course));
    course = Oval();
    SetShape(course, 4, Shape::Air);
    EXPECT_TRUE(Valid(course));
    course.Feat(Feature::Dash, 4) = 0;
    EXPECT_TRUE(Names(Problems(course), {"segment 4", "dash plate", "air gap"}));

    // Gates and signs: on roads and borderless roads, and on air right after one of them.
    course = Oval();
    SetShape(course, 4, Shape::Walled);
    course.Feat(Feature::Gate, 4) = 0;
    EXPECT_TRUE(Names(Problems(course), {"segment 4", "gate", "walled road"}));
    course = Oval();
    SetShape(course, 4, Shape::Borderless);
    course.Feat(Feature::Gate, 4) = 2;
    course.Feat(Feature::Building, 4) = 5;
    EXPECT_TRUE(Valid(course));
    course = Oval();
    SetShape(course, 4, Shape::Air);
    course.Feat(Feature::Sign, 4) = 4;
    EXPECT_TRUE(Valid(course));
    course = Oval();
    SetShape(course, 4, Shape::Walled);
    SetShape(course, 5, Shape::Air);
    course.Feat(Feature::Sign, 5) = 4;
    EXPECT_TRUE(Names(Problems(course), {"segment 5", "sign", "air gap"}));
    course.Feat(Feature::Building, 5) = 0;  // buildings stand anywhere
    EXPECT_TRUE(Silent(Problems(course), "building"));
}

TEST(CourseValidator, FeatureCountsHaveLimits) {
    struct Limit {
        Feature feature;
        int most;
        const char* words;
    };
    for (const Limit& limit : {Limit{Feature::Jump, 4, "jump plate segments"},
                               Limit{Feature::Mine, 8, "mine field segments"},
                               Limit{Feature::Dash, 32, "dash plate segments"}}) {
        Course course = Circle(64, 6000);
        for (int i = 2; i < 2 + limit.most; ++i) {
            course.Feat(limit.feature, std::size_t(i)) = 0;
        }
        EXPECT_TRUE(Valid(course)) << limit.words;
        course.Feat(limit.feature, std::size_t(2 + limit.most)) = 0;
        EXPECT_TRUE(Names(Problems(course), {std::to_string(limit.most + 1), limit.words}));
    }
    // Gates, buildings and signs count together.
    Course course = Circle(64, 6000);
    for (std::size_t i = 2; i < 18; ++i) {
        const Feature f = i % 3 == 0   ? Feature::Gate
                          : i % 3 == 1 ? Feature::Building
                                       : Feature::Sign;
        course.Feat(f, i) = 0;
    }
    EXPECT_TRUE(Valid(course));
    course.Feat(Feature::Building, 3) = 1;  // the same segment counts for each kind on it
    EXPECT_TRUE(Names(Problems(course), {"17 segments with gates, buildings or signs", "16"}));
}

TEST(CourseValidator, ZonesDoNotShareALane) {
    Course course = Oval();
    course.Feat(Feature::Pit, 5) = 0;  // both sides: left and right
    course.Feat(Feature::Dirt, 5) = 1;
    EXPECT_TRUE(Names(Problems(course), {"segment 5", "dirt zone", "left lane", "refill zone"}));
    course.Feat(Feature::Dirt, 5) = 3;  // the middle is free
    EXPECT_TRUE(Valid(course));
    course.Feat(Feature::Dash, 5) = 0;  // a middle dash plate on the middle dirt
    EXPECT_TRUE(Names(Problems(course), {"segment 5", "middle lane"}));

    course = Oval();
    course.Feat(Feature::Pit, 5) = 1;
    course.Feat(Feature::Dash, 5) = 0;
    course.Feat(Feature::Ice, 5) = 2;
    EXPECT_TRUE(Valid(course));
    course.Feat(Feature::Ice, 5) = 0;
    EXPECT_TRUE(Names(Problems(course), {"segment 5", "ice zone", "left lane"}));
    // Jump plates and mines lie in any lane.
    course = Oval();
    course.Feat(Feature::Pit, 5) = 0;
    course.Feat(Feature::Jump, 5) = 0;
    course.Feat(Feature::Mine, 5) = 1;
    EXPECT_TRUE(Valid(course));
}

TEST(CourseFeatures, LanesFollowEachFeaturesValues) {
    struct Case {
        Feature feature;
        int value;
        int lanes;
    };
    const Case cases[] = {
        {Feature::Pit, 0, kLaneLeft | kLaneRight},
        {Feature::Pit, 1, kLaneLeft},
        {Feature::Pit, 2, kLaneRight},
        {Feature::Pit, 3, kLaneMiddle},
        {Feature::Dirt, 0, kLaneLeft | kLaneRight},
        {Feature::Ice, 3, kLaneMiddle},
        {Feature::Dash, 0, kLaneMiddle},
        {Feature::Dash, 1, kLaneLeft},
        {Feature::Dash, 2, kLaneRight},
        {Feature::Mine, 0, kLaneMiddle},
        {Feature::Mine, 2, kLaneRight},
        {Feature::Dash, 3, 0},
        {Feature::Ice, 4, 0},
        {Feature::Pit, -1, 0},
        {Feature::Jump, 1, 0},
        {Feature::Gate, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(FeatureName(c.feature)) + " " + std::to_string(c.value));
        EXPECT_EQ(FeatureLanes(c.feature, c.value), c.lanes);
    }
}

// Each shape's name, info word, styles and transition belong to that shape and no other.
TEST(CourseShapes, EachShapesFiguresAreItsOwn) {
    struct Case {
        Shape shape;
        const char* name;
        int maxStyle;
        double transition;
    };
    const Case cases[] = {
        {Shape::Road, "road", 6, 0},
        {Shape::Walled, "walled", 2, 50},
        {Shape::Pipe, "pipe", 3, 1000},
        {Shape::Cylinder, "cylinder", 3, 1000},
        {Shape::HalfPipe, "half-pipe", 3, 1000},
        {Shape::Tunnel, "tunnel", 3, 250},
        {Shape::Air, "air", 63, 0},
        {Shape::Borderless, "borderless", 2, 50},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ShapeName(c.shape), c.name);
        EXPECT_EQ(ShapeFromName(c.name), c.shape);
        EXPECT_EQ(InfoShape(EditorInfoWord(c.shape)), c.shape);
        EXPECT_EQ(MaxStyle(c.shape), c.maxStyle);
        EXPECT_EQ(TransitionLength(c.shape), c.transition);
    }
    EXPECT_EQ(ShapeFromName("walled road"), std::nullopt);
}

TEST(CourseValidator, FeatureValuesAreOnesTheGameHas) {
    Course course = Oval();
    course.Feat(Feature::Pit, 5) = 2;
    EXPECT_TRUE(Valid(course));
    course.Feat(Feature::Pit, 5) = 3;
    EXPECT_TRUE(Names(Problems(course), {"segment 5", "refill zone value 3", "ignored"}));
    course = Oval();
    course.Feat(Feature::Dirt, 5) = 3;
    EXPECT_TRUE(Valid(course));
    course.Feat(Feature::Dirt, 5) = 4;
    EXPECT_TRUE(Names(Problems(course), {"segment 5", "dirt zone value 4"}));
    course = Oval();
    course.Feat(Feature::Building, 5) = 14;
    course.Feat(Feature::Sign, 6) = 4;
    EXPECT_TRUE(Valid(course));
    course.Feat(Feature::Building, 5) = 15;
    course.Feat(Feature::Sign, 6) = 5;
    course.Feat(Feature::Gate, 7) = -2;
    const auto problems = Problems(course);
    EXPECT_TRUE(Names(problems, {"segment 5", "building value 15"}));
    EXPECT_TRUE(Names(problems, {"segment 6", "sign value 5"}));
    EXPECT_TRUE(Names(problems, {"segment 7", "gate value -2"}));
}

}  // namespace
}  // namespace tflux
