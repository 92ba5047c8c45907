#pragma once

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

// Two lanes at a time where the processor has them. A build with
// BOXSIM_ONE_LANE takes the one-at-a-time code everywhere, so that the tests
// can show both give the same bits.
#if defined(__SSE2__) && !defined(BOXSIM_ONE_LANE)
#define BOXSIM_TWO_LANES 1
#include <emmintrin.h>
#endif

#include "body/rbody.h"
#include "math/edge.h"
#include "math/vector3.h"

// One contact point of a pair. Edge-edge points have eA and eB set (records
// owned by the bodies); corner points have f, the other body's face the
// corner is taken to have entered.
struct CollisionPoint {
  Edge* eA;
  Edge* eB;
  Face* f;
  Vector3 p;  // local to the body whose list holds the point
  Vector3 n;  // world, unit; from the other body towards this one; fixed when made

  CollisionPoint() : eA(nullptr), eB(nullptr), f(nullptr) {}
};

// A stored point evaluated at the bodies' current poses.
struct PointEvaluation {
  Vector3 p;     // world
  Vector3 n;     // world, as stored
  double depth;  // positive when interpenetrating

  PointEvaluation() : depth(0.0) {}
};

// Contact record of one body pair, owned by whoever got it from
// GetCollisionPoints. points[i] belongs to bodies[i]; edge-edge points only
// ever appear in points[0].
struct Collision {
  RBody* bodies[2] = {nullptr, nullptr};
  std::vector<CollisionPoint> points[2];

  // Set by an owner that keeps the points as they are while it solves the
  // record again and again: the contact solver then keeps each point's
  // evaluation for as long as both poses keep their bits.
  bool keep_evaluations = false;
  bool has_evaluations = false;
  std::uint64_t evaluated_at[2][12] = {};  // pos, then rotation matrix, per body
  std::vector<PointEvaluation> evaluations[2] = {};
};

// EvaluatePoint over the points of one list, the poses unchanged meanwhile:
// the depth depends only on the bodies' corners, the stored normal and the
// kind of point, so a run of points sharing normal bits and kind is measured
// once; every value equals EvaluatePoint's.
class PointEvaluator {
 public:
  PointEvaluator(RBody* A, RBody* B) : A_(A), B_(B) {}
  PointEvaluation Evaluate(const CollisionPoint& cp);
  // Evaluate's depth alone.
  double Depth(const CollisionPoint& cp);
  // Evaluate's world point alone.
  Vector3 Point(const CollisionPoint& cp);

 private:
  // The bodies' world geometries, looked up once: the poses stand meanwhile.
  void Look();

  RBody* A_;
  RBody* B_;
  const WorldGeometry* ga_ = nullptr;
  const WorldGeometry* gb_ = nullptr;
  bool has_last_ = false;
  bool last_edge_ = false;
  Vector3 last_n_;
  double last_depth_ = 0;
};

// EvaluatePoint's world point alone, for callers that need no depth; g is
// A's world geometry where the caller has it at hand.
inline Vector3 PointWorld(const CollisionPoint& cp, const WorldGeometry& g, const RBody* A) {
  return g.turn->rotation * cp.p + A->pos;
}
inline Vector3 PointWorld(const CollisionPoint& cp, RBody* A) {
  return PointWorld(cp, A->World(), A);
}

