#include "collision/cdetector.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <vector>

#include "collision/pair_threads.h"
#include "math/matrix3x3.h"

// Both peers must pick the same axis, face and corners bit for bit, so every
// loop below keeps its list order and every comparison its strictness: ties
// are won by the earliest candidate.

namespace {

// A body's corners in world coordinates, in `vertices` order: the same
// R * v + pos that PointLocalToGlobal gives, made once per pose.
using Corners = WorldGeometry;

const Corners& WorldCorners(RBody* X) {
  return X->World();
}

// Projection interval of a body on a world axis (not necessarily unit length),
// with the index of the first corner attaining each end.
struct Interval {
  double min;
  double max;
  std::size_t min_k;
  std::size_t max_k;
};

Interval Project(const Corners& g, const Vector3& axis) {
  const std::array<Vector3, 8>& corners = g.corners;
  Interval in;
  in.min = axis * corners[0];
  in.max = in.min;
  in.min_k = 0;
  in.max_k = 0;
  for (std::size_t k = 1; k < corners.size(); ++k) {
    double d = axis * corners[k];
    // Strict on purpose: among equal values the earliest corner stays.
    if (d < in.min) {
      in.min = d;
      in.min_k = k;
    }
    if (d > in.max) {
      in.max = d;
      in.max_k = k;
    }
  }
  return in;
}

// The ends alone, the same values as Project's: for the tests that need no
// corner index.
struct Span {
  double min;
  double max;
};

// Moderate corners and axis cannot make a NaN in a projection.
inline bool ModerateAxis(const Vector3& axis) {
  constexpr double kModerate = 1e100;
  return std::fabs(axis.axes[0]) < kModerate && std::fabs(axis.axes[1]) < kModerate &&
         std::fabs(axis.axes[2]) < kModerate;
}

inline Span ProjectSpan(const Corners& g, const Vector3& axis, bool moderate_axis) {
  const CornerColumns& c = g.columns;
  const double ax = axis.axes[0], ay = axis.axes[1], az = axis.axes[2];
  Span in;
  // Without a NaN, a tree in which the left side keeps ties gives the corner
  // loop's answer: the earliest of the equal ends, so even the sign of a zero
  // end is the same. Anything that may make a NaN takes the loop.
  const bool moderate = c.moderate && moderate_axis;
#ifdef BOXSIM_TWO_LANES
  if (moderate) {
    // Lane by lane, each product and sum rounds as the scalar one would.
    const __m128d vx = _mm_set1_pd(ax), vy = _mm_set1_pd(ay), vz = _mm_set1_pd(az);
    auto dots = [&](std::size_t k) {
      return _mm_add_pd(
          _mm_add_pd(_mm_mul_pd(vx, _mm_load_pd(c.x + k)), _mm_mul_pd(vy, _mm_load_pd(c.y + k))),
          _mm_mul_pd(vz, _mm_load_pd(c.z + k)));
    };
    const __m128d d01 = dots(0), d23 = dots(2), d45 = dots(4), d67 = dots(6);
    // The scalar path's tree, two subtrees at a time: corners (0, 4) against
    // (1, 5) and (2, 6) against (3, 7), then those results, then the two
    // lanes. min_pd(r, l) is lo(l, r) in each lane, ties and all, and
    // max_pd(r, l) is hi(l, r).
    const __m128d left = _mm_unpacklo_pd(d01, d45), right = _mm_unpackhi_pd(d01, d45);
    const __m128d left2 = _mm_unpacklo_pd(d23, d67), right2 = _mm_unpackhi_pd(d23, d67);
    const __m128d lo = _mm_min_pd(_mm_min_pd(right2, left2), _mm_min_pd(right, left));
    const __m128d hi = _mm_max_pd(_mm_max_pd(right2, left2), _mm_max_pd(right, left));
    in.min = _mm_cvtsd_f64(_mm_min_sd(_mm_unpackhi_pd(lo, lo), lo));
    in.max = _mm_cvtsd_f64(_mm_max_sd(_mm_unpackhi_pd(hi, hi), hi));
    return in;
  }
#endif
  // The products of every corner first, on the columns, which the compiler
  // may do two or four at a time: each lane rounds as the scalar sum would.
  double d[8];
  for (std::size_t k = 0; k < 8; ++k)
    d[k] = ax * c.x[k] + ay * c.y[k] + az * c.z[k];
  if (moderate) {
    auto lo = [](double l, double r) { return r < l ? r : l; };
    auto hi = [](double l, double r) { return r > l ? r : l; };
    in.min = lo(lo(lo(d[0], d[1]), lo(d[2], d[3])), lo(lo(d[4], d[5]), lo(d[6], d[7])));
    in.max = hi(hi(hi(d[0], d[1]), hi(d[2], d[3])), hi(hi(d[4], d[5]), hi(d[6], d[7])));
    return in;
  }
  in.min = d[0];
  in.max = d[0];
  for (std::size_t k = 1; k < 8; ++k) {
    if (d[k] < in.min)
      in.min = d[k];
    if (d[k] > in.max)
      in.max = d[k];
  }
  return in;
}

// Both bodies of a pair on one axis, which every test takes: the axis is
// looked at and spread over the lanes once.
struct Spans {
  Span a;
  Span b;
};

Spans ProjectSpans(const Corners& ga, const Corners& gb, const Vector3& axis) {
  const bool moderate_axis = ModerateAxis(axis);
  return Spans{ProjectSpan(ga, axis, moderate_axis), ProjectSpan(gb, axis, moderate_axis)};
}

// Cheap bounds on projections, to set aside axes that cannot matter without
// projecting a corner. Before rounding, a body's corners reach
// a.pos +- Reach(a) on an axis a. The rounding of the corners, their
// products and these bounds stays far below kBoundSlack times the scale of
// the numbers involved (the bodies' bound_scale, times |a| in the 1-norm);
// leaving that much room makes every bound below hold for the rounded
// projections too, strictly.
constexpr double kBoundSlack = 1e-12;

inline double Reach(const WorldGeometry& g, const Vector3& a) {
  return std::fabs(a * g.turn->extents[0]) + std::fabs(a * g.turn->extents[1]) +
         std::fabs(a * g.turn->extents[2]);
}

// v.Normalized(), given its length: the same quotients without the copies.
inline Vector3 Unit(const Vector3& v, double length) {
  if (length == 0.0)
    return v;
  return Vector3(v.axes[0] / length, v.axes[1] / length, v.axes[2] / length);
}

inline double Norm1(const Vector3& a) {
  return std::fabs(a.axes[0]) + std::fabs(a.axes[1]) + std::fabs(a.axes[2]);
}

// For a pair of bodies, lower bounds of the depths an axis a gets in the
// axis search: ProjectSpan(B, a).max - ProjectSpan(A, a).min (plus), and the
// same for -a (minus).
struct DepthBound {
  const WorldGeometry& ga;
  const WorldGeometry& gb;
  Vector3 b_minus_a;
  double slack;

