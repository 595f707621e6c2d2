#include "course/course.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <numbers>
#include <optional>

#include "course/course_geometry.h"
#include "rom/byteorder.h"
#include "rom/errors.h"
#include "rom/text.h"

namespace tflux {

namespace {

// Block layout (0-based offsets).
constexpr std::size_t kCreatorAt = 0x000;
constexpr std::size_t kCountAt = 0x001;
constexpr std::size_t kVenueAt = 0x002;
constexpr std::size_t kSkyboxAt = 0x003;
constexpr std::size_t kChecksumAt = 0x004;
constexpr std::size_t kFlagAt = 0x008;
constexpr std::size_t kFileNameAt = 0x009;
constexpr std::size_t kMusicAt = 0x01F;
constexpr std::size_t kPointsAt = 0x020;
static_assert(kMusicAt + 1 == kPointsAt, "the points follow the header's last byte");
constexpr std::size_t kPointSize = 20;
constexpr std::size_t kBankAt = 0x520;
constexpr std::size_t kFeaturesAt = 0x5A0;
static_assert(kFeaturesAt + kFeatureCount * kCourseMaxPoints == kTrackBlockSize);
static_assert(kPointsAt + kPointSize * kCourseMaxPoints == kBankAt);

float GetFloat(std::span<const std::uint8_t> block, std::size_t offset) {
    return std::bit_cast<float>(GetBE32(block, offset + 1));
}

void PutFloat(std::span<std::uint8_t> block, float value, std::size_t offset) {
    PutBE32(block, std::bit_cast<std::uint32_t>(value), offset + 1);
}

std::int16_t GetS16(std::span<const std::uint8_t> block, std::size_t offset) {
    return static_cast<std::int16_t>(GetBE16(block, offset + 1));
}

void PutS16(std::span<std::uint8_t> block, std::int16_t value, std::size_t offset) {
    PutBE16(block, static_cast<std::uint16_t>(value), offset + 1);
}

}  // namespace

std::size_t Course::PointsInUse() const {
    return static_cast<std::size_t>(std::clamp<int>(count, 0, int(kCourseMaxPoints)));
}

Course DecodeCourse(std::span<const std::uint8_t> block) {
    if (block.size() != kTrackBlockSize) {
        throw EngineError("a course block is " + std::to_string(kTrackBlockSize) +
                          " bytes; this one has " + Thousands(block.size()));
    }
    Course course;
    course.creator = block[kCreatorAt];
    course.count = static_cast<std::int8_t>(block[kCountAt]);
    course.venue = static_cast<std::int8_t>(block[kVenueAt]);
    course.skybox = static_cast<std::int8_t>(block[kSkyboxAt]);
    course.checksum = GetBE32(block, kChecksumAt + 1);
    course.flag = block[kFlagAt];
    std::copy_n(block.begin() + kFileNameAt, kCourseFileNameSize, course.fileName.begin());
    course.music = static_cast<std::int8_t>(block[kMusicAt]);
    for (std::size_t i = 0; i < kCourseMaxPoints; ++i) {
        const std::size_t at = kPointsAt + kPointSize * i;
        ControlPoint& p = course.points[i];
        p.x = GetFloat(block, at);
        p.y = GetFloat(block, at + 4);
        p.z = GetFloat(block, at + 8);
        p.left = GetS16(block, at + 12);
        p.right = GetS16(block, at + 14);
        p.info = GetBE32(block, at + 16 + 1);
        course.bank[i] = GetS16(block, kBankAt + 2 * i);
    }
    for (std::size_t f = 0; f < kFeatureCount; ++f) {
        for (std::size_t i = 0; i < kCourseMaxPoints; ++i) {
            course.features[f][i] =
                static_cast<std::int8_t>(block[kFeaturesAt + kCourseMaxPoints * f + i]);
        }
    }
    return course;
}

std::array<std::uint8_t, kTrackBlockSize> EncodeCourse(const Course& course) {
    std::array<std::uint8_t, kTrackBlockSize> block{};
    block[kCreatorAt] = course.creator;
    block[kCountAt] = static_cast<std::uint8_t>(course.count);
    block[kVenueAt] = static_cast<std::uint8_t>(course.venue);
    block[kSkyboxAt] = static_cast<std::uint8_t>(course.skybox);
    PutBE32(block, course.checksum, kChecksumAt + 1);
    block[kFlagAt] = course.flag;
    std::copy(course.fileName.begin(), course.fileName.end(), block.begin() + kFileNameAt);
    block[kMusicAt] = static_cast<std::uint8_t>(course.music);
    for (std::size_t i = 0; i < kCourseMaxPoints; ++i) {
        const std::size_t at = kPointsAt + kPointSize * i;
        const ControlPoint& p = course.points[i];
        PutFloat(block, p.x, at);
        PutFloat(block, p.y, at + 4);
        PutFloat(block, p.z, at + 8);
        PutS16(block, p.left, at + 12);
        PutS16(block, p.right, at + 14);
        PutBE32(block, p.info, at + 16 + 1);
        PutS16(block, course.bank[i], kBankAt + 2 * i);
    }
    for (std::size_t f = 0; f < kFeatureCount; ++f) {
        for (std::size_t i = 0; i < kCourseMaxPoints; ++i) {
            block[kFeaturesAt + kCourseMaxPoints * f + i] =
                static_cast<std::uint8_t>(course.features[f][i]);
        }
    }
    return block;
}

namespace {

// The console's conversion: toward zero, and its fixed answer for what does not fit.
std::uint32_t TruncateToInt32(float f) {
    if (!(f > -2147483648.0f && f < 2147483648.0f)) {
        return 0x7FFFFFFFu;
    }
    return static_cast<std::uint32_t>(static_cast<std::int32_t>(f));
}

constexpr std::array<std::uint32_t, kFeatureCount> kFeatureWeights = {
    0, 16, 128, 256, 2048, 4096, 32768, 65536, 524288};

}  // namespace

std::uint32_t CourseChecksum(const Course& course) {
    // Single precision throughout, one rounding per operation in the game's order; this
    // file is built without contraction into fused multiply-adds.
    const std::size_t n = course.PointsInUse();
    std::uint32_t acc = static_cast<std::uint32_t>(static_cast<std::int32_t>(course.count));
    for (std::size_t i = 0; i < n; ++i) {
        const ControlPoint& p = course.points[i];
        const auto fi = static_cast<float>(i);
        const float a = 1.1f + 0.7f * fi;
        const float b = 2.2f + 1.2f * fi;
        const float c = 4.4f + 0.9f * fi;
        const float d = 5.5f + 0.8f * fi;
        float f = p.x + a * p.y;
        const float bz = b * p.z;
        f = f + bz * c;
        f = f + static_cast<float>(p.left);
        const float dr = d * static_cast<float>(p.right);
        f = f + dr * 4.8f;
        acc += TruncateToInt32(f);
        const std::uint32_t t = p.info & ~kInfoLoadTimeMask;
        acc += t * static_cast<std::uint32_t>(254 - i);
        acc += static_cast<std::uint32_t>(static_cast<std::int32_t>(course.bank[i])) *
               static_cast<std::uint32_t>(37854 - 2 * i);
    }
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t f = 0; f < kFeatureCount; ++f) {
            acc += static_cast<std::uint32_t>(static_cast<std::int32_t>(course.features[f][i])) *
                   static_cast<std::uint32_t>(i + kFeatureWeights[f]);
        }
    }
    return acc;
}