namespace CDetector {
bool IsPointInside(Vector3 p, RBody* B);
bool DetectCollision(RBody* A, RBody* B);

// A body's bounding sphere as the pair loops read it: the scene's spheres
// side by side, not one per body in memory far apart.
struct Sphere {
  double centre[3];
  double radius;
};
inline Sphere SphereOf(const RBody* A) {
  return Sphere{{A->pos.axes[0], A->pos.axes[1], A->pos.axes[2]}, A->bounding_radius};
}
// True only where DetectCollision's sphere stage is sure to reject the pair,
// decided without its square root: the pair loops call this first. A
// distance this far (relatively 1e-12) past the radii rounds above their sum
// however the root rounds; anything nearer is left to DetectCollision.
inline bool SpheresApart(const Sphere& a, const Sphere& b) {
  const double dx = a.centre[0] - b.centre[0];
  const double dy = a.centre[1] - b.centre[1];
  const double dz = a.centre[2] - b.centre[2];
  const double reach = a.radius + b.radius;
  return dx * dx + dy * dy + dz * dz > reach * reach * (1 + 1e-12);
}
inline bool SpheresApart(const RBody* A, const RBody* B) {
  return SpheresApart(SphereOf(A), SphereOf(B));
}
// The scene's spheres a column per coordinate, so that one sphere is tested
// against two at a time: each lane rounds as SpheresApart does, and the
// pair loops spent more on these tests than on the axis tests they spare.
// Neighbours in a scene's list tend to be neighbours in space, so the
// spheres are also bounded in groups of kGroup in list order: a group the
// tested sphere clears by a wide margin is passed over whole.
class SphereColumns {
 public:
  static constexpr std::size_t kGroup = 8;

  void Resize(std::size_t n) {
    for (std::vector<double>* column : {&x_, &y_, &z_, &r_})
      column->resize(n);
    const std::size_t groups = (n + kGroup - 1) / kGroup;
    lo_.resize(3 * groups);
    hi_.resize(3 * groups);
    grouped_ = false;
  }
  void Set(std::size_t i, const Sphere& s) {
    x_[i] = s.centre[0];
    y_[i] = s.centre[1];
    z_[i] = s.centre[2];
    r_[i] = s.radius;
  }
  // Bounds the groups: after the last Set, before ForNear.
  void Group() {
    const std::size_t n = x_.size();
    const double inf = std::numeric_limits<double>::infinity();
    for (std::size_t g = 0; g * kGroup < n; ++g) {
      double lo[3] = {inf, inf, inf}, hi[3] = {-inf, -inf, -inf}, scale = 0;
      bool usable = true;
      const std::size_t end = std::min(n, (g + 1) * kGroup);
      for (std::size_t j = g * kGroup; j < end; ++j) {
        const double c[3] = {x_[j], y_[j], z_[j]};
        const double r = std::fabs(r_[j]);
        usable &= Moderate(c, r);
        for (int k = 0; k < 3; ++k) {
          lo[k] = std::min(lo[k], c[k] - r);
          hi[k] = std::max(hi[k], c[k] + r);
          scale = std::max(scale, std::fabs(c[k]) + r);
        }
      }
      const double margin = Margin(scale);
      for (int k = 0; k < 3; ++k) {
        // Bounds no sphere is ever set apart by where a value is not moderate.
        lo_[3 * g + k] = usable ? lo[k] - margin : -inf;
        hi_[3 * g + k] = usable ? hi[k] + margin : inf;
      }
    }
    grouped_ = true;
  }
  // near(j) for each j from `from` up, but skip, whose sphere SpheresApart
  // does not set apart from a, in order.
  template <class Near>
  void ForNear(const Sphere& a, std::size_t from, std::size_t skip, const Near& near) const {
    assert(grouped_);
    const std::size_t n = x_.size();
    const double r = std::fabs(a.radius);
    const bool usable = Moderate(a.centre, r);
    const double margin = Margin(
        std::max({std::fabs(a.centre[0]), std::fabs(a.centre[1]), std::fabs(a.centre[2])}) + r);
    double lo[3], hi[3];
    for (int k = 0; k < 3; ++k) {
      lo[k] = a.centre[k] - r - margin;
      hi[k] = a.centre[k] + r + margin;
    }
    for (std::size_t g = from / kGroup; g * kGroup < n; ++g) {
      // Clear of the group on an axis by both margins: then, for every
      // sphere of it, the gap on that axis beats the sum of the radii by far
      // more than SpheresApart's rounding and its 1e-12 (see Margin).
      const double* glo = &lo_[3 * g];
      const double* ghi = &hi_[3 * g];
      if (usable && (lo[0] > ghi[0] || hi[0] < glo[0] || lo[1] > ghi[1] || hi[1] < glo[1] ||
                     lo[2] > ghi[2] || hi[2] < glo[2]))
        continue;
      Lanes(a, std::max(from, g * kGroup), std::min(n, (g + 1) * kGroup), skip, near);
    }
  }