  DepthBound(const WorldGeometry& a, const WorldGeometry& b, const RBody* A, const RBody* B)
      : ga(a),
        gb(b),
        b_minus_a(B->pos - A->pos),
        slack(kBoundSlack * (a.bound_scale + b.bound_scale)) {}

  void Below(const Vector3& a, double* plus, double* minus) const {
    Split(a * b_minus_a, Reach(ga, a) + Reach(gb, a) - slack * Norm1(a), plus, minus);
  }
  // The axis of a face: A's normal negated (side 0) or B's own (side 1). The
  // face's own body reaches as far as it did at this rotation before.
  void BelowFace(int side, std::size_t i, double* plus, double* minus) const {
    const TurnGeometry& own = side == 0 ? *ga.turn : *gb.turn;
    const Vector3& n = own.face_normals[i];
    const double along = n * b_minus_a;
    Split(side == 0 ? -along : along,
          own.face_reach[i] + Reach(side == 0 ? gb : ga, n) - slack * own.face_norm1[i], plus,
          minus);
  }
  double BelowFace(int side, std::size_t i) const {
    double plus, minus;
    BelowFace(side, i, &plus, &minus);
    return plus;
  }
  // A lower bound of the widest gap between the bodies' corners on a world
  // axis; not above 0 where they overlap on all three.
  double WorldGap() const {
    double gap = -std::numeric_limits<double>::infinity();
    for (int i = 0; i < 3; ++i)
      gap = std::max(
          gap, std::fabs(b_minus_a.axes[i]) - (ga.turn->world_reach[i] + gb.turn->world_reach[i]));
    return gap - slack;
  }