// ---- shapes and names ----

namespace {

struct ShapeTraits {
    std::string_view name;         // as a pack source spells it
    std::string_view description;  // as a sentence names it
    std::uint32_t editorWord;      // the segment info the game's editor writes, style 0
    int maxStyle;
    double transition;  // onto a joinable neighbour; 0 for the joinable shapes themselves
};

// Indexed by Shape.
constexpr std::array<ShapeTraits, kShapeCount> kShapes = {{
    {"road", "road", 0x18000000, 6, 0},
    {"walled", "walled road", 0x08000040, 2, 50},
    {"pipe", "pipe", 0x20000080, 3, 1000},
    {"cylinder", "cylinder", 0x000000C0, 3, 1000},
    {"half-pipe", "half-pipe", 0x00000100, 3, 1000},
    {"tunnel", "tunnel", 0x28000140, 3, 250},
    {"air", "air gap", 0x100001BF, int(kAirStyle), 0},
    {"borderless", "borderless road", 0x080001C0, 2, 50},
}};

const ShapeTraits& Traits(Shape shape) {
    return kShapes[static_cast<std::size_t>(shape) % kShapeCount];
}

}  // namespace

std::uint32_t EditorInfoWord(Shape shape) {
    return Traits(shape).editorWord;
}

Shape InfoShape(std::uint32_t info) {
    return static_cast<Shape>((info & kInfoShapeMask) >> kInfoShapeShift);
}

std::uint32_t InfoStyle(std::uint32_t info) {
    return info & kInfoStyleMask;
}

int MaxStyle(Shape shape) {
    return Traits(shape).maxStyle;
}

bool IsJoinable(Shape shape) {
    return shape == Shape::Road || shape == Shape::Air;
}

double TransitionLength(Shape shape) {
    return Traits(shape).transition;
}

namespace {

constexpr std::array<std::string_view, kFeatureCount> kFeatureNames = {
    "pit", "dash", "dirt", "ice", "jump", "mine", "gate", "building", "sign"};
constexpr std::array<std::string_view, 11> kVenueNames = {
    "city",          "harbour-town", "ocean",   "desert",      "forest", "snowfield",
    "space-station", "canyon",       "volcano", "quiet-plain", "ending"};
constexpr std::array<std::string_view, kCourseSkyboxes> kSkyboxNames = {
    "purple", "turquoise", "desert", "blue", "night", "orange", "sunset", "sky-blue"};

// What a person calls each feature in a sentence.
constexpr std::array<std::string_view, kFeatureCount> kFeatureWords = {
    "refill zone", "dash plate", "dirt zone", "ice zone", "jump plate",
    "mine field",  "gate",       "building",  "sign"};

constexpr std::array<std::string_view, 4> kZoneValues = {"both", "left", "right", "middle"};
constexpr std::array<std::string_view, 3> kDashValues = {"middle", "left", "right"};
constexpr std::array<std::string_view, 3> kJumpValues = {"full", "left", "right"};
constexpr std::array<std::string_view, 3> kGateValues = {"square", "start", "hexagonal"};
constexpr std::array<std::string_view, 15> kBuildingValues = {
    "tall-both",     "tall-left",      "tall-right", "short-both",  "short-left",
    "short-right",   "spire-both",     "spire-left", "spire-right", "mountain-both",
    "mountain-left", "mountain-right", "gold-both",  "gold-left",   "gold-right"};
constexpr std::array<std::string_view, 5> kSignValues = {"pair-1", "pair-2", "pair-3", "pair-4",
                                                         "banner"};

std::span<const std::string_view> FeatureValues(Feature feature) {
    switch (feature) {
        case Feature::Pit:
        case Feature::Dirt:
        case Feature::Ice:
            return kZoneValues;
        case Feature::Dash:
        case Feature::Mine:
            return kDashValues;
        case Feature::Jump:
            return kJumpValues;
        case Feature::Gate:
            return kGateValues;
        case Feature::Building:
            return kBuildingValues;
        case Feature::Sign:
            return kSignValues;
    }
    return {};
}

std::optional<int> IndexOf(std::span<const std::string_view> names, std::string_view name) {
    const auto at = std::find(names.begin(), names.end(), name);
    return at == names.end() ? std::nullopt : std::optional(int(at - names.begin()));
}

}  // namespace

std::string_view ShapeName(Shape shape) {
    return Traits(shape).name;
}

std::string_view ShapeDescription(Shape shape) {
    return Traits(shape).description;
}

std::string_view FeatureName(Feature feature) {
    return kFeatureNames[static_cast<std::size_t>(feature)];
}

std::string_view VenueName(int venue) {
    return venue >= 0 && venue < int(kVenueNames.size()) ? kVenueNames[std::size_t(venue)] : "";
}

std::string_view SkyboxName(int skybox) {
    return skybox >= 0 && skybox < kCourseSkyboxes ? kSkyboxNames[std::size_t(skybox)] : "";
}

std::string_view FeatureValueName(Feature feature, int value) {
    const auto values = FeatureValues(feature);
    return value >= 0 && value < int(values.size()) ? values[std::size_t(value)] : "";
}

std::optional<int> FeatureValueFromName(Feature feature, std::string_view name) {
    return IndexOf(FeatureValues(feature), name);
}

std::optional<Shape> ShapeFromName(std::string_view name) {
    for (std::size_t i = 0; i < kShapeCount; ++i) {
        if (kShapes[i].name == name) {
            return static_cast<Shape>(i);
        }
    }
    return std::nullopt;
}

std::optional<int> VenueFromName(std::string_view name) {
    // The ending scenery is not for races.
    return IndexOf(std::span(kVenueNames).first(std::size_t(kCourseVenues)), name);
}

std::optional<int> SkyboxFromName(std::string_view name) {
    return IndexOf(kSkyboxNames, name);
}

int FeatureLanes(Feature feature, int value) {
    constexpr std::array<int, 4> kZone = {kLaneLeft | kLaneRight, kLaneLeft, kLaneRight,
                                          kLaneMiddle};
    constexpr std::array<int, 3> kCentred = {kLaneMiddle, kLaneLeft, kLaneRight};
    const auto pick = [value](std::span<const int> lanes) {
        return value >= 0 && value < int(lanes.size()) ? lanes[std::size_t(value)] : 0;
    };
    switch (feature) {
        case Feature::Pit:
        case Feature::Dirt:
        case Feature::Ice:
            return pick(kZone);
        case Feature::Dash:
        case Feature::Mine:
            return pick(kCentred);
        default:
            return 0;
    }
}

// ---- validation ----