 private:
  // Every value finite and below 1e150: no square overflows, and with the
  // margin's floor no gap's square is lost below the normal numbers.
  static bool Moderate(const double* c, double r) {
    return (std::fabs(c[0]) < 1e150) & (std::fabs(c[1]) < 1e150) & (std::fabs(c[2]) < 1e150) &
           (r < 1e150);
  }
  // Room for the rounding of the bounds' sums, relative to the largest
  // value involved, with a floor far above the subnormals.
  static double Margin(double scale) { return 1e-9 * scale + 1e-140; }

  template <class Near>
  void Lanes(const Sphere& a, std::size_t j, std::size_t end, std::size_t skip,
             const Near& near) const {
    const double *x = x_.data(), *y = y_.data(), *z = z_.data(), *r = r_.data();
#ifdef BOXSIM_TWO_LANES
    const __m128d ax = _mm_set1_pd(a.centre[0]), ay = _mm_set1_pd(a.centre[1]),
                  az = _mm_set1_pd(a.centre[2]), ar = _mm_set1_pd(a.radius),
                  margin = _mm_set1_pd(1 + 1e-12);
    for (; j + 1 < end; j += 2) {
      const __m128d dx = _mm_sub_pd(ax, _mm_loadu_pd(x + j));
      const __m128d dy = _mm_sub_pd(ay, _mm_loadu_pd(y + j));
      const __m128d dz = _mm_sub_pd(az, _mm_loadu_pd(z + j));
      const __m128d reach = _mm_add_pd(ar, _mm_loadu_pd(r + j));
      const __m128d squared =
          _mm_add_pd(_mm_add_pd(_mm_mul_pd(dx, dx), _mm_mul_pd(dy, dy)), _mm_mul_pd(dz, dz));
      const int apart =
          _mm_movemask_pd(_mm_cmpgt_pd(squared, _mm_mul_pd(_mm_mul_pd(reach, reach), margin)));
      if (apart == 3)
        continue;
      if (!(apart & 1) && j != skip)
        near(j);
      if (!(apart & 2) && j + 1 != skip)
        near(j + 1);
    }
#endif
    for (; j < end; ++j)
      if (j != skip && !SpheresApart(a, Sphere{{x[j], y[j], z[j]}, r[j]}))
        near(j);
  }

