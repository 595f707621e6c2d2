#pragma once

// How the game lays a road along a course's control points: a closed cubic spline whose
// tension it picks per segment, banked up vectors, and radii that change linearly along each
// segment. The validator, the figures and the maps all read the road from here.

#include <cmath>
#include <cstddef>
#include <memory>
#include <vector>

#include "course/course.h"

namespace tflux {

struct Vec3 {
    double x = 0;
    double y = 0;
    double z = 0;

    Vec3 operator+(const Vec3& o) const { return {x + o.x, y + o.y, z + o.z}; }
    Vec3 operator-(const Vec3& o) const { return {x - o.x, y - o.y, z - o.z}; }
    Vec3 operator*(double k) const { return {x * k, y * k, z * k}; }
    double Dot(const Vec3& o) const { return x * o.x + y * o.y + z * o.z; }
    Vec3 Cross(const Vec3& o) const {
        return {y * o.z - z * o.y, z * o.x - x * o.z, x * o.y - y * o.x};
    }
    double Length() const { return std::sqrt(Dot(*this)); }
    // The zero vector stays zero.
    Vec3 Unit() const {
        const double length = Length();
        return length > 0 ? *this * (1.0 / length) : *this;
    }
};

// Where the road's edge lies beyond its radius.
inline constexpr double kEdgeBeyondRadius = 11.5;
inline constexpr int kChordsPerSegment = 50;

// Point i of the loop (any i; taken modulo the points in use).
Vec3 CoursePoint(const Course& course, long i);

// The range both roots of a segment's tension solve must lie in.
inline constexpr double kMinTensionRoot = 0;
inline constexpr double kMaxTensionRoot = 2;

struct TensionSolve {
    bool solved = false;  // both roots exist and lie in [kMinTensionRoot, kMaxTensionRoot]
    bool rootsExist = false;
    double alpha1 = 0;
    double alpha2 = 0;
    double tension = 0.5;  // (alpha1 + alpha2) / 2 when solved; Catmull-Rom's 0.5 otherwise
};
TensionSolve SolveTension(const Course& course, std::size_t segment);

// Position and derivative along segment i at t in [0, 1] for tension s.
Vec3 SplinePosition(const Course& course, std::size_t segment, double s, double t);
Vec3 SplineDerivative(const Course& course, std::size_t segment, double s, double t);

// The sum of kChordsPerSegment chords along the segment.
double SegmentLength(const Course& course, std::size_t segment);
class SegmentSpline;
double SegmentLength(const SegmentSpline& spline);

struct RoadSample {
    Vec3 centre;
    Vec3 forward;           // unit tangent
    Vec3 up;                // banked
    Vec3 right;             // forward x up: the direction of the right edge
    double leftRadius = 0;  // interpolated along the segment
    double rightRadius = 0;
};

// The road frame at point i, where segment i starts.
RoadSample FrameAtPoint(const Course& course, std::size_t i);

// The same from segment `index`'s spline, already worked out.
RoadSample FrameAtPoint(const Course& course, std::size_t index, const SegmentSpline& spline);

// One segment's spline: its four points and its tension looked up once.
class SegmentSpline {
  public:
    SegmentSpline(const Course& course, std::size_t segment);
    // With tension s, whatever the segment's own.
    SegmentSpline(const Course& course, std::size_t segment, double s);
    double Tension() const { return s_; }
    // ExactPosition and ExactDerivative a row of samples at a time.
    friend class SegmentSampler;
    friend double SegmentLength(const SegmentSpline& spline);
    // As SplinePosition reckons it, to the last bit: for the length, which sentences quote.
    Vec3 ExactPosition(double t) const;
    Vec3 ExactDerivative(double t) const;

  private:
    double s_ = 0.5;
    Vec3 p_[4];
};

// The loops over rows of samples are built twice, once for CPUs with 256-bit vectors, and the
// loader picks the build the CPU can run: the same operations on four samples at a time
// instead of two, which gives the same bits (neither build fuses a multiply and an add).
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__ELF__)
#define TFLUX_WIDE_VECTORS __attribute__((target_clones("avx2", "default")))
#else
#define TFLUX_WIDE_VECTORS
#endif
// Those that only fill and read rows decide nothing, so a fuzzer learns nothing from their
// loop counters, and tracing each of their comparisons took most of its time.
#if defined(__clang__)
#define TFLUX_ROWS_OF_SAMPLES TFLUX_WIDE_VECTORS __attribute__((no_sanitize("coverage")))
#else
#define TFLUX_ROWS_OF_SAMPLES TFLUX_WIDE_VECTORS
#endif