namespace {

// The limits of a valid course; the sentences that state a limit take it from here.
struct Rules {
    // Positions: |x| and |z| within maxHorizontal, y within minHeight to maxHeight.
    double maxHorizontal = 15000;
    double minHeight = -250;
    double maxHeight = 5000;
    double minMidpointHeight = -375;  // a segment's midpoint lies above it

    // Radii, each at least minRadius, the two together at most maxRadiusSum.
    double minRadius = 50;
    double maxRadiusSum = 2000;

    // Consecutive points, their edge points and the turn between chords.
    double minPointDistance = 92.2;
    double minEdgeDistance = 150;
    double minChordDot = -0.997;

    // The road as a whole.
    double minLength = 3000;
    double maxLength = 250000;
    double transitionSpare = 100;  // what a non-joinable segment keeps beyond its transitions
    int maxSlices = 766;

    // How the game cuts the road into slices.
    double sliceStray = 20;
    double sliceMaxLength = 2000;

    // Segments that may carry each kind of feature.
    int maxJumps = 4;
    int maxMines = 8;
    int maxDashes = 32;
    int maxScenery = 16;  // gates, buildings and signs together
};
constexpr Rules kRules;

// Slices are looked for at samples this far apart at most along the road.
constexpr double kSliceSampleStep = 10;
constexpr int kFoldSamples = 64;
// The asks an edge of the slice count takes before the other edge takes the same ones.
constexpr std::size_t kFirstRun = 8;
constexpr std::size_t kMostRun = 64;

std::string Fixed(double value, int decimals = 1) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string Number(double value) {
    return std::fabs(value - std::round(value)) < 1e-9 ? Thousands(value) : Fixed(value);
}

std::string Hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string Segment(std::size_t i) {
    return "segment " + std::to_string(i);
}

std::string Point(std::size_t i) {
    return "point " + std::to_string(i);
}

std::string Article(std::string_view word) {
    const bool vowel = !word.empty() && std::string_view("aeiou").find(word[0]) != word.npos;
    return std::string(vowel ? "an " : "a ") + std::string(word);
}

std::string ShapeWords(Shape shape) {
    return std::string(ShapeDescription(shape));
}

std::string FeatureWords(Feature feature) {
    return std::string(kFeatureWords[static_cast<std::size_t>(feature)]);
}

std::string LaneWords(int lanes) {
    std::vector<std::string> words;
    for (const auto& [lane, word] : {std::pair{kLaneLeft, "left"}, std::pair{kLaneMiddle, "middle"},
                                     std::pair{kLaneRight, "right"}}) {
        if (lanes & lane) {
            words.emplace_back(word);
        }
    }
    std::string text;
    for (std::size_t i = 0; i < words.size(); ++i) {
        text += (i == 0 ? "" : " and ") + words[i];
    }
    return text + (words.size() > 1 ? " lanes" : " lane");
}

// The sharpest turn allowed between consecutive chords, in degrees.
double MaxTurnDegrees() {
    return std::acos(kRules.minChordDot) * 180.0 / std::numbers::pi;
}

const char* CoordinateProblem(float value) {
    if (std::isnan(value))
        return "is not a number";
    if (std::isinf(value))
        return "is infinite";
    if (value == 0 && std::signbit(value))
        return "is -0.0";
    if (value != 0 && !std::isnormal(value))
        return "is subnormal";
    return nullptr;
}

bool IsTube(Shape shape) {
    return shape == Shape::Pipe || shape == Shape::Cylinder || shape == Shape::HalfPipe;
}

// Pit, dirt and ice never lie on a tube or in the air, nor do jumps and mines.
bool IsGroundOnly(Feature feature) {
    return feature == Feature::Pit || feature == Feature::Dirt || feature == Feature::Ice ||
           feature == Feature::Jump || feature == Feature::Mine;
}

// Zones and dash plates keep to their own lanes within a segment.
bool KeepsItsLane(Feature feature) {
    return feature == Feature::Pit || feature == Feature::Dash || feature == Feature::Dirt ||
           feature == Feature::Ice;
}

// Gates and signs stand where the road is flat and open.
bool CarriesScenery(Shape shape) {
    return shape == Shape::Road || shape == Shape::Borderless;
}

struct Spacing {
    double centres = 0;
    double left = 0;  // between the edge points, side by side
    double right = 0;
};

// How far point i lies from the next point, and its edge points from the next point's.
Spacing SpacingAt(const RoadSample& fa, const RoadSample& fb) {
    return {
        (fb.centre - fa.centre).Length(),
        ((fb.centre - fb.right * fb.leftRadius) - (fa.centre - fa.right * fa.leftRadius)).Length(),
        ((fb.centre + fb.right * fb.rightRadius) - (fa.centre + fa.right * fa.rightRadius))
            .Length()};
}

// One edge of the road along the whole course, and the question the game asks of it as it cuts
// slices: whether a sample between two others lies more than the stray limit off the straight
// line through them. The game asks with the far end one sample further each time until a slice
// starts; between those asks the line turns about its start, which moves a sample off it by at
// most the sample's distance from the start times the change of the line's unit direction. So
// each sample keeps the turn, summed since the slice began, that it can take before it might
// come near the limit; while the summed turn stays below the least of those, no sample needs
// measuring, and past it only the samples whose own allowance ran out are measured again.
class EdgeStrays {
  public:
    // The samples are rows x, y and z, filled as the asks reach them, up to `samples`; no
    // sample of a slice lies further than `extent` from its start, give or take the rounding of
    // the samples themselves.
    EdgeStrays(const double* x, const double* y, const double* z, std::size_t samples, double limit,
               double extent)
        : x_(x),
          y_(y),
          z_(z),
          reach_(std::make_unique_for_overwrite<double[]>(samples)),
          limit_(limit),
          extent_(extent) {}

    // Starts a slice at sample `from`: the asks that follow end one sample further each time.
    void Begin(std::size_t from) {
        // The allowances are worked out from the samples' distances to the start, and round as
        // those do: far inside a hundred-millionth of the slice's extent, to which a sample far
        // from the origin adds the units in the last place of its coordinates.
        const double far =
            std::max({std::fabs(x_[from]), std::fabs(y_[from]), std::fabs(z_[from])});
        margin_ = limit_ - 1e-8 * (1 + extent_ + 0x1p-40 * far);
        from_ = from;
        to_ = from;
        lastLength_ = 0;
        readyFrom_ = readyEnd_ = 0;
        ready_ = kFirstLines;
    }

    // Whether a sample strictly between the slice's start and sample `to`, the sample after
    // the last ask's, lies more than the limit off the line through those two; samples below
    // `sampled` exist. Counts the asks and the samples measured into `work`.
    [[gnu::always_inline]] bool Strays(std::size_t to, std::size_t sampled, std::size_t& work) {
        if (to >= readyEnd_) {
            Lines(to, sampled);
        }
        const std::size_t i = to - readyFrom_;
        const double length = length_[i];
        const double lastLength = lastLength_;
        to_ = to;
        lastLength_ = length;
        if (!(length > 0 && lastLength > 0)) {
            turn_ = 0;
            ++work;
            return Measure<true>(At(to) - At(from_), length, work);
        }
        // The newest sample between ended the last ask's line: it lay on it, that line's
        // length from the start.
        const double joined = turn_ + margin_ / lastLength;
        reach_[to - 1] = joined;
        nearest_ = joined >= nearest_ ? nearest_ : joined;
        turn_ += turned_[i];
        ++work;
        if (turn_ <= nearest_) {
            return false;
        }
        return Measure<false>(At(to) - At(from_), length, work);
    }