 private:
  static void Split(double along, double reach, double* plus, double* minus) {
    *plus = along + reach;
    *minus = reach - along;
  }
};

// The first of candidates 0..N-1 with the least depth(i), as a scan in
// order with a strict comparison from DBL_MAX finds it (N when none is
// below DBL_MAX); *least gets that depth. With bounded, below(i) is a strict lower bound of
// depth(i): the candidate with the least bound is measured first, and a candidate whose bound is
// above a depth already known can neither win nor tie, so it is not measured. A NaN bound compares
// false and is measured.
template <std::size_t N, class Below, class DepthOf>
std::size_t FirstLeast(bool bounded, const Below& below, const DepthOf& depth_of, double* least) {
  std::array<double, N> bounds{};
  double known = std::numeric_limits<double>::infinity();
  std::size_t probe = N;
  double probe_depth = 0;
  if (bounded) {
    for (std::size_t i = 0; i < N; ++i) {
      bounds[i] = below(i);
      if (probe == N || bounds[i] < bounds[probe])
        probe = i;
    }
    probe_depth = depth_of(probe);
    known = probe_depth;
  }
  *least = std::numeric_limits<double>::max();
  std::size_t first = N;
  for (std::size_t i = 0; i < N; ++i) {
    if (bounded && bounds[i] > known)
      continue;
    const double d = i == probe ? probe_depth : depth_of(i);
    if (d < *least) {
      *least = d;
      first = i;
    }
    known = std::min(known, *least);
  }
  return first;
}

// Closed intervals: touching counts as overlapping.
template <class I>
bool Overlap(const I& a, const I& b) {
  return (a.min <= b.min && b.min <= a.max) || (a.min <= b.max && b.max <= a.max) ||
         (b.min <= a.min && a.min <= b.max) || (b.min <= a.max && a.max <= b.max);
}

// How far A's lowest corner lies below B's highest along the axis; the axis is
// taken to point from B towards A.
double Depth(const Corners& corners_a, const Corners& corners_b, const Vector3& axis,
             Vector3* midpoint) {
  if (midpoint == nullptr) {
    const Spans s = ProjectSpans(corners_a, corners_b, axis);
    return s.b.max - s.a.min;
  }
  Interval ia = Project(corners_a, axis);
  Interval ib = Project(corners_b, axis);
  *midpoint = (corners_b.corners[ib.max_k] + corners_a.corners[ia.min_k]) / 2;
  return ib.max - ia.min;
}

Vector3 Negated(const Vector3& v) {
  return v * -1.0;
}

// Edge-edge axes come from the world edge directions one per line (see
// WorldGeometry): an axis met again gives the same depths as before and can
// never win (ties keep the earliest), nor separate where it did not, so each
// line is tried once, at its first edge, which keeps the order of the axes
// that can win.

// Distance of a body-local point from the separating plane (point and normal
// in the same body's frame) is below depth + 0.1. Only corners and edges near
// the plane can touch the other body; the 0.1 (world length) keeps them in
// reach while the depth is tiny or slightly negative.
bool InBand(const Vector3& x, const Vector3& plane_point, const Vector3& normal, double depth) {
  return std::fabs((x - plane_point) * normal) < depth + 0.1;
}

// InBand of each of X's corners, as bit k for corner k.
unsigned BandOf(const RBody* X, const Vector3& plane_point, const Vector3& normal, double depth) {
  unsigned band = 0;
#ifdef BOXSIM_TWO_LANES
  // Two corners at a time from the columns, each lane rounding as InBand does.
  const CornerColumns& c = X->vertex_columns;
  const __m128d px = _mm_set1_pd(plane_point.axes[0]), py = _mm_set1_pd(plane_point.axes[1]),
                pz = _mm_set1_pd(plane_point.axes[2]);
  const __m128d nx = _mm_set1_pd(normal.axes[0]), ny = _mm_set1_pd(normal.axes[1]),
                nz = _mm_set1_pd(normal.axes[2]);
  const __m128d limit = _mm_set1_pd(depth + 0.1), sign = _mm_set1_pd(-0.0);
  for (unsigned k = 0; k < 8; k += 2) {
    const __m128d along =
        _mm_add_pd(_mm_add_pd(_mm_mul_pd(_mm_sub_pd(_mm_load_pd(c.x + k), px), nx),
                              _mm_mul_pd(_mm_sub_pd(_mm_load_pd(c.y + k), py), ny)),
                   _mm_mul_pd(_mm_sub_pd(_mm_load_pd(c.z + k), pz), nz));
    const __m128d within = _mm_cmplt_pd(_mm_andnot_pd(sign, along), limit);
    band |= static_cast<unsigned>(_mm_movemask_pd(within)) << k;
  }
  return band;
#endif
  for (unsigned k = 0; k < 8; ++k)
    band |= static_cast<unsigned>(InBand(X->vertices[k], plane_point, normal, depth)) << k;
  return band;
}

// Remembered points lie on their own body's surface: corners, and points of
// its edges brought back to body coordinates. Two boxes apart by a clear gap
// on an axis can then have none of them inside the other, so the point tests
// would all fail and may be skipped. The gap must exceed the margin the ring
// is checked against plus any rounding of the positions involved; a ring
// holding anything else (a point off the surface) takes the full tests.
bool ClearOfRings(const RBody* A, const RBody* B, double gap) {
  return CDetector::GapClearsRings(A, B, gap) && CDetector::RingsWithin(A, B);
}

// ClosestOnEdgeA without copying the edges, and with their directions
// u = A.b - A.a and v = B.b - B.a given: the contact search asks for it for
// every pair of edges near the plane, both ways, and makes each edge's
// direction once.
Vector3 ClosestOnSegment(const Edge& A, const Vector3& u, const Edge& B, const Vector3& v) {
  Vector3 w = u ^ v;
  // u and v are whole edges, so this bound scales with both lengths. The
  // square root is taken only near the bound: away from it the squared
  // length alone decides, as the root is rounded correctly.
  const double squared = w * w;
  if (squared < 0.999999e-6)
    return A.a;
  if (!(squared > 1.000001e-6) && w.Length() < 0.001)
    return A.a;
  const double pos_a = (((B.a - A.a) ^ v) * w) / squared;
  if (pos_a <= 0)
    return A.a;
  if (pos_a >= 1)
    return A.b;
  return A.a + u * pos_a;
}

// An edge's ends where they lie already, the world corners: not copied.
struct Ends {
  const Vector3* a;
  const Vector3* b;
};

// Whether ClosestOnSegment, asked both ways, gives a point other than an end
// of its own edge each time; *ca and *cb get the two points then. The second
// way's cross product v ^ u and difference A.a - B.a are the first's negated,
// but for the sign of a zero or a NaN, so the first's serve: the square and
// the parallel tests are the same, the product sum has the same terms, and a
// zero's sign can change only a sum of zeros, which clamps either way. A NaN
// point, of either sign, fails every test it meets. The caller gives w = u ^ v
// and its square, having set aside the pairs whose square is below
// kParallel: those are parallel to ClosestOnSegment.
constexpr double kParallel = 0.999999e-6;
bool InnerCrossing(const Ends& A, const Vector3& u, const Ends& B, const Vector3& v, Vector3 w,
                   double squared, Vector3* ca, Vector3* cb) {
  if (!(squared > 1.000001e-6) && w.Length() < 0.001)
    return false;
  const Vector3 d = *B.a - *A.a;
  const double pos_a = ((d ^ v) * w) / squared;
  if (pos_a <= 0 || pos_a >= 1)
    return false;
  *ca = *A.a + u * pos_a;
  // Exact comparison on purpose: ClosestOnSegment returns the end point
  // itself when it clamps (or when the edges are nearly parallel), and a
  // point that rounds onto an end is that end too.
  if (*ca == *A.a || *ca == *A.b)
    return false;
  const double pos_b = ((d ^ u) * w) / squared;
  if (pos_b <= 0 || pos_b >= 1)
    return false;
  *cb = *B.a + v * pos_b;
  return !(*cb == *B.a || *cb == *B.b);
}

}  // namespace

bool AreOverlapping(RBody* A, RBody* B, Vector3 axis) {
  return Overlap(Project(WorldCorners(A), axis), Project(WorldCorners(B), axis));
}

double OverlapDepth(RBody* A, RBody* B, Vector3 axis, Vector3* midpoint) {
  return Depth(WorldCorners(A), WorldCorners(B), axis, midpoint);
}

namespace {

// ga and gb: the bodies' world geometries, which the caller has at hand.
Vector3 SeparatingAxis(RBody* A, RBody* B, const WorldGeometry& ga, const WorldGeometry& gb,
                       const CDetector::PairAxes* known) {
  const Corners& corners_a = ga;
  const Corners& corners_b = gb;

  double min_depth = std::numeric_limits<double>::max();
  Vector3 min_normal;
  auto take_if_less = [&](double d, const Vector3& candidate) {
    if (d < min_depth) {
      min_depth = d;
      min_normal = candidate;
    }
  };
  auto depth_on = [&](const Vector3& candidate) {
    const Spans s = ProjectSpans(corners_a, corners_b, candidate);
    return s.b.max - s.a.min;
  };

  // Negated, an outward normal of A points into A, that is from B towards A,
  // the same sense as B's own outward normals. Made when asked for: most
  // faces are set aside by their bounds.
  auto face_axis = [&](std::size_t i) {
    return i < 6 ? Negated(ga.turn->face_normals[i]) : gb.turn->face_normals[i - 6];
  };
  constexpr std::size_t kFaceAxes = 12;
  const bool bounded = ga.bounded && gb.bounded;
  const DepthBound bound(ga, gb, A, B);
  const std::size_t face = FirstLeast<kFaceAxes>(
      bounded,
      [&](std::size_t i) {
        if (known != nullptr)
          return known->face_plus[i];
        return i < 6 ? bound.BelowFace(0, i) : bound.BelowFace(1, i - 6);
      },
      [&](std::size_t i) {
        if (known != nullptr && known->face_measured[i])
          return known->face_depth[i];
        return depth_on(face_axis(i));
      },
      &min_depth);
  if (face < kFaceAxes)
    min_normal = face_axis(face);

  for (std::size_t i = 0; i < ga.turn->edge_line_count; ++i) {
    for (std::size_t j = 0; j < gb.turn->edge_line_count; ++j) {
      const std::size_t k = i * gb.turn->edge_line_count + j;
      Vector3 cross;
      double length;
      if (known != nullptr) {
        length = known->length[k];
      } else {
        cross = ga.turn->edge_lines[i] ^ gb.turn->edge_lines[j];
        length = cross.Length();
      }
      // Unit directions: below 0.001 they are within about 0.057 degrees of
      // parallel and the normalised cross product would be noise.
      if (length < 0.001)
        continue;
      const Vector3 axis = known != nullptr
                               ? Vector3(known->axis[k][0], known->axis[k][1], known->axis[k][2])
                               : Unit(cross, length);
      // Surely deeper on both signs than the best so far: neither wins nor ties.
      if (bounded) {
        double plus, minus;
        if (known != nullptr) {
          plus = known->plus[k];
          minus = known->minus[k];
        } else {
          bound.Below(axis, &plus, &minus);
        }
        if (plus > min_depth && minus > min_depth)
          continue;
      }
      // A cross product has no side of its own; both signs compete, + first.
      // On the negated axis every corner projects to exactly the negated
      // value (rounding is symmetric), so its interval is [-max, -min] with
      // the same corners winning ties, and one projection serves both signs.
      const Spans s = ProjectSpans(corners_a, corners_b, axis);
      const Span& ia = s.a;
      const Span& ib = s.b;
      take_if_less(ib.max - ia.min, axis);
      take_if_less((-ib.min) - (-ia.max), Negated(axis));
    }
  }
  return min_normal;
}

}  // namespace