// The centre and both edges at many samples, one array per coordinate, so that the loops
// that fill and read them work on several samples at once. Holds at most `capacity` samples.
class EdgeRows {
  public:
    explicit EdgeRows(std::size_t capacity);
    std::size_t Size() const { return size_; }
    std::size_t Capacity() const { return capacity_; }
    // Coordinate `axis` (x, y, z) of every sample so far.
    const double* Centre(int axis) const { return centre_[axis].get(); }
    const double* Left(int axis) const { return left_[axis].get(); }
    const double* Right(int axis) const { return right_[axis].get(); }

  private:
    friend class SegmentSampler;
    std::size_t capacity_;
    std::size_t size_ = 0;
    std::unique_ptr<double[]> centre_[3], left_[3], right_[3];
};

// Up to kSize samples of one segment in the same form: per coordinate x, y, z, then sample.
struct SampleChunk {
    static constexpr std::size_t kSize = 128;
    std::size_t size = 0;
    double centre[3][kSize];
    double d[3][kSize];        // the spline's derivative
    double forward[3][kSize];  // QuickSamplesAlong only
    double right[3][kSize];
    double leftRadius[kSize];
    double rightRadius[kSize];
};

// The spline and the frames at both ends; the frames between follow them linearly.
class SegmentSampler {
  public:
    SegmentSampler(const Course& course, std::size_t segment);
    // From frames already worked out: those FrameAtPoint gives at the segment's two points.
    SegmentSampler(const SegmentSpline& spline, const RoadSample& start, const RoadSample& end)
        : spline_(spline), start_(start), end_(end) {}
    const SegmentSpline& Spline() const { return spline_; }
    RoadSample Sample(double t) const;
    // Sample(k / count) for k = 0 .. count, below SampleChunk::kSize, into `chunk`, with no
    // up vector: for the walks that read only where the road runs and how wide it is.
    void QuickSamplesAlong(int count, SampleChunk& chunk) const;
    // The centre and the edges, kEdgeBeyondRadius beyond the radii, at t = k / count for
    // k = first .. count, as Sample places them, added to `rows`: what the slices are cut
    // from. Throws std::length_error beyond the rows' capacity.
    void EdgesAlong(int first, int count, EdgeRows& rows) const;

  private:
    // The centre, derivative, right vector and radii at t[0 .. m), to the bit as Sample gives
    // them: the slices the game counts and the folds it finds turn on the last places of the
    // edges of a road far from the origin.
    void Chunk(const double* t, std::size_t m, SampleChunk& out) const;
    Vec3 UpAt(double t) const { return start_.up * (1 - t) + end_.up * t; }
    // The frame's right vector in one square root: the tangent crossed with the up hint, whose
    // length is that of the hint's part square to the tangent. False where the frame takes its
    // other ways (no tangent, or a hint along it).
    static bool QuickRight(const Vec3& derivative, const Vec3& upHint, Vec3& right) {
        const double squared = derivative.Dot(derivative);
        const Vec3 cross = derivative.Cross(upHint);
        const double crossSquared = cross.Dot(cross);
        if (!(squared > 0) || !(crossSquared >= 1e-18 * squared)) {
            return false;
        }
        right = cross * (1.0 / std::sqrt(crossSquared));
        return true;
    }
    static Vec3 FrameRight(const Vec3& derivative, const Vec3& upHint);

    SegmentSpline spline_;
    RoadSample start_, end_;
};

// samples + 1 frames along segment i, t = 0 .. 1. Up vectors and radii move linearly with t
// (the game moves them with the distance travelled; over one segment the two differ little).
std::vector<RoadSample> SampleSegment(const Course& course, std::size_t segment, int samples);

}  // namespace tflux