    // The first ask from `at` on, before `stop`, whose sample strays, as if each were asked
    // with Strays in turn; `stop` when none does. The asks the summed turn leaves quiet run in
    // a tight loop that keeps the walk's state in registers.
    std::size_t FirstStray(std::size_t at, std::size_t stop, std::size_t sampled,
                           std::size_t& work) {
        while (at < stop) {
            if (at >= readyEnd_) {
                Lines(at, sampled);
            }
            const std::size_t end = std::min(stop, readyEnd_);
            // Each quiet ask's line becomes the next one's last line, so only the first ask can
            // meet a last line of no length.
            double turn = turn_, nearest = nearest_;
            const std::size_t first = at - readyFrom_;
            const double* lengths = length_ + first;
            const double* turned = turned_ + first;
            const double* gains = gain_ + first;
            double* reach = reach_.get() + at - 1;
            const std::size_t quiet = lastLength_ > 0 ? end - at : 0;
            double gain = quiet > 0 ? margin_ / lastLength_ : 0;
            std::size_t k = 0;
            for (; k < quiet; ++k) {
                const double joined = turn + gain;
                const double least = joined >= nearest ? nearest : joined;
                const double next = turn + turned[k];
                if (!(lengths[k] > 0) || !(next <= least)) {
                    break;
                }
                reach[k] = joined;
                nearest = least;
                turn = next;
                gain = gains[k];
            }
            const std::size_t to = at + k;
            turn_ = turn;
            nearest_ = nearest;
            lastLength_ = k > 0 ? lengths[k - 1] : lastLength_;
            work += to - at;
            if (to == end) {
                at = to;
            } else if (Strays(to, sampled, work)) {
                return to;
            } else {
                at = to + 1;
            }
        }
        return stop;
    }

  private:
    // How far sample x lies off the line, squared and times the line's length squared, and
    // from the start, squared: as the game measures it, with no division.
    struct Offset {
        double offSquared;
        double fromStartSquared;
    };
    Offset OffsetOf(std::size_t x, const Vec3& along, double length) const {
        const Vec3 q = At(x) - At(from_);
        const double fromStart = q.Dot(q);
        const Vec3 off = q.Cross(along);
        return {length > 0 ? off.Dot(off) : fromStart, fromStart};
    }
    bool Beyond(const Offset& o, double length) const {
        const double scale = length > 0 ? length * length : 1;
        return o.offSquared > limit_ * limit_ * scale;
    }
    // The summed turn at which sample x, measured now, might come near the limit. A value that
    // is not a number fails every comparison, and so has the sample measured at every ask.
    double ReachOf(const Offset& o, double length) const {
        const double off = length > 0 ? std::sqrt(o.offSquared) / length : 0;
        return turn_ + (margin_ - off) / std::sqrt(o.fromStartSquared);
    }

    // Measures the samples between again: all of them, or those whose reach the summed turn
    // has passed.
    template <bool kAll>
    [[gnu::noinline]] bool Measure(const Vec3& along, double length, std::size_t& work) {
        nearest_ = std::numeric_limits<double>::infinity();
        for (std::size_t x = from_ + 1; x < to_; ++x) {
            if (kAll || !(turn_ <= reach_[x])) {
                ++work;
                const Offset o = OffsetOf(x, along, length);
                if (Beyond(o, length)) {
                    return true;
                }
                reach_[x] = ReachOf(o, length);
            }
            nearest_ = reach_[x] >= nearest_ ? nearest_ : reach_[x];
        }
        return false;
    }

    // The lines from the start to samples `to` onwards, up to `sampled`, and how far each
    // one's unit direction lies from the one before's, worked out a row at a time; more at
    // each refill, since a slice that has run long tends to run on.
    [[gnu::noinline]] TFLUX_ROWS_OF_SAMPLES void Lines(std::size_t to, std::size_t sampled) {
        const std::size_t m = std::min(ready_, sampled - to);
        const double sx = x_[from_], sy = y_[from_], sz = z_[from_];
        double ux[kMostLines + 1], uy[kMostLines + 1], uz[kMostLines + 1];
        // The line before the first, when the last ask had one.
        ux[0] = unit_.x;
        uy[0] = unit_.y;
        uz[0] = unit_.z;
        for (std::size_t k = 0; k < m; ++k) {
            const double ax = x_[to + k] - sx, ay = y_[to + k] - sy, az = z_[to + k] - sz;
            const double length = std::sqrt(ax * ax + ay * ay + az * az);
            const double inverse = 1 / length;
            length_[k] = length;
            gain_[k] = margin_ / length;
            ux[k + 1] = ax * inverse;
            uy[k + 1] = ay * inverse;
            uz[k + 1] = az * inverse;
        }
        for (std::size_t k = 0; k < m; ++k) {
            const double dx = ux[k + 1] - ux[k], dy = uy[k + 1] - uy[k], dz = uz[k + 1] - uz[k];
            turned_[k] = std::sqrt(dx * dx + dy * dy + dz * dz);
        }
        unit_ = {ux[m], uy[m], uz[m]};
        readyFrom_ = to;
        readyEnd_ = to + m;
        ready_ = std::min(2 * ready_, kMostLines);
    }

    Vec3 At(std::size_t i) const { return {x_[i], y_[i], z_[i]}; }
    static constexpr std::size_t kFirstLines = 8;
    static constexpr std::size_t kMostLines = 64;
    const double* x_;
    const double* y_;
    const double* z_;
    // Left as it comes: each reach is written before it is read.
    std::unique_ptr<double[]> reach_;  // per sample between: the summed turn it may take
    double limit_;
    double extent_;
    double margin_ = 0;  // the limit less the rounding the slice's allowances may take
    // The last ask, the summed turn of its line since the slice began, and the least reach.
    std::size_t from_ = 0, to_ = 0;
    double lastLength_ = 0;
    double turn_ = 0;
    double nearest_ = 0;
    // The lines worked out ahead: to samples readyFrom_ .. readyEnd_, the last one's unit
    // direction, and how many to work out next.
    std::size_t readyFrom_ = 0, readyEnd_ = 0, ready_ = kFirstLines;
    double length_[kMostLines];
    double gain_[kMostLines];  // the margin over each length: the reach its end sample joins with
    double turned_[kMostLines];
    Vec3 unit_;
};

// The features' lanes taken so far in one segment, and the feature that took the last new one.
struct LaneUse {
    int taken = 0;
    Feature owner = Feature::Pit;
};

class Validator {
  public:
    explicit Validator(const Course& course) : c_(course), n_(course.PointsInUse()) {}

