#include "course/course_geometry.h"

#include <algorithm>
#include <array>
#include <numbers>
#include <stdexcept>

namespace tflux {

Vec3 CoursePoint(const Course& course, long i) {
    const auto n = static_cast<long>(course.PointsInUse());
    if (n == 0) {
        return {};
    }
    const ControlPoint& p = course.points[static_cast<std::size_t>(((i % n) + n) % n)];
    return {p.x, p.y, p.z};
}

namespace {

// One of the two quadratic solves for a segment's tension; nothing when it fails.
bool SolveAlpha(double a, double b, double c, double& alpha) {
    const double discriminant = b * b - 4 * a * c;
    if (discriminant < 0 || std::fabs(2 * a) <= 0.1) {
        return false;
    }
    const double root = std::sqrt(discriminant);
    alpha = a > 0 ? (b + root) / (2 * a) : (b - root) / (2 * a);
    return true;
}

double DegreesToRadians(double degrees) {
    return degrees * std::numbers::pi / 180.0;
}

}  // namespace

TensionSolve SolveTension(const Course& course, std::size_t segment) {
    const auto i = static_cast<long>(segment);
    const Vec3 p0 = CoursePoint(course, i - 1);
    const Vec3 p1 = CoursePoint(course, i);
    const Vec3 p2 = CoursePoint(course, i + 1);
    const Vec3 p3 = CoursePoint(course, i + 2);
    const Vec3 d = p1 - p2;
    const Vec3 e = (p0 - p3) + d;
    const double b = 0.75 * d.Dot(e);
    const double c = 2.25 * d.Dot(d);
    const double big = e.Dot(e) / 16.0;
    TensionSolve solve;
    solve.rootsExist = SolveAlpha(big - (p2 - p0).Dot(p2 - p0), b, c, solve.alpha1) &&
                       SolveAlpha(big - (p3 - p1).Dot(p3 - p1), b, c, solve.alpha2);
    const auto inRange = [](double alpha) {
        return alpha >= kMinTensionRoot && alpha <= kMaxTensionRoot;
    };
    solve.solved = solve.rootsExist && inRange(solve.alpha1) && inRange(solve.alpha2);
    if (solve.solved) {
        solve.tension = (solve.alpha1 + solve.alpha2) / 2;
    }
    return solve;
}

namespace {

// The curve in the game's own form, as each of the four points' weight at t: the figures and
// sentences that quote positions and lengths round them as this form does. Taken inline, one
// sample here and a row at a time below, so that each build of the row loops runs them with its
// own vectors.
[[gnu::always_inline]] inline std::array<double, 4> PositionWeights(double s, double t) {
    const double t2 = t * t;
    const double t3 = t2 * t;
    return {s * (-t3 + 2 * t2 - t), (2 - s) * t3 + (s - 3) * t2 + 1,
            (s - 2) * t3 + (3 - 2 * s) * t2 + s * t, s * (t3 - t2)};
}

[[gnu::always_inline]] inline std::array<double, 4> DerivativeWeights(double s, double t) {
    const double t2 = t * t;
    return {s * (-3 * t2 + 4 * t - 1), 3 * (2 - s) * t2 + 2 * (s - 3) * t,
            3 * (s - 2) * t2 + 2 * (3 - 2 * s) * t + s, s * (3 * t2 - 2 * t)};
}

Vec3 PositionOf(const Vec3& p0, const Vec3& p1, const Vec3& p2, const Vec3& p3, double s,
                double t) {
    const std::array<double, 4> w = PositionWeights(s, t);
    return p0 * w[0] + p1 * w[1] + p2 * w[2] + p3 * w[3];
}

Vec3 DerivativeOf(const Vec3& p0, const Vec3& p1, const Vec3& p2, const Vec3& p3, double s,
                  double t) {
    const std::array<double, 4> w = DerivativeWeights(s, t);
    return p0 * w[0] + p1 * w[1] + p2 * w[2] + p3 * w[3];
}

}  // namespace

Vec3 SplinePosition(const Course& course, std::size_t segment, double s, double t) {
    const auto i = static_cast<long>(segment);
    return PositionOf(CoursePoint(course, i - 1), CoursePoint(course, i),
                      CoursePoint(course, i + 1), CoursePoint(course, i + 2), s, t);
}

Vec3 SplineDerivative(const Course& course, std::size_t segment, double s, double t) {
    const auto i = static_cast<long>(segment);
    return DerivativeOf(CoursePoint(course, i - 1), CoursePoint(course, i),
                        CoursePoint(course, i + 1), CoursePoint(course, i + 2), s, t);
}

namespace {

double Axis(const Vec3& v, int axis) {
    return axis == 0 ? v.x : axis == 1 ? v.y : v.z;
}

using Row = double[SampleChunk::kSize];

// Each point's weight in ExactPosition at t[0 .. m), and in ExactDerivative when `dw` is given.
[[gnu::always_inline]] inline void ExactWeights(double s, const double* t, std::size_t m,
                                                Row (&w)[4], Row (*dw)[4]) {
    for (std::size_t k = 0; k < m; ++k) {
        const std::array<double, 4> at = PositionWeights(s, t[k]);
        for (int j = 0; j < 4; ++j) {
            w[j][k] = at[j];
        }
        if (dw != nullptr) {
            const std::array<double, 4> turn = DerivativeWeights(s, t[k]);
            for (int j = 0; j < 4; ++j) {
                (*dw)[j][k] = turn[j];
            }
        }
    }
}

// The four points weighted by `w`, a coordinate at a time.
[[gnu::always_inline]] inline void Weighted(const Vec3 (&p)[4], const Row (&w)[4], std::size_t m,
                                            Row (&out)[3]) {
    for (int a = 0; a < 3; ++a) {
        const double p0 = Axis(p[0], a), p1 = Axis(p[1], a);
        const double p2 = Axis(p[2], a), p3 = Axis(p[3], a);
        for (std::size_t k = 0; k < m; ++k) {
            out[a][k] = p0 * w[0][k] + p1 * w[1][k] + p2 * w[2][k] + p3 * w[3][k];
        }
    }
}

}  // namespace

double SegmentLength(const Course& course, std::size_t segment) {
    return SegmentLength(SegmentSpline(course, segment));
}

// The chords' ends a row at a time, then the chords in order.
TFLUX_ROWS_OF_SAMPLES double SegmentLength(const SegmentSpline& spline) {
    constexpr int n = kChordsPerSegment;
    static_assert(n < int(SampleChunk::kSize));
    double t[n + 1];
    for (int k = 0; k <= n; ++k) {
        t[k] = double(k) / n;
    }
    Row w[4], at[3];
    ExactWeights(spline.s_, t, n + 1, w, nullptr);
    Weighted(spline.p_, w, n + 1, at);
    double chord[n];
    for (int k = 0; k < n; ++k) {
        const double dx = at[0][k + 1] - at[0][k];
        const double dy = at[1][k + 1] - at[1][k];
        const double dz = at[2][k + 1] - at[2][k];
        chord[k] = std::sqrt(dx * dx + dy * dy + dz * dz);
    }
    double length = 0;
    for (int k = 0; k < n; ++k) {
        length += chord[k];
    }
    return length;
}

namespace {

// The vertical turned square to the tangent; for a vertical tangent any horizontal will do.
Vec3 NoRollUp(const Vec3& forward) {
    Vec3 up = Vec3{0, 1, 0} - forward * forward.y;
    if (up.Length() < 1e-9) {
        up = Vec3{1, 0, 0} - forward * forward.x;
    }
    return up.Unit();
}

Vec3 BankedUp(const Vec3& forward, double bankDegrees) {
    const Vec3 up = NoRollUp(forward);
    const Vec3 right = forward.Cross(up);
    const double angle = DegreesToRadians(bankDegrees);
    // Turning up towards the right edge lowers that edge.
    return (up * std::cos(angle) + right * std::sin(angle)).Unit();
}

RoadSample Frame(const Vec3& centre, const Vec3& forward, const Vec3& upHint, double left,
                 double right) {
    RoadSample sample;
    sample.centre = centre;
    sample.forward = forward.Unit();
    const Vec3 up = upHint - sample.forward * upHint.Dot(sample.forward);
    const double length = up.Length();
    // As up.Unit(), from the length just taken.
    sample.up = length < 1e-9 ? NoRollUp(sample.forward).Unit() : up * (1.0 / length);
    sample.right = sample.forward.Cross(sample.up).Unit();
    sample.leftRadius = left;
    sample.rightRadius = right;
    return sample;
}

}  // namespace

RoadSample FrameAtPoint(const Course& course, std::size_t i) {
    const std::size_t n = course.PointsInUse();
    const std::size_t index = n == 0 ? 0 : i % n;
    return FrameAtPoint(course, index, SegmentSpline(course, index));
}

RoadSample FrameAtPoint(const Course& course, std::size_t index, const SegmentSpline& spline) {
    const Vec3 forward = spline.ExactDerivative(0).Unit();
    const ControlPoint& p = course.points[index];
    return Frame(CoursePoint(course, static_cast<long>(index)), forward,
                 BankedUp(forward, course.bank[index]), p.left, p.right);
}

SegmentSpline::SegmentSpline(const Course& course, std::size_t segment)
    : SegmentSpline(course, segment, SolveTension(course, segment).tension) {}

SegmentSpline::SegmentSpline(const Course& course, std::size_t segment, double s) : s_(s) {
    const auto i = static_cast<long>(segment);
    for (long k = 0; k < 4; ++k) {
        p_[k] = CoursePoint(course, i - 1 + k);
    }
}

Vec3 SegmentSpline::ExactPosition(double t) const {
    return PositionOf(p_[0], p_[1], p_[2], p_[3], s_, t);
}

Vec3 SegmentSpline::ExactDerivative(double t) const {
    return DerivativeOf(p_[0], p_[1], p_[2], p_[3], s_, t);
}

SegmentSampler::SegmentSampler(const Course& course, std::size_t segment)
    : spline_(course, segment),
      start_(FrameAtPoint(course, segment)),
      end_(FrameAtPoint(course,
                        course.PointsInUse() == 0 ? 0 : (segment + 1) % course.PointsInUse())) {}

RoadSample SegmentSampler::Sample(double t) const {
    const Vec3 up = UpAt(t);
    const double left = start_.leftRadius * (1 - t) + end_.leftRadius * t;
    const double right = start_.rightRadius * (1 - t) + end_.rightRadius * t;
    const Vec3 derivative = spline_.ExactDerivative(t);
    RoadSample sample;
    if (!QuickRight(derivative, up, sample.right)) {
        return Frame(spline_.ExactPosition(t), derivative, up, left, right);
    }
    sample.centre = spline_.ExactPosition(t);
    sample.forward = derivative.Unit();
    sample.up = sample.right.Cross(sample.forward);
    sample.leftRadius = left;
    sample.rightRadius = right;
    return sample;
}

Vec3 SegmentSampler::FrameRight(const Vec3& derivative, const Vec3& upHint) {
    return Frame({}, derivative, upHint, 0, 0).right;
}

// Each quantity in its own loop over a chunk of samples, in the same steps and order as
// Sample, QuickSample and Edges take them one sample at a time, so that every sample comes
// out the same to the last bit.
TFLUX_ROWS_OF_SAMPLES void SegmentSampler::Chunk(const double* t, std::size_t m,
                                                 SampleChunk& out) const {
    Row w[4], dw[4];
    ExactWeights(spline_.s_, t, m, w, &dw);
    Weighted(spline_.p_, w, m, out.centre);
    Weighted(spline_.p_, dw, m, out.d);
    double up[3][SampleChunk::kSize];
    for (int a = 0; a < 3; ++a) {
        const double su = Axis(start_.up, a), eu = Axis(end_.up, a);
        for (std::size_t k = 0; k < m; ++k) {
            up[a][k] = su * (1 - t[k]) + eu * t[k];
        }
    }
    for (std::size_t k = 0; k < m; ++k) {
        out.leftRadius[k] = start_.leftRadius * (1 - t[k]) + end_.leftRadius * t[k];
        out.rightRadius[k] = start_.rightRadius * (1 - t[k]) + end_.rightRadius * t[k];
    }
    // QuickRight for every sample; those it does not hold for are redone below.
    double squared[SampleChunk::kSize], crossSquared[SampleChunk::kSize];
    const auto& d = out.d;
    for (std::size_t k = 0; k < m; ++k) {
        squared[k] = d[0][k] * d[0][k] + d[1][k] * d[1][k] + d[2][k] * d[2][k];
        const double cx = d[1][k] * up[2][k] - d[2][k] * up[1][k];
        const double cy = d[2][k] * up[0][k] - d[0][k] * up[2][k];
        const double cz = d[0][k] * up[1][k] - d[1][k] * up[0][k];
        crossSquared[k] = cx * cx + cy * cy + cz * cz;
        const double inverse = 1.0 / std::sqrt(crossSquared[k]);
        out.right[0][k] = cx * inverse;
        out.right[1][k] = cy * inverse;
        out.right[2][k] = cz * inverse;
    }
    for (std::size_t k = 0; k < m; ++k) {
        if (!(squared[k] > 0) || !(crossSquared[k] >= 1e-18 * squared[k])) {
            const Vec3 right =
                FrameRight({d[0][k], d[1][k], d[2][k]}, {up[0][k], up[1][k], up[2][k]});
            for (int a = 0; a < 3; ++a) {
                out.right[a][k] = Axis(right, a);
            }
        }
    }
}

EdgeRows::EdgeRows(std::size_t capacity) : capacity_(capacity) {
    for (auto* row : {&centre_, &left_, &right_}) {
        for (std::unique_ptr<double[]>& axis : *row) {
            axis = std::make_unique_for_overwrite<double[]>(capacity);
        }
    }
}

TFLUX_ROWS_OF_SAMPLES void SegmentSampler::EdgesAlong(int first, int count, EdgeRows& rows) const {
    const std::size_t n = count >= first ? std::size_t(count - first + 1) : 0;
    if (n > rows.capacity_ - rows.size_) {
        throw std::length_error("more road samples than their rows hold");
    }
    SampleChunk chunk;
    for (std::size_t done = 0; done < n; done += SampleChunk::kSize) {
        const std::size_t m = std::min(SampleChunk::kSize, n - done);
        double t[SampleChunk::kSize];
        for (std::size_t k = 0; k < m; ++k) {
            t[k] = double(first + int(done + k)) / count;
        }
        Chunk(t, m, chunk);
        const std::size_t base = rows.size_ + done;
        for (int a = 0; a < 3; ++a) {
            double* centre = rows.centre_[a].get() + base;
            double* left = rows.left_[a].get() + base;
            double* right = rows.right_[a].get() + base;
            for (std::size_t k = 0; k < m; ++k) {
                centre[k] = chunk.centre[a][k];
                left[k] = chunk.centre[a][k] -
                          chunk.right[a][k] * (chunk.leftRadius[k] + kEdgeBeyondRadius);
                right[k] = chunk.centre[a][k] +
                           chunk.right[a][k] * (chunk.rightRadius[k] + kEdgeBeyondRadius);
            }
        }
    }
    rows.size_ += n;
}

TFLUX_ROWS_OF_SAMPLES void SegmentSampler::QuickSamplesAlong(int count, SampleChunk& chunk) const {
    const std::size_t n = count >= 0 ? std::min(std::size_t(count) + 1, SampleChunk::kSize) : 0;
    double t[SampleChunk::kSize] = {};
    for (std::size_t k = 0; k < n; ++k) {
        t[k] = double(k) / count;
    }
    chunk.size = n;
    Chunk(t, n, chunk);
    for (std::size_t k = 0; k < n; ++k) {
        const double length =
            std::sqrt(chunk.d[0][k] * chunk.d[0][k] + chunk.d[1][k] * chunk.d[1][k] +
                      chunk.d[2][k] * chunk.d[2][k]);
        const double inverse = length > 0 ? 1.0 / length : 1.0;
        for (int a = 0; a < 3; ++a) {
            chunk.forward[a][k] = chunk.d[a][k] * inverse;
        }
    }
}

std::vector<RoadSample> SampleSegment(const Course& course, std::size_t segment, int samples) {
    const SegmentSampler sampler(course, segment);
    std::vector<RoadSample> frames;
    const int count = std::max(samples, 1);
    frames.reserve(static_cast<std::size_t>(count) + 1);
    for (int k = 0; k <= count; ++k) {
        frames.push_back(sampler.Sample(double(k) / count));
    }
    return frames;
}

}  // namespace tflux