Vector3 SeparatingAxis(RBody* A, RBody* B) {
  return SeparatingAxis(A, B, A->World(), B->World(), nullptr);
}

namespace {

// below, when given, holds the bounds of B's six faces as the pair's axis
// tests made them: from the other side of the pair they differ at most in
// the sign of a zero, which no comparison of FirstLeast tells apart.
Face* MinimumPenFaceSecond(RBody* A, RBody* B, const Corners& corners_a, const WorldGeometry& gb,
                           const double* below) {
  const bool bounded = corners_a.bounded && gb.bounded;
  const DepthBound bound(corners_a, gb, A, B);
  double min_pen;
  const std::size_t face = FirstLeast<6>(
      bounded, [&](std::size_t i) { return below != nullptr ? below[i] : bound.BelowFace(1, i); },
      [&](std::size_t i) { return Depth(corners_a, gb, gb.turn->face_normals[i], nullptr); },
      &min_pen);
  return &B->faces[face < 6 ? face : 0];
}

}  // namespace

Face* MinimumPenFaceSecond(RBody* A, RBody* B) {
  return MinimumPenFaceSecond(A, B, A->World(), B->World(), nullptr);
}

namespace {

// EvaluatePoint's depth: the overlap of the two bodies on the stored normal.
double PointDepth(const CollisionPoint& cp, const Corners& corners_a, const Corners& corners_b) {
  if (cp.eA != nullptr && cp.eB != nullptr)
    return Depth(corners_a, corners_b, cp.n, nullptr);
  // Overlap of the two intervals on n; the first wins a tie. Each span is
  // taken once: Depth would project both bodies twice.
  const Spans s = ProjectSpans(corners_a, corners_b, cp.n);
  const double ab = s.b.max - s.a.min;
  const double ba = s.a.max - s.b.min;
  return ba < ab ? ba : ab;
}

}  // namespace

double PointEvaluator::Depth(const CollisionPoint& cp) {
  const bool edge = cp.eA != nullptr && cp.eB != nullptr;
  if (has_last_ && edge == last_edge_ &&
      std::memcmp(cp.n.axes, last_n_.axes, sizeof cp.n.axes) == 0)
    return last_depth_;
  Look();
  last_depth_ = PointDepth(cp, *ga_, *gb_);
  has_last_ = true;
  last_edge_ = edge;
  last_n_ = cp.n;
  return last_depth_;
}

Vector3 PointEvaluator::Point(const CollisionPoint& cp) {
  Look();
  return PointWorld(cp, *ga_, A_);
}

void PointEvaluator::Look() {
  if (ga_ != nullptr)
    return;
  ga_ = &A_->World();
  gb_ = &B_->World();
}

PointEvaluation PointEvaluator::Evaluate(const CollisionPoint& cp) {
  PointEvaluation e;
  e.p = Point(cp);
  e.n = cp.n;
  e.depth = Depth(cp);
  return e;
}

double HighestRelVel(Collision* col) {
  double max_rel_vel = 0;
  for (int i = 0; i < 2; ++i) {
    RBody* self = col->bodies[i];
    RBody* other = col->bodies[1 - i];
    for (const CollisionPoint& cp : col->points[i]) {
      // The depth plays no part here.
      double v = CDetector::RelativeVelocity(PointWorld(cp, self), cp.n, self, other);
      // Signed on purpose: the caller tells approach (< 0) from separation.
      if (std::fabs(v) > std::fabs(max_rel_vel))
        max_rel_vel = v;
    }
  }
  return max_rel_vel;
}

namespace {

// IsPointInside with the body's world geometry at hand: the contact search
// tests many points against the same body.
bool Inside(const Vector3& p, const WorldGeometry& g) {
  for (std::size_t i = 0; i < g.turn->face_normals.size(); ++i) {
    // On the plane counts as inside, so resting faces keep their contact.
    if ((p - g.face_points[i]) * g.turn->face_normals[i] > 0)
      return false;
  }
  return true;
}

}  // namespace

namespace CDetector {

bool IsPointInside(Vector3 p, RBody* B) {
  return Inside(p, B->World());
}

namespace {

// The axis tests of a pair, which read the bodies and nothing else.
class AxisTests {
 public:
  // What the probe axis alone tells: the spheres are apart (no test made),
  // the probe separates by at least gap(), or it does not separate.
  enum class Probe { kSpheresApart, kSeparated, kOverlapping };

  AxisTests(RBody* A, RBody* B) : A_(A), B_(B) {}