    std::vector<std::string> Run() {
        CheckHeader();
        if (!CountInRange()) {
            return std::move(problems_);
        }
        CheckUnusedEntries();
        for (std::size_t i = 0; i < n_; ++i) {
            CheckInfo(i);
            CheckPoint(i);
        }
        const bool finite = AllFinite();
        if (finite) {
            for (std::size_t i = 0; i < n_; ++i) {
                CheckSpacing(i);
                CheckTension(i);
                CheckMidpoint(i);
            }
        }
        Measure(finite);
        if (finite) {
            CheckLength();
            CheckShapes();
            CheckFolds();
            CheckSlices();
        }
        CheckFeatures();
        return std::move(problems_);
    }

    CourseFigures Figures() {
        if (n_ >= std::size_t(kCourseMinPoints)) {
            Measure(AllFinite());
        }
        return figures_;
    }

    // Run's problems; its figures are Figures' unless it stopped before measuring.
    CourseJudgement Judge() {
        CourseJudgement judgement;
        judgement.problems = Run();
        judgement.figures = CountInRange() ? figures_ : Figures();
        judgement.work = work_;
        return judgement;
    }

  private:
    void Add(std::string sentence) { problems_.push_back(std::move(sentence)); }

    Shape ShapeOf(std::size_t i) const { return InfoShape(c_.points[i % n_].info); }

    bool CountInRange() const {
        return c_.count >= kCourseMinPoints && c_.count <= int(kCourseMaxPoints);
    }

    void CheckHeader() {
        if (!CountInRange()) {
            Add("the course has " + std::to_string(c_.count) + " control points; a course has " +
                std::to_string(kCourseMinPoints) + " to " + std::to_string(kCourseMaxPoints));
        }
        if (c_.creator != kCourseCreator) {
            Add("creator is " + std::to_string(c_.creator) + "; the game's courses have " +
                std::to_string(kCourseCreator));
        }
        if (c_.venue < 0 || c_.venue >= kCourseVenues) {
            Add("venue " + std::to_string(c_.venue) + " is not a race venue (0 to " +
                std::to_string(kCourseVenues - 1) + ")");
        }
        if (c_.skybox < 0 || c_.skybox >= kCourseSkyboxes) {
            Add("skybox " + std::to_string(c_.skybox) + " is not a skybox (0 to " +
                std::to_string(kCourseSkyboxes - 1) + ")");
        }
        if (c_.music < 0 || c_.music > kCourseMaxMusic) {
            Add("music " + std::to_string(c_.music) + " is not one the game has (0 to " +
                std::to_string(kCourseMaxMusic) + ")");
        }
        const std::uint32_t computed = CourseChecksum(c_);
        if (computed != c_.checksum) {
            Add("the stored checksum " + Hex(c_.checksum) + " is not the course's checksum " +
                Hex(computed));
        }
    }

    void CheckUnusedEntries() {
        for (std::size_t i = n_; i < kCourseMaxPoints; ++i) {
            bool zero = c_.bank[i] == 0;
            const ControlPoint& p = c_.points[i];
            zero = zero && std::bit_cast<std::uint32_t>(p.x) == 0 &&
                   std::bit_cast<std::uint32_t>(p.y) == 0 &&
                   std::bit_cast<std::uint32_t>(p.z) == 0 && p.left == 0 && p.right == 0 &&
                   p.info == 0;
            for (std::size_t f = 0; f < kFeatureCount; ++f) {
                zero = zero && c_.features[f][i] == 0;
            }
            if (!zero) {
                Add("entry " + std::to_string(i) + ", beyond the " + std::to_string(n_) +
                    " points in use, is not all zero");
                return;
            }
        }
    }

    void CheckInfo(std::size_t i) {
        const std::uint32_t info = c_.points[i].info;
        const Shape shape = InfoShape(info);
        if (const std::uint32_t unused = info & kInfoUnusedMask; unused != 0) {
            Add(Segment(i) + ": segment info " + Hex(info) + " sets unused bits " + Hex(unused));
        }
        const std::uint32_t flags = info & kInfoFlagMask;
        if (flags != (EditorInfoWord(shape) & kInfoFlagMask)) {
            Add(Segment(i) + ": segment info " + Hex(info) + " has the flags " + Hex(flags) +
                ", not those of " + Article(ShapeWords(shape)) + " (" +
                Hex(EditorInfoWord(shape) & kInfoFlagMask) + ")");
        }
        const auto style = static_cast<int>(InfoStyle(info));
        if (shape == Shape::Air) {
            if (style != int(kAirStyle)) {
                Add(Segment(i) + ": an air gap has style " + std::to_string(kAirStyle) + ", not " +
                    std::to_string(style));
            }
        } else if (style > MaxStyle(shape)) {
            Add(Segment(i) + ": style " + std::to_string(style) + " is not " +
                Article(ShapeWords(shape)) + " style (0 to " + std::to_string(MaxStyle(shape)) +
                ")");
        }
        const bool startLine = shape == Shape::Road && style == 0;
        if (i == 0 && !startLine) {
            Add("segment 0 must be the start line (road, style 0), not " +
                Article(ShapeWords(shape)) + " of style " + std::to_string(style));
        } else if (i != 0 && startLine) {
            Add(Segment(i) + ": a second start line (road of style 0); only segment 0 is one");
        }
    }

    void CheckPoint(std::size_t i) {
        const ControlPoint& p = c_.points[i];
        const std::array<std::pair<const char*, float>, 3> axes = {
            {{"x", p.x}, {"y", p.y}, {"z", p.z}}};
        for (const auto& [axis, value] : axes) {
            if (const char* problem = CoordinateProblem(value)) {
                Add(Point(i) + ": " + axis + " " + problem);
            }
        }
        auto outside = [&](const char* axis, double value, double low, double high) {
            if (std::isfinite(value) && (value < low || value > high)) {
                Add(Point(i) + ": " + axis + " = " + Number(value) + " is outside " + Number(low) +
                    " to " + Number(high));
            }
        };
        outside("x", p.x, -kRules.maxHorizontal, kRules.maxHorizontal);
        outside("z", p.z, -kRules.maxHorizontal, kRules.maxHorizontal);
        outside("y", p.y, kRules.minHeight, kRules.maxHeight);
        CheckRadii(i);
    }

    void CheckRadii(std::size_t i) {
        const ControlPoint& p = c_.points[i];
        for (const auto& [side, radius] :
             {std::pair{"left", p.left}, std::pair{"right", p.right}}) {
            if (radius < kRules.minRadius) {
                Add(Point(i) + ": " + side + " radius " + std::to_string(radius) + " is below " +
                    Number(kRules.minRadius));
            }
        }
        if (int(p.left) + int(p.right) > kRules.maxRadiusSum) {
            Add(Point(i) + ": radii " + std::to_string(p.left) + " and " + std::to_string(p.right) +
                " add up to more than " + Number(kRules.maxRadiusSum));
        }
        const Shape shape = ShapeOf(i);
        if (IsTube(shape) && p.left != p.right) {
            Add(Segment(i) + ": " + Article(ShapeWords(shape)) +
                " has one radius all round, not left " + std::to_string(p.left) + " and right " +
                std::to_string(p.right));
        }
    }

