#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <numbers>
#include <string>
#include <utility>
#include <vector>

#include "payload/course.h"
#include "payload/course_geometry.h"
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
    // Leaving the half circle, the spline swings 13 units beyond the straight at z = 1,500:
    // the midpoints of segments 12 and 17 must stay inside too.
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

}  // namespace
}  // namespace tflux