  // Most pairs of a crowd end at the sphere or world-axis gap stage. Those
  // stages go inline into the pair tests; the face probe after them is kept
  // out of line, or the whole is too large to inline.
  Probe ProbeAxis() {
    Vector3 between = A_->pos - B_->pos;
    if (between.Length() > A_->bounding_radius + B_->bounding_radius)
      return Probe::kSpheresApart;
    ga_ = &A_->World();
    gb_ = &B_->World();
    const WorldGeometry& ga = *ga_;
    const WorldGeometry& gb = *gb_;
    bounded_ = ga.bounded && gb.bounded;
    if (bounded_ && ga.turn->orthonormal && gb.turn->orthonormal) {
      // Two boxes a gap g apart on a world axis are at least g apart, and
      // then one of the listed axes (a facet normal of their difference, at
      // its point nearest the origin) separates them by at least g / sqrt(3).
      // Rounding, a matrix not quite a rotation and nearly parallel edges
      // take far less than a thousandth of the radii from that, so the axis
      // tests would find an axis that separates, and the gap stands for it.
      const DepthBound bound(ga, gb, A_, B_);
      const double gap = bound.WorldGap();
      if (gap > 1e-3 * (A_->bounding_radius + B_->bounding_radius) + 1e3 * bound.slack) {
        gap_ = gap;
        return Probe::kSeparated;
      }
    }
    return ProbeFace();
  }

  // A lower bound of the gap on the axis that separated, after kSeparated.
  double gap() const { return gap_; }

  // Every listed axis, after kOverlapping. When none separates, *memo (if
  // given) holds the axes as measured here, which the contact search and
  // its least-penetrated faces read again.
  bool AnySeparates(CDetector::PairAxes* memo = nullptr) const {
    const WorldGeometry& ga = *ga_;
    const WorldGeometry& gb = *gb_;
    if (memo != nullptr && ga.turn->edge_line_count * gb.turn->edge_line_count > 9)
      memo = nullptr;  // more lines than it holds: left unfilled
    for (int side = 0; side < 2; ++side) {
      const bool opposite = (side == 0 ? ga : gb).turn->opposite_faces;
      double plus = 0, minus = 0;
      for (std::size_t i = 0; i < 6; ++i) {
        // The face opposite the last: the same terms with the normal's
        // sign, so the two bounds trade places (up to the sign of a zero,
        // which no comparison sees).
        if (bounded_ && opposite && i % 2 == 1)
          std::swap(plus, minus);
        else if (bounded_)
          bound_->BelowFace(side, i, &plus, &minus);
        // Separates, with the depth kept where it was measured.
        const bool measured = !(bounded_ && plus > 0 && minus > 0);
        Span sa{0, 0}, sb{0, 0};
        if (measured) {
          const Vector3& n = side == 0 ? ga.turn->face_normals[i] : gb.turn->face_normals[i];
          const Vector3 axis = side == 0 ? Negated(n) : n;
          const Spans s = ProjectSpans(ga, gb, axis);
          sa = s.a;
          sb = s.b;
          if (!Overlap(sa, sb))
            return true;
        }
        if (memo != nullptr) {
          const std::size_t k = 6 * static_cast<std::size_t>(side) + i;
          memo->face_plus[k] = plus;
          memo->face_measured[k] = measured;
          memo->face_depth[k] = sb.max - sa.min;
        }
      }
    }
    // No threshold here: parallel edges give a zero axis, which projects
    // every corner to 0 and so can never separate.
    for (std::size_t i = 0; i < ga.turn->edge_line_count; ++i) {
      for (std::size_t j = 0; j < gb.turn->edge_line_count; ++j) {
        Vector3 cross = ga.turn->edge_lines[i] ^ gb.turn->edge_lines[j];
        const double length = cross.Length();
        const Vector3 axis = Unit(cross, length);
        double plus = 0, minus = 0;
        if (bounded_)
          bound_->Below(axis, &plus, &minus);
        if (Separates(axis, plus, minus))
          return true;
        if (memo != nullptr) {
          const std::size_t k = i * gb.turn->edge_line_count + j;
          std::copy(axis.axes, axis.axes + 3, memo->axis[k]);
          memo->length[k] = length;
          memo->plus[k] = plus;
          memo->minus[k] = minus;
        }
      }
    }
    if (memo != nullptr) {
      memo->filled = true;
      memo->a = A_;
      memo->b = B_;
    }
    return false;
  }

 private:
  // Neighbours that do not touch are usually split by the face axis closest
  // to the line between the centres, so that one of the listed axes is tried
  // first.
  [[gnu::noinline]] Probe ProbeFace() {
    const WorldGeometry& ga = *ga_;
    const WorldGeometry& gb = *gb_;
    bound_.emplace(ga, gb, A_, B_);
    const Vector3 between_centres = A_->pos - B_->pos;
    int probe_side = 1;
    std::size_t probe = 0;
    double best = -1;
    // Faces come in opposite pairs, so every other normal is enough: the
    // second of a pair gives the same |n . d| and would lose the tie anyway.
    for (int side = 0; side < 2; ++side) {
      const auto& normals = side == 0 ? ga.turn->face_normals : gb.turn->face_normals;
      for (std::size_t i = 0; i < normals.size(); i += 2) {
        const double along = std::fabs(normals[i] * between_centres);
        if (along > best) {
          best = along;
          probe = i;
          probe_side = side;
        }
      }
    }
    const Vector3& probe_normal =
        probe_side == 0 ? ga.turn->face_normals[probe] : gb.turn->face_normals[probe];
    const Vector3 probe_axis = probe_side == 0 ? Negated(probe_normal) : probe_normal;
    double plus = 0, minus = 0, room = 0;
    if (bounded_) {
      bound_->BelowFace(probe_side, probe, &plus, &minus);
      room = 2 * bound_->slack * Norm1(probe_axis);
    }
    if (bounded_ && (plus + room < 0 || minus + room < 0)) {
      // Surely apart, by at least this much.
      gap_ = std::max(-(plus + room), -(minus + room));
      return Probe::kSeparated;
    }
    if (!bounded_ || !(plus > 0 && minus > 0)) {
      const Spans s = ProjectSpans(ga, gb, probe_axis);
      const Span& pa = s.a;
      const Span& pb = s.b;
      if (!Overlap(pa, pb)) {
        gap_ = std::max(pb.min - pa.max, pa.min - pb.max);
        return Probe::kSeparated;
      }
    }
    return Probe::kOverlapping;
  }