    bool AllFinite() const {
        for (std::size_t i = 0; i < n_; ++i) {
            const ControlPoint& p = c_.points[i];
            if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) {
                return false;
            }
        }
        return true;
    }

    void CheckSpacing(std::size_t i) {
        const std::size_t j = (i + 1) % n_;
        const Vec3 a = CoursePoint(c_, long(i));
        const Vec3 b = CoursePoint(c_, long(j));
        const double distance = (b - a).Length();
        const std::string pair = std::to_string(i) + " and " + std::to_string(j);
        if (distance < kRules.minPointDistance) {
            Add(Segment(i) + ": points " + pair + " are " + Fixed(distance) +
                " apart; they must be at least " + Number(kRules.minPointDistance) + " apart");
        }
        const Spacing gaps = SpacingAt(FrameAt(i), FrameAt(j));
        for (const auto& [side, gap] :
             {std::pair{"left", gaps.left}, std::pair{"right", gaps.right}}) {
            if (gap < kRules.minEdgeDistance) {
                Add(Segment(i) + ": the " + side + " edge points of points " + pair + " are " +
                    Fixed(gap) + " apart; they must be at least " + Number(kRules.minEdgeDistance) +
                    " apart");
            }
        }
        CheckTurn(j);
    }

    // The turn at point j, between the chords that meet there.
    void CheckTurn(std::size_t j) {
        const Vec3 b = CoursePoint(c_, long(j));
        const Vec3 chord = b - CoursePoint(c_, long(j) - 1);
        const Vec3 next = CoursePoint(c_, long(j) + 1) - b;
        if (chord.Length() > 0 && next.Length() > 0) {
            const double dot = chord.Unit().Dot(next.Unit());
            if (dot < kRules.minChordDot) {
                const double degrees =
                    std::acos(std::clamp(dot, -1.0, 1.0)) * 180.0 / std::numbers::pi;
                Add(Point(j) + ": the road turns back by " + Fixed(degrees) +
                    " degrees; a turn must stay below " + Fixed(MaxTurnDegrees()));
            }
        }
    }

    void CheckTension(std::size_t i) {
        const TensionSolve& solve = SolveAt(i);
        if (!solve.rootsExist) {
            Add(Segment(i) + ": the spline's tension cannot be solved for these points");
        } else if (!solve.solved) {
            Add(Segment(i) + ": the spline's tension roots " + Fixed(solve.alpha1, 2) + " and " +
                Fixed(solve.alpha2, 2) + " are not both within " + Number(kMinTensionRoot) +
                " to " + Number(kMaxTensionRoot));
        }
    }

    void CheckMidpoint(std::size_t i) {
        const double s = SolveAt(i).tension;
        const Vec3 mid = SplinePosition(c_, i, s, 0.5);
        if (mid.y <= kRules.minMidpointHeight) {
            Add(Segment(i) + ": its midpoint lies at y = " + Number(std::round(mid.y)) +
                ", not above " + Number(kRules.minMidpointHeight));
        }
        if (std::fabs(mid.x) > kRules.maxHorizontal || std::fabs(mid.z) > kRules.maxHorizontal) {
            Add(Segment(i) + ": its midpoint (" + Number(std::round(mid.x)) + ", " +
                Number(std::round(mid.z)) + ") lies outside +-" + Number(kRules.maxHorizontal));
        }
    }

    void CheckLength() {
        if (figures_.length < kRules.minLength || figures_.length > kRules.maxLength) {
            Add("the course is " + Thousands(figures_.length) + " long; a course is " +
                Thousands(kRules.minLength) + " to " + Thousands(kRules.maxLength));
        }
    }

    void CheckSlices() {
        if (figures_.slices > kRules.maxSlices) {
            Add("the road needs " + std::to_string(figures_.slices) +
                " slices; the game builds at most " + std::to_string(kRules.maxSlices));
        }
    }

    void Measure(bool finite) {
        figures_ = CourseFigures{};
        lengths_.assign(n_, 0);
        folds_.clear();
        CountSegments();
        if (!finite) {
            return;
        }
        figures_.minPointDistance = std::numeric_limits<double>::infinity();
        figures_.minEdgeDistance = std::numeric_limits<double>::infinity();
        figures_.minTension = std::numeric_limits<double>::infinity();
        figures_.maxTension = -std::numeric_limits<double>::infinity();
        figures_.minTransitionSlack = std::numeric_limits<double>::infinity();
        Prepare();
        for (std::size_t i = 0; i < n_; ++i) {
            lengths_[i] = SegmentLength(splines_[i]);
            figures_.length += lengths_[i];
            MeasureSpacing(i);
        }
        for (std::size_t i = 0; i < n_; ++i) {
            if (!IsJoinable(ShapeOf(i))) {
                figures_.minTransitionSlack =
                    std::min(figures_.minTransitionSlack, lengths_[i] - TransitionNeed(i));
            }
        }
        figures_.minFoldMargin = MeasureFolds();
        // A road longer than any course may be is refused for that; its slices would be a
        // second sentence about the same fault, and counting them the bulk of the work.
        if (figures_.length <= kRules.maxLength) {
            figures_.slices = CountSlices();
        }
    }

    // Each segment's tension, spline and starting frame, worked out once for all the rules;
    // only for finite points.
    void Prepare() {
        if (!frames_.empty()) {
            return;
        }
        for (std::size_t i = 0; i < n_; ++i) {
            solves_.push_back(SolveTension(c_, i));
            splines_.emplace_back(c_, i, solves_[i].tension);
        }
        for (std::size_t i = 0; i < n_; ++i) {
            frames_.push_back(FrameAtPoint(c_, i, splines_[i]));
        }
    }
    const TensionSolve& SolveAt(std::size_t i) {
        Prepare();
        return solves_[i];
    }
    const RoadSample& FrameAt(std::size_t i) {
        Prepare();
        return frames_[i];
    }

    SegmentSampler SamplerOf(std::size_t i) const {
        return SegmentSampler(splines_[i], frames_[i], frames_[(i + 1) % n_]);
    }

    void CountSegments() {
        for (std::size_t i = 0; i < n_; ++i) {
            figures_.segmentsByShape[static_cast<std::size_t>(ShapeOf(i))]++;
            for (std::size_t f = 0; f < kFeatureCount; ++f) {
                if (c_.features[f][i] != kFeatureNone) {
                    figures_.segmentsByFeature[f]++;
                }
            }
        }
    }

    void MeasureSpacing(std::size_t i) {
        const std::size_t j = (i + 1) % n_;
        const Spacing gaps = SpacingAt(FrameAt(i), FrameAt(j));
        figures_.minPointDistance = std::min(figures_.minPointDistance, gaps.centres);
        figures_.minEdgeDistance = std::min({figures_.minEdgeDistance, gaps.left, gaps.right});
        const TensionSolve& solve = SolveAt(i);
        if (solve.rootsExist) {
            figures_.minTension = std::min({figures_.minTension, solve.alpha1, solve.alpha2});
            figures_.maxTension = std::max({figures_.maxTension, solve.alpha1, solve.alpha2});
        } else {
            figures_.minTension = figures_.maxTension = std::nan("");
        }
    }