  std::vector<double> x_, y_, z_, r_;
  std::vector<double> lo_, hi_;  // per group, three world axes each
  bool grouped_ = false;
};
// What the axis tests of a pair no axis separates learnt of its axes, handed
// to the contact search of the same pair, in the same order, at the same
// poses, so that it does not make them again: each face axis's depth bound,
// and its depth where it was measured; the edge axes (normalised cross
// products of the two boxes' edge lines, A's line major) with their lengths
// and bounds. Filled only for boxes of three edge lines each (any box not
// made of NaNs); the contact search makes everything itself when it is not
// filled or is for another pair.
struct PairAxes {
  bool filled = false;
  const RBody* a = nullptr;
  const RBody* b = nullptr;
  // Plain numbers, left unset until filled: a pair test makes one of these
  // whether or not it gets that far. Faces: A's six negated normals, then B's.
  double face_plus[12];
  bool face_measured[12];
  double face_depth[12];
  double axis[9][3];
  double length[9];          // the cross products' lengths
  double plus[9], minus[9];  // the depth bounds of each, when bounded
};
// An empty record (no points, no evaluations, no bodies yet), and its
// return once its owner is done with it: a step makes and drops hundreds, and a returned one
// is handed out again with its lists' storage. Either thread may call these;
// a record made either way may be returned or deleted.
Collision* NewCollision();
void Recycle(Collision* record);
// Contact record of a pair; the caller owns it.
Collision* GetCollisionPoints(RBody* A, RBody* B);
// The same record; with remember false the rings are left alone, and
// remembering its points later is RememberPoints(record).
Collision* GetCollisionPoints(RBody* A, RBody* B, bool remember);
// The same record, with the axes TestAxes(A, B, ...) measured for this
// pair as its bodies stand.
Collision* GetCollisionPoints(RBody* A, RBody* B, bool remember, const PairAxes& axes);
// What GetCollisionPoints remembers: points[0] into A's ring and points[1]
// into B's, each in list order.
void RememberPoints(const Collision& record);
// How a pair stands before DetectCollision consults the remembered points.
// Reads the bodies and nothing else.
enum class AxisVerdict {
  kApart,        // the spheres are apart: DetectCollision is false
  kSeparated,    // a listed axis separates: the rings decide
  kOverlapping,  // no listed axis separates: DetectCollision is true
};
// gap: for kSeparated, a lower bound of the gap along the separating axis
// when one is known, else -infinity.
AxisVerdict TestAxes(RBody* A, RBody* B, double* gap);
// The same; for kOverlapping, *axes holds what GetCollisionPoints may reuse.
AxisVerdict TestAxes(RBody* A, RBody* B, double* gap, PairAxes* axes);
// DetectCollision's answer for a pair TestAxes found kSeparated, with its
// gap: whether a remembered point lies inside the other body.
bool RingsAccept(RBody* A, RBody* B, double gap);
// RingsAccept in parts, for pair loops that take the part that reads the
// poses alone (GapClearsRings) on either thread: RingsAccept is false if
// GapClearsRings and RingsWithin, else RecentPointInside.
constexpr double kRingMargin = 1e-7;
bool GapClearsRings(const RBody* A, const RBody* B, double gap);
inline bool RingsWithin(const RBody* A, const RBody* B) {
  return A->RingWithin(kRingMargin) && B->RingWithin(kRingMargin);
}
// RingsWithin for the pairs of one pass over bodies numbered 0..n-1, which
// asks it for nearly every separated pair: each body's answer is kept until
// Forget, which Remember calls for the bodies whose rings it changes.
class RingsWithinPass {
 public:
  void Reset(std::size_t n) { known_.assign(n, kUnknown); }
  bool Within(std::size_t i, const RBody* A, std::size_t j, const RBody* B) {
    return Of(i, A) && Of(j, B);
  }
  void Forget(std::size_t i) { known_[i] = kUnknown; }
  // RememberPoints of the pair (i, j)'s record, whose rings it changes.
  void Remember(const Collision& record, std::size_t i, std::size_t j) {
    RememberPoints(record);
    Forget(i);
    Forget(j);
  }

 private:
  static constexpr signed char kUnknown = -1;
  bool Of(std::size_t i, const RBody* A) {
    if (known_[i] == kUnknown)
      known_[i] = A->RingWithin(kRingMargin) ? 1 : 0;
    return known_[i] == 1;
  }
  std::vector<signed char> known_;
};
bool RecentPointInside(RBody* A, RBody* B);
Vector3 ClosestOnEdgeA(Edge A, Edge B);
PointEvaluation EvaluatePoint(CollisionPoint cp, RBody* A, RBody* B);
double RelativeVelocity(Vector3 p, Vector3 n, RBody* A, RBody* B);
void CheckAll(std::vector<RBody*>* bodies, std::vector<Collision*>* collisions,
              std::vector<Collision*>* contacts, double eps);
}  // namespace CDetector

// Helpers of the detector, declared here so the tests can reach them.
bool AreOverlapping(RBody* A, RBody* B, Vector3 axis);
double OverlapDepth(RBody* A, RBody* B, Vector3 axis, Vector3* midpoint);
Vector3 SeparatingAxis(RBody* A, RBody* B);
Face* MinimumPenFaceSecond(RBody* A, RBody* B);
double HighestRelVel(Collision* col);