  // An axis whose depths (B over A, A over B) are both bounded above 0
  // surely overlaps and cannot separate.
  bool Separates(const Vector3& axis, double plus, double minus) const {
    if (bounded_ && plus > 0 && minus > 0)
      return false;
    const Spans s = ProjectSpans(*ga_, *gb_, axis);
    return !Overlap(s.a, s.b);
  }

  RBody* A_;
  RBody* B_;
  const WorldGeometry* ga_ = nullptr;
  const WorldGeometry* gb_ = nullptr;
  bool bounded_ = false;
  std::optional<DepthBound> bound_;
  double gap_ = 0;
};

}  // namespace

// A point that was in contact lately and still lies inside the other body
// accepts the pair without the axis tests, whoever the earlier partner was.
bool RecentPointInside(RBody* A, RBody* B) {
  const WorldGeometry& ga = A->World();
  const WorldGeometry& gb = B->World();
  for (int i = 0; i < A->recent_cols_size; ++i)
    if (Inside(ga.turn->rotation * A->recent_cols[i] + A->pos, gb))
      return true;
  for (int i = 0; i < B->recent_cols_size; ++i)
    if (Inside(gb.turn->rotation * B->recent_cols[i] + B->pos, ga))
      return true;
  return false;
}

bool GapClearsRings(const RBody* A, const RBody* B, double gap) {
  double scale = A->bounding_radius + B->bounding_radius;
  for (int k = 0; k < 3; ++k)
    scale += std::fabs(A->pos.axes[k]) + std::fabs(B->pos.axes[k]);
  return gap > 1e-6 + 1e-12 * scale;
}

bool DetectCollision(RBody* A, RBody* B) {
  // The answer is "a recent point inside, or no listed axis separates", which
  // no order of the tests changes.
  AxisTests tests(A, B);
  switch (tests.ProbeAxis()) {
    case AxisTests::Probe::kSpheresApart:
      return false;
    case AxisTests::Probe::kSeparated:
      return RingsAccept(A, B, tests.gap());
    case AxisTests::Probe::kOverlapping:
      break;
  }
  if (RecentPointInside(A, B))
    return true;
  return !tests.AnySeparates();
}

AxisVerdict TestAxes(RBody* A, RBody* B, double* gap) {
  return TestAxes(A, B, gap, nullptr);
}

AxisVerdict TestAxes(RBody* A, RBody* B, double* gap, PairAxes* memo) {
  if (memo != nullptr)
    memo->filled = false;
  AxisTests tests(A, B);
  *gap = -std::numeric_limits<double>::infinity();
  switch (tests.ProbeAxis()) {
    case AxisTests::Probe::kSpheresApart:
      return AxisVerdict::kApart;
    case AxisTests::Probe::kSeparated:
      *gap = tests.gap();
      return AxisVerdict::kSeparated;
    case AxisTests::Probe::kOverlapping:
      break;
  }
  return tests.AnySeparates(memo) ? AxisVerdict::kSeparated : AxisVerdict::kOverlapping;
}

bool RingsAccept(RBody* A, RBody* B, double gap) {
  // A clear gap leaves no ring point inside the other body.
  if (ClearOfRings(A, B, gap))
    return false;
  return RecentPointInside(A, B);
}

namespace {

// Records kept for handing out again, deleted with their keeper.
struct KeptRecords {
  std::vector<Collision*> kept;
  ~KeptRecords() {
    for (Collision* c : kept)
      delete c;
  }
};

// Kept records, up to about what a large scene's step holds at once.
struct RecordPool : KeptRecords {
  static constexpr std::size_t kKept = 2048;
  std::mutex mutex;
};

RecordPool& Pool() {
  static RecordPool pool;
  return pool;
}

// Each thread's own few records in front of the shared ones, which pass in
// batches: a step makes and returns hundreds on both threads, and taking the
// mutex for each, its line going from core to core, cost more than the rest
// of making a record. Deleted, not handed back, when the thread ends: the
// shared pool may be gone by then.
struct LocalRecords : KeptRecords {
  static constexpr std::size_t kBatch = 32;
};

LocalRecords& Local() {
  thread_local LocalRecords local;
  return local;
}

}  // namespace

Collision* NewCollision() {
  std::vector<Collision*>& local = Local().kept;
  if (local.empty()) {
    RecordPool& pool = Pool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    const std::size_t take = std::min(pool.kept.size(), LocalRecords::kBatch);
    local.insert(local.end(), pool.kept.end() - static_cast<std::ptrdiff_t>(take), pool.kept.end());
    pool.kept.resize(pool.kept.size() - take);
  }
  if (local.empty())
    return new Collision;
  Collision* c = local.back();
  local.pop_back();
  return c;
}

void Recycle(Collision* record) {
  if (record == nullptr)
    return;
  record->bodies[0] = record->bodies[1] = nullptr;
  record->keep_evaluations = false;
  record->has_evaluations = false;
  std::memset(record->evaluated_at, 0, sizeof record->evaluated_at);
  for (int i = 0; i < 2; ++i) {
    record->points[i].clear();
    record->evaluations[i].clear();
  }
  std::vector<Collision*>& local = Local().kept;
  local.push_back(record);
  if (local.size() < 2 * LocalRecords::kBatch)
    return;
  // The older half goes to the shared pool, as far as it keeps records.
  const auto half = local.begin() + static_cast<std::ptrdiff_t>(LocalRecords::kBatch);
  {
    RecordPool& pool = Pool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    for (auto it = local.begin(); it != half; ++it) {
      if (pool.kept.size() < RecordPool::kKept) {
        pool.kept.push_back(*it);
        *it = nullptr;
      }
    }
  }
  for (auto it = local.begin(); it != half; ++it)
    delete *it;
  local.erase(local.begin(), half);
}

Collision* GetCollisionPoints(RBody* A, RBody* B) {
  return GetCollisionPoints(A, B, true);
}

namespace {

Collision* ContactPoints(RBody* A, RBody* B, bool remember, const PairAxes* memo) {
  Collision* col = NewCollision();
  col->bodies[0] = A;
  col->bodies[1] = B;

  // The poses stand throughout: each geometry is looked up once.
  const WorldGeometry& ga = A->World();
  const WorldGeometry& gb = B->World();

  // World, from B towards A.
  const Vector3 normal_b_to_a = SeparatingAxis(A, B, ga, gb, memo);
  Vector3 separating_plane_point;
  const double depth = Depth(ga, gb, normal_b_to_a, &separating_plane_point);

  // The plane in each body's own frame, so the band test works on local
  // corners and edges without transforming them.
  // PointGlobalToLocal and VectorGlobalToLocal with the inverse made once per pose.
  const Matrix3x3& inv_a = ga.turn->inverse_rotation;
  const Matrix3x3& inv_b = gb.turn->inverse_rotation;
  const Vector3 plane_point_local_A = inv_a * (separating_plane_point - A->pos);
  const Vector3 plane_point_local_B = inv_b * (separating_plane_point - B->pos);
  const Vector3 normal_local_A = inv_a * normal_b_to_a;
  const Vector3 normal_local_B = inv_b * normal_b_to_a;

  // Each corner's band test, once, as bit k of a set: an edge's ends are
  // corners bit for bit (see edge_corners), so an edge reads its ends'
  // answers.
  const unsigned band_a = BandOf(A, plane_point_local_A, normal_local_A, depth);
  const unsigned band_b = BandOf(B, plane_point_local_B, normal_local_B, depth);

  // Corners of X (X-local, in `vertices` order) inside Y. Their face is the
  // face of Y that X penetrates least, with its world normal pointing from Y
  // towards X; it depends only on the pair, so it is found once, and only
  // when a corner needs it.
  auto add_corners = [remember](RBody* X, const WorldGeometry& gx, RBody* Y,
                                const WorldGeometry& gy, unsigned in_band, const double* below_y,
                                std::vector<CollisionPoint>* points) {
    Face* face = nullptr;
    Vector3 normal;
    // The corners in the band, in `vertices` order.
    for (; in_band != 0; in_band &= in_band - 1) {
      const std::size_t k = static_cast<std::size_t>(__builtin_ctz(in_band));
      const Vector3& v = X->vertices[k];
      if (!Inside(gx.corners[k], gy))
        continue;
      if (face == nullptr) {
        face = MinimumPenFaceSecond(X, Y, gx, gy, below_y);
        // R n, made with the world geometry.
        normal = gy.turn->face_normals[static_cast<std::size_t>(face - Y->faces.data())];
      }
      // One allocation for a typical face's points, not one per doubling.
      if (points->empty())
        points->reserve(4);
      CollisionPoint cp;
      cp.p = v;
      cp.f = face;
      cp.n = normal;
      points->push_back(cp);
      if (remember)
        X->RememberColPoint(v);
    }
  };
  // The axis tests' face bounds: B's faces come after A's.
  add_corners(A, ga, B, gb, band_a, memo != nullptr ? memo->face_plus + 6 : nullptr,
              &col->points[0]);
  add_corners(B, gb, A, ga, band_b, memo != nullptr ? memo->face_plus : nullptr, &col->points[1]);

  // Only edges lying within the band along their whole length can cross.
  // Fixed storage: a box has twelve edges, and a pair allocates nothing here.
  struct EdgeList {
    std::array<std::size_t, 12> at;
    std::size_t size = 0;
  };
  auto edges_in_band = [](const RBody* X, unsigned in_band) {
    EdgeList list;
    for (unsigned set = X->edges_within[in_band]; set != 0; set &= set - 1)
      list.at[list.size++] = static_cast<std::size_t>(__builtin_ctz(set));
    return list;
  };
  const EdgeList edges_a = edges_in_band(A, band_a);
  const EdgeList edges_b = edges_in_band(B, band_b);

  // R e + pos of an edge's ends are its corners' world points. InnerCrossing
  // takes the directions b - a beside them, made once per edge.
  auto world_edge = [](const WorldGeometry& g, const RBody* X, std::size_t e) {
    return Ends{&g.corners[X->edge_corners[e][0]], &g.corners[X->edge_corners[e][1]]};
  };
  std::array<Ends, 12> world_edges_b;
  std::array<Vector3, 12> along_b;
  for (std::size_t k = 0; k < edges_b.size; ++k) {
    world_edges_b[k] = world_edge(gb, B, edges_b.at[k]);
    along_b[k] = *world_edges_b[k].b - *world_edges_b[k].a;
  }
  // Per edge of A, the cross products with B's and their squares, which set
  // most nearly parallel pairs aside: two at a time from B's directions in
  // columns where the lanes are at hand, each lane rounding as u ^ v does.
  alignas(16) double wx[12], wy[12], wz[12], squares[12];
#ifdef BOXSIM_TWO_LANES
  alignas(16) double bx[12], by[12], bz[12];
  for (std::size_t k = 0; k < edges_b.size; ++k) {
    bx[k] = along_b[k].axes[0];
    by[k] = along_b[k].axes[1];
    bz[k] = along_b[k].axes[2];
  }
  if (edges_b.size % 2 == 1) {
    const std::size_t k = edges_b.size;
    bx[k] = by[k] = bz[k] = 0;
  }
#endif
  // Written before they are read, each time.
  Vector3 ca, cb;
  for (std::size_t i = 0; i < edges_a.size; ++i) {
    Edge* ea = &A->edges[edges_a.at[i]];
    const Ends world_a = world_edge(ga, A, edges_a.at[i]);
    const Vector3 along_a = *world_a.b - *world_a.a;
    unsigned parallel = 0;
#ifdef BOXSIM_TWO_LANES
    const __m128d ux = _mm_set1_pd(along_a.axes[0]), uy = _mm_set1_pd(along_a.axes[1]),
                  uz = _mm_set1_pd(along_a.axes[2]), parallel_below = _mm_set1_pd(kParallel);
    for (std::size_t k = 0; k < edges_b.size; k += 2) {
      const __m128d vx = _mm_load_pd(bx + k), vy = _mm_load_pd(by + k), vz = _mm_load_pd(bz + k);
      const __m128d x = _mm_sub_pd(_mm_mul_pd(uy, vz), _mm_mul_pd(uz, vy));
      const __m128d y = _mm_sub_pd(_mm_mul_pd(uz, vx), _mm_mul_pd(ux, vz));
      const __m128d z = _mm_sub_pd(_mm_mul_pd(ux, vy), _mm_mul_pd(uy, vx));
      const __m128d squared =
          _mm_add_pd(_mm_add_pd(_mm_mul_pd(x, x), _mm_mul_pd(y, y)), _mm_mul_pd(z, z));
      _mm_store_pd(wx + k, x);
      _mm_store_pd(wy + k, y);
      _mm_store_pd(wz + k, z);
      _mm_store_pd(squares + k, squared);
      parallel |= static_cast<unsigned>(_mm_movemask_pd(_mm_cmplt_pd(squared, parallel_below)))
                  << k;
    }
#else
    for (std::size_t k = 0; k < edges_b.size; ++k) {
      const Vector3 w = along_a ^ along_b[k];
      wx[k] = w.axes[0];
      wy[k] = w.axes[1];
      wz[k] = w.axes[2];
      squares[k] = w * w;
      parallel |= static_cast<unsigned>(squares[k] < kParallel) << k;
    }
#endif
    for (std::size_t k = 0; k < edges_b.size; ++k) {
      Edge* eb = &B->edges[edges_b.at[k]];
      // A crossing at an end is a corner, which the corner tests cover.
      if ((parallel >> k & 1) != 0 ||
          !InnerCrossing(world_a, along_a, world_edges_b[k], along_b[k],
                         Vector3(wx[k], wy[k], wz[k]), squares[k], &ca, &cb))
        continue;
      // Crossings further apart than twice the depth are not touching.
      if ((ca - cb).Length() > depth * 2)
        continue;
      if (!Inside(ca, gb) && !Inside(cb, ga))
        continue;
      CollisionPoint cp;
      cp.eA = ea;
      cp.eB = eb;
      cp.p = inv_a * (ca - A->pos);
      cp.n = normal_b_to_a;
      if (remember)
        A->RememberColPoint(cp.p);
      col->points[0].push_back(cp);
    }
  }
  return col;
}

}  // namespace

Collision* GetCollisionPoints(RBody* A, RBody* B, bool remember) {
  return ContactPoints(A, B, remember, nullptr);
}

Collision* GetCollisionPoints(RBody* A, RBody* B, bool remember, const PairAxes& axes) {
  const bool ours = axes.filled && axes.a == A && axes.b == B;
  return ContactPoints(A, B, remember, ours ? &axes : nullptr);
}

void RememberPoints(const Collision& record) {
  for (int i = 0; i < 2; ++i)
    for (const CollisionPoint& cp : record.points[i])
      record.bodies[i]->RememberColPoint(cp.p);
}

Vector3 ClosestOnEdgeA(Edge A, Edge B) {
  return ClosestOnSegment(A, A.b - A.a, B, B.b - B.a);
}

PointEvaluation EvaluatePoint(CollisionPoint cp, RBody* A, RBody* B) {
  PointEvaluation e;
  // PointLocalToGlobal, with the pose's cached matrix.
  e.p = PointWorld(cp, A);
  // The normal stays as it was when the point was made; it does not turn
  // with the body.
  e.n = cp.n;
  e.depth = PointDepth(cp, WorldCorners(A), WorldCorners(B));
  return e;
}

double RelativeVelocity(Vector3 p, Vector3 n, RBody* A, RBody* B) {
  const Vector3 pa = p - A->pos;
  const Vector3 pb = p - B->pos;
  const Vector3 vpa = A->vel + (A->ang_vel ^ pa);
  const Vector3 vpb = B->vel + (B->ang_vel ^ pb);
  return (vpa - vpb) * n;
}

void CheckAll(std::vector<RBody*>* bodies, std::vector<Collision*>* collisions,
              std::vector<Collision*>* contacts, double eps) {
  for (Collision* c : *collisions)
    Recycle(c);
  collisions->clear();
  for (Collision* c : *contacts)
    Recycle(c);
  contacts->clear();

  // rel_vel: HighestRelVel(col), which may be made in the first pass: the
  // poses and velocities stay.
  auto keep_or_drop = [&](Collision* col, double rel_vel) {
    if ((!col->points[0].empty() || !col->points[1].empty()) && std::fabs(rel_vel) >= eps) {
      collisions->push_back(col);
    } else {
      Recycle(col);
    }
  };
  const std::size_t n = bodies->size();
  if (n < PairThreads::kFrom) {
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = i + 1; j < n; ++j) {
        RBody* a = (*bodies)[i];
        RBody* b = (*bodies)[j];
        if (!SpheresApart(a, b) && DetectCollision(a, b)) {
          Collision* record = GetCollisionPoints(a, b);
          keep_or_drop(record, HighestRelVel(record));
        }
      }
    }
    return;
  }

  // See PairThreads: the first pass reads poses alone, the second takes the
  // pairs in order for what the rings decide.
  static std::vector<std::vector<PairThreads::Found>> found;
  static SphereColumns spheres;
  found.resize(std::max(found.size(), n));
  spheres.Resize(n);
  // Made here, each body's on either thread: the first pass only reads them.
  const std::function<void(std::size_t)> make_world = [&](std::size_t i) {
    (*bodies)[i]->World();
    spheres.Set(i, SphereOf((*bodies)[i]));
  };
  PairThreads::Run(n, make_world);
  spheres.Group();
  const std::function<void(std::size_t)> first_pass = [&](std::size_t i) {
    std::vector<PairThreads::Found>& out = found[i];
    out.clear();
    RBody* a = (*bodies)[i];
    spheres.ForNear(SphereOf(a), i + 1, i, [&](std::size_t j) {
      if (Collision* record = PairThreads::Test(a, (*bodies)[j], j, &out))
        out.back().rel_vel = HighestRelVel(record);
    });
  };
  PairThreads::Run(n, first_pass);
  static RingsWithinPass rings;
  rings.Reset(n);
  for (std::size_t i = 0; i < n; ++i) {
    RBody* a = (*bodies)[i];
    for (const PairThreads::Found& pair : found[i]) {
      RBody* b = (*bodies)[pair.j];
      Collision* record = pair.record;
      double rel_vel = pair.rel_vel;
      if (record == nullptr) {
        // RingsAccept, its pose part taken in the first pass.
        if ((pair.clears_rings && rings.Within(i, a, pair.j, b)) || !RecentPointInside(a, b))
          continue;
        record = GetCollisionPoints(a, b, false);
        rel_vel = HighestRelVel(record);
      }
      rings.Remember(*record, i, pair.j);
      keep_or_drop(record, rel_vel);
    }
  }
}

}  // namespace CDetector