    // The length a non-joinable segment must exceed: its transitions onto joinable neighbours
    // and the spare the game keeps beside them.
    double TransitionNeed(std::size_t i) const {
        const Shape shape = ShapeOf(i);
        int sides = 0;
        for (const std::size_t neighbour : {(i + n_ - 1) % n_, (i + 1) % n_}) {
            if (IsJoinable(ShapeOf(neighbour))) {
                ++sides;
            }
        }
        return sides == 0 ? 0 : sides * TransitionLength(shape) + kRules.transitionSpare;
    }

    void CheckShapes() {
        for (std::size_t i = 0; i < n_; ++i) {
            const Shape shape = ShapeOf(i);
            if (IsJoinable(shape)) {
                continue;
            }
            const std::size_t next = (i + 1) % n_;
            const Shape after = ShapeOf(next);
            if (!IsJoinable(after) && after != shape) {
                Add("segments " + std::to_string(i) + " and " + std::to_string(next) + ": " +
                    Article(ShapeWords(shape)) + " and " + Article(ShapeWords(after)) +
                    " touch; a road or air segment must stand between them");
            }
            const double need = TransitionNeed(i);
            if (need > 0 && !(lengths_[i] > need)) {
                Add(Segment(i) + ": " + ShapeWords(shape) + " of length " + Thousands(lengths_[i]) +
                    " is too short for its transitions (it needs more than " + Thousands(need) +
                    ")");
            }
        }
    }

    // The smallest advance of either edge between consecutive samples, as a share of the centre
    // line's advance: 1 on a straight, 0 where the curve's radius meets the half-width, below 0
    // where the edge runs backwards and the road folds. Keeps a sentence for each folding
    // segment's side, which CheckFolds reports.
    TFLUX_WIDE_VECTORS double MeasureFolds() {
        constexpr std::size_t kSteps = kFoldSamples;
        static_assert(kSteps < SampleChunk::kSize);
        double margin = std::numeric_limits<double>::infinity();
        SampleChunk s;
        for (std::size_t i = 0; i < n_; ++i) {
            const bool tube = IsTube(ShapeOf(i));
            SamplerOf(i).QuickSamplesAlong(kFoldSamples, s);
            // Each edge at every sample, then how far the centre and each edge move forward
            // to the next; one quantity per loop, so that they run several samples at once.
            double halfWidth[2][kSteps + 1], edge[2][3][kSteps + 1];
            for (std::size_t k = 0; k <= kSteps; ++k) {
                halfWidth[0][k] = s.leftRadius[k];
                halfWidth[1][k] = tube ? s.leftRadius[k] : s.rightRadius[k];
            }
            for (int a = 0; a < 3; ++a) {
                for (std::size_t k = 0; k <= kSteps; ++k) {
                    edge[0][a][k] =
                        s.centre[a][k] + s.right[a][k] * -(halfWidth[0][k] + kEdgeBeyondRadius);
                    edge[1][a][k] =
                        s.centre[a][k] + s.right[a][k] * (halfWidth[1][k] + kEdgeBeyondRadius);
                }
            }
            double advance[kSteps], share[2][kSteps];
            const auto forward = [&s](const double(&p)[3][SampleChunk::kSize], std::size_t k) {
                return (p[0][k + 1] - p[0][k]) * s.forward[0][k] +
                       (p[1][k + 1] - p[1][k]) * s.forward[1][k] +
                       (p[2][k + 1] - p[2][k]) * s.forward[2][k];
            };
            for (std::size_t k = 0; k < kSteps; ++k) {
                advance[k] = forward(s.centre, k);
            }
            for (int side = 0; side < 2; ++side) {
                for (std::size_t k = 0; k < kSteps; ++k) {
                    const double moved =
                        (edge[side][0][k + 1] - edge[side][0][k]) * s.forward[0][k] +
                        (edge[side][1][k + 1] - edge[side][1][k]) * s.forward[1][k] +
                        (edge[side][2][k + 1] - edge[side][2][k]) * s.forward[2][k];
                    share[side][k] = moved / advance[k];
                }
            }
            bool reported[2] = {false, false};
            for (std::size_t k = 0; k < kSteps; ++k) {
                ++work_;
                for (int side = 0; side < 2 && advance[k] > 1e-9; ++side) {
                    margin = std::min(margin, share[side][k]);
                    if (share[side][k] <= 0 && !reported[side]) {
                        reported[side] = true;
                        folds_.push_back(
                            Segment(i) + ": the " + (side == 0 ? "left" : "right") +
                            " edge folds over itself: the curve is too tight for a half-width of " +
                            Thousands(halfWidth[side][k]));
                    }
                }
            }
        }
        return margin;
    }

    void CheckFolds() {
        for (std::string& sentence : folds_) {
            Add(std::move(sentence));
        }
        folds_.clear();
    }

    // Walks both edges, sampled at most kSliceSampleStep apart, and starts a new slice wherever
    // an edge strays too far from the straight line since the slice began, or the slice grows
    // too long.
    // How many samples each segment gives the slice count, how many in all, and how far a
    // slice's edge samples lie from its start at most: the slice's length, and the widest
    // radius and the edge beyond it on either side.
    struct SlicePlan {
        std::vector<int> samples;
        std::size_t total = 1;
        double extent = 0;
    };

    SlicePlan PlanSlices() const {
        SlicePlan plan;
        plan.samples.resize(n_);
        double widest = 0;
        for (std::size_t i = 0; i < n_; ++i) {
            // Clamped before the conversion: a huge segment's count does not fit an int.
            const double wanted = std::ceil(lengths_[i] / kSliceSampleStep);
            plan.samples[i] = wanted >= 4 ? int(std::min(wanted, 2000.0)) : 4;
            plan.total += std::size_t(plan.samples[i]);
            const ControlPoint& p = c_.points[i];
            widest = std::max({widest, std::fabs(double(p.left)), std::fabs(double(p.right))});
        }
        plan.extent = kRules.sliceMaxLength + 2 * (widest + kEdgeBeyondRadius);
        return plan;
    }

    int CountSlices() {
        // Named, not bound: a lambda below uses them, and structured bindings cannot be
        // captured by every compiler this builds with.
        const SlicePlan plan = PlanSlices();
        const std::vector<int>& samples = plan.samples;
        const std::size_t total = plan.total;
        const double extent = plan.extent;
        EdgeRows rows(total);
        EdgeStrays edges[2] = {
            EdgeStrays(rows.Left(0), rows.Left(1), rows.Left(2), total, kRules.sliceStray, extent),
            EdgeStrays(rows.Right(0), rows.Right(1), rows.Right(2), total, kRules.sliceStray,
                       extent)};
        const std::unique_ptr<double[]> distance = std::make_unique_for_overwrite<double[]>(total);
        // The samples are taken a segment at a time as the slices reach them: a course that
        // runs past the most slices worth counting is not sampled far beyond that.
        std::size_t segment = 0;
        double travelled = 0;
        const auto sampleSegment = [&] {
            const SegmentSampler sampler = SamplerOf(segment);
            const std::size_t from = rows.Size();
            sampler.EdgesAlong(segment == 0 ? 0 : 1, samples[segment], rows);
            // The chords first, which run several at once, then their running sum.
            const double* cx = rows.Centre(0);
            const double* cy = rows.Centre(1);
            const double* cz = rows.Centre(2);
            for (std::size_t k = from + 1; k < rows.Size(); ++k) {
                const double dx = cx[k] - cx[k - 1], dy = cy[k] - cy[k - 1], dz = cz[k] - cz[k - 1];
                distance[k] = std::sqrt(dx * dx + dy * dy + dz * dz);
            }
            if (segment > 0 && from < rows.Size()) {
                const Vec3 start = sampler.Spline().ExactPosition(0);
                distance[from] = (Vec3{cx[from], cy[from], cz[from]} - start).Length();
            } else if (from < rows.Size()) {
                distance[from] = 0;
            }
            for (std::size_t k = from; k < rows.Size(); ++k) {
                travelled += distance[k];
                distance[k] = travelled;
            }
            work_ += rows.Size() - from;
            ++segment;
        };
        const auto sampled = [&](std::size_t index) {
            while (rows.Size() <= index && segment < n_) {
                sampleSegment();
            }
            return rows.Size() > index;
        };
        int slices = 1;
        std::size_t start = 0;
        edges[0].Begin(start);
        edges[1].Begin(start);
        // Each edge takes a run of asks before the other takes the same run: the left edge's
        // asks past a stray of the right are wasted, and the runs grow with the slice.
        std::size_t run = kFirstRun;
        for (std::size_t at = 1; sampled(at);) {
            const std::size_t stop = std::min(rows.Size(), at + run);
            std::size_t far = at;  // where the slice would grow too long
            while (far < stop && !(distance[far] - distance[start] > kRules.sliceMaxLength)) {
                ++far;
            }
            const std::size_t left = edges[0].FirstStray(at, far, rows.Size(), work_);
            const std::size_t right = edges[1].FirstStray(at, left, rows.Size(), work_);
            if (right == stop) {
                at = stop;
                run = std::min(2 * run, kMostRun);
                continue;
            }
            ++slices;
            start = right - 1;
            edges[0].Begin(start);
            edges[1].Begin(start);
            at = right + 1;
            run = kFirstRun;
            // Past twice the limit the exact count tells nobody anything more.
            if (slices > 2 * kRules.maxSlices) {
                break;
            }
        }
        return slices;
    }

    void CheckFeatures() {
        std::array<int, kFeatureCount> segments{};
        for (std::size_t i = 0; i < n_; ++i) {
            LaneUse lanes;
            for (std::size_t f = 0; f < kFeatureCount; ++f) {
                const auto feature = static_cast<Feature>(f);
                const int value = c_.features[f][i];
                if (value == kFeatureNone) {
                    continue;
                }
                ++segments[f];
                if (CheckFeatureValue(i, feature, value)) {
                    CheckFeaturePlace(i, feature);
                    CheckLane(i, feature, value, lanes);
                }
            }
        }
        CheckFeatureCounts(segments);
    }

    // False when the value is not one the game draws.
    bool CheckFeatureValue(std::size_t i, Feature feature, int value) {
        const bool ignoredPit = feature == Feature::Pit && value == 3;
        if (!FeatureValueName(feature, value).empty() && !ignoredPit) {
            return true;
        }
        Add(Segment(i) + ": " + FeatureWords(feature) + " value " + std::to_string(value) +
            (ignoredPit ? " (the middle) is ignored by the race; use 0 to 2"
                        : " is not one the game has"));
        return false;
    }

    // Whether the segment's shape can carry the feature.
    void CheckFeaturePlace(std::size_t i, Feature feature) {
        const Shape shape = ShapeOf(i);
        if ((IsGroundOnly(feature) && (IsTube(shape) || shape == Shape::Air)) ||
            (feature == Feature::Dash && shape == Shape::Air)) {
            Add(Segment(i) + ": " + Article(FeatureWords(feature)) + " cannot lie on " +
                Article(ShapeWords(shape)));
        }
        if (feature == Feature::Gate || feature == Feature::Sign) {
            const Shape before = ShapeOf((i + n_ - 1) % n_);
            if (!CarriesScenery(shape) && !(shape == Shape::Air && CarriesScenery(before))) {
                Add(Segment(i) + ": " + Article(FeatureWords(feature)) +
                    " stands only on a road or borderless road, not on " +
                    Article(ShapeWords(shape)));
            }
        }
    }

    void CheckLane(std::size_t i, Feature feature, int value, LaneUse& use) {
        if (!KeepsItsLane(feature)) {
            return;
        }
        const int lanes = FeatureLanes(feature, value);
        if ((lanes & use.taken) != 0) {
            Add(Segment(i) + ": " + Article(FeatureWords(feature)) + " shares the " +
                LaneWords(lanes & use.taken) + " with " + Article(FeatureWords(use.owner)));
        }
        if (lanes & ~use.taken) {
            use.owner = feature;
        }
        use.taken |= lanes;
    }

    void CheckFeatureCounts(const std::array<int, kFeatureCount>& segments) {
        const auto count = [&](Feature f) { return segments[static_cast<std::size_t>(f)]; };
        for (const auto& [feature, most] :
             {std::pair{Feature::Jump, kRules.maxJumps}, std::pair{Feature::Mine, kRules.maxMines},
              std::pair{Feature::Dash, kRules.maxDashes}}) {
            if (count(feature) > most) {
                Add("the course has " + std::to_string(count(feature)) + " " +
                    FeatureWords(feature) + " segments; at most " + std::to_string(most) +
                    " are allowed");
            }
        }
        const int scenery = count(Feature::Gate) + count(Feature::Building) + count(Feature::Sign);
        if (scenery > kRules.maxScenery) {
            Add("the course has " + std::to_string(scenery) +
                " segments with gates, buildings or signs; at most " +
                std::to_string(kRules.maxScenery) + " are allowed");
        }
    }

    const Course& c_;
    std::size_t n_;
    std::vector<std::string> problems_;
    std::vector<double> lengths_;
    std::vector<TensionSolve> solves_;  // Prepare's: each segment's
    std::vector<SegmentSpline> splines_;
    std::vector<RoadSample> frames_;  // the road's frame at each point
    std::vector<std::string> folds_;  // MeasureFolds's sentences, for CheckFolds
    std::size_t work_ = 0;            // samples taken and runs looked at
    CourseFigures figures_;
};

}  // namespace

std::vector<std::string> ValidateCourse(const Course& course) {
    return Validator(course).Run();
}

CourseFigures MeasureCourse(const Course& course) {
    return Validator(course).Figures();
}

CourseJudgement JudgeCourse(const Course& course) {
    return Validator(course).Judge();
}

}  // namespace tflux
