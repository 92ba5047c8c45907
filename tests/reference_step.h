#pragma once

// The step's pair loops, narrow phase and point scans exactly as they stood
// before the fast paths (detection, contact points, the solvers' point
// scans, the resting graph with a trial step per ordered pair), for the
// equivalence test. Only the integrator and the body's own transforms come
// from the library. Do not optimise this copy.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>
#include <vector>

#include "collision/cdetector.h"
#include "integration/ode_solver.h"
#include "math/matrix3x3.h"
#include "response/csolver.h"
#include "response/resting.h"
#include "response/trace.h"

namespace reference {

using CSolver::ScanResult;
Collision* GetCollisionPoints(RBody* A, RBody* B);
Vector3 ClosestOnEdgeA(Edge A, Edge B);
PointEvaluation EvaluatePoint(CollisionPoint cp, RBody* A, RBody* B);
double RelativeVelocity(Vector3 p, Vector3 n, RBody* A, RBody* B);
bool IsPointInside(Vector3 p, RBody* B);
void SolveCollision(Collision* collision, double delta_time);

// Both peers must pick the same axis, face and corners bit for bit, so every
// loop below keeps its list order and every comparison its strictness: ties
// are won by the earliest candidate.

namespace {

// Every body is a box: eight corners.
using Corners = std::array<Vector3, 8>;

// A body's corners in world coordinates, in `vertices` order. Computed once per
// test so the many axis projections of one pair share the transform; the values
// are the same R * v + pos that PointLocalToGlobal gives.
Corners WorldCorners(RBody* X) {
  Matrix3x3 r = X->RotationMatrix();
  Corners corners;
  for (std::size_t k = 0; k < corners.size(); ++k)
    corners[k] = r * X->vertices[k] + X->pos;
  return corners;
}

// Projection interval of a body on a world axis (not necessarily unit length),
// with the index of the first corner attaining each end.
struct Interval {
  double min;
  double max;
  std::size_t min_k;
  std::size_t max_k;
};

Interval Project(const Corners& corners, const Vector3& axis) {
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

// Closed intervals: touching counts as overlapping.
bool Overlap(const Interval& a, const Interval& b) {
  return (a.min <= b.min && b.min <= a.max) || (a.min <= b.max && b.max <= a.max) ||
         (b.min <= a.min && a.min <= b.max) || (b.min <= a.max && a.max <= b.max);
}

// How far A's lowest corner lies below B's highest along the axis; the axis is
// taken to point from B towards A.
double Depth(const Corners& corners_a, const Corners& corners_b, const Vector3& axis,
             Vector3* midpoint) {
  Interval ia = Project(corners_a, axis);
  Interval ib = Project(corners_b, axis);
  if (midpoint != nullptr)
    *midpoint = (corners_b[ib.max_k] + corners_a[ia.min_k]) / 2;
  return ib.max - ia.min;
}

Vector3 Negated(const Vector3& v) {
  return v * -1.0;
}

// World directions of a body's edges, one per line: a box's four parallel
// edges share a direction up to sign, and negation is exact all the way
// through the cross product, its normalisation and the projections. An axis
// met again gives the same depths as before and can never win (ties keep the
// earliest), nor separate where it did not, so each line is tried once, at its
// first edge, which keeps the order of the axes that can win.
struct EdgeLines {
  std::array<Vector3, 12> dir;
  std::size_t size = 0;
};

EdgeLines WorldEdgeLines(RBody* X, const Matrix3x3& r) {
  EdgeLines lines;
  for (const Edge& e : X->edges) {
    const Vector3 d = r * e.dir;
    bool seen = false;
    for (std::size_t k = 0; k < lines.size && !seen; ++k)
      seen = lines.dir[k] == d || lines.dir[k] == Negated(d);
    if (!seen && lines.size < lines.dir.size())
      lines.dir[lines.size++] = d;
  }
  return lines;
}

// Distance of a body-local point from the separating plane (point and normal
// in the same body's frame) is below depth + 0.1. Only corners and edges near
// the plane can touch the other body; the 0.1 (world length) keeps them in
// reach while the depth is tiny or slightly negative.
bool InBand(const Vector3& x, const Vector3& plane_point, const Vector3& normal, double depth) {
  return std::fabs((x - plane_point) * normal) < depth + 0.1;
}

}  // namespace

bool AreOverlapping(RBody* A, RBody* B, Vector3 axis) {
  return Overlap(Project(WorldCorners(A), axis), Project(WorldCorners(B), axis));
}

double OverlapDepth(RBody* A, RBody* B, Vector3 axis, Vector3* midpoint) {
  return Depth(WorldCorners(A), WorldCorners(B), axis, midpoint);
}

Vector3 SeparatingAxis(RBody* A, RBody* B) {
  const Corners corners_a = WorldCorners(A);
  const Corners corners_b = WorldCorners(B);
  const Matrix3x3 ra = A->RotationMatrix();
  const Matrix3x3 rb = B->RotationMatrix();

  double min_depth = std::numeric_limits<double>::max();
  Vector3 min_normal;
  auto take_if_less = [&](double d, const Vector3& candidate) {
    if (d < min_depth) {
      min_depth = d;
      min_normal = candidate;
    }
  };
  auto consider = [&](const Vector3& candidate) {
    take_if_less(Depth(corners_a, corners_b, candidate, nullptr), candidate);
  };

  // Negated, an outward normal of A points into A, that is from B towards A,
  // the same sense as B's own outward normals.
  for (int i = 0; i < A->FaceNum(); ++i)
    consider(Negated(ra * A->faces[i].n));
  for (int i = 0; i < B->FaceNum(); ++i)
    consider(rb * B->faces[i].n);

  const EdgeLines lines_a = WorldEdgeLines(A, ra);
  const EdgeLines lines_b = WorldEdgeLines(B, rb);
  for (std::size_t i = 0; i < lines_a.size; ++i) {
    for (std::size_t j = 0; j < lines_b.size; ++j) {
      Vector3 cross = lines_a.dir[i] ^ lines_b.dir[j];
      // Unit directions: below 0.001 they are within about 0.057 degrees of
      // parallel and the normalised cross product would be noise.
      if (cross.Length() < 0.001)
        continue;
      const Vector3 axis = cross.Normalized();
      // A cross product has no side of its own; both signs compete, + first.
      // On the negated axis every corner projects to exactly the negated
      // value (rounding is symmetric), so its interval is [-max, -min] with
      // the same corners winning ties, and one projection serves both signs.
      const Interval ia = Project(corners_a, axis);
      const Interval ib = Project(corners_b, axis);
      take_if_less(ib.max - ia.min, axis);
      take_if_less((-ib.min) - (-ia.max), Negated(axis));
    }
  }
  return min_normal;
}

Face* MinimumPenFaceSecond(RBody* A, RBody* B) {
  const Corners corners_a = WorldCorners(A);
  const Corners corners_b = WorldCorners(B);
  const Matrix3x3 rb = B->RotationMatrix();
  double min_pen = std::numeric_limits<double>::max();
  Face* min_face = &B->faces[0];
  for (int i = 0; i < B->FaceNum(); ++i) {
    double pen = Depth(corners_a, corners_b, rb * B->faces[i].n, nullptr);
    if (pen < min_pen) {
      min_face = &B->faces[i];
      min_pen = pen;
    }
  }
  return min_face;
}

double HighestRelVel(Collision* col) {
  double max_rel_vel = 0;
  for (int i = 0; i < 2; ++i) {
    RBody* self = col->bodies[i];
    RBody* other = col->bodies[1 - i];
    for (const CollisionPoint& cp : col->points[i]) {
      PointEvaluation e = EvaluatePoint(cp, self, other);
      double v = RelativeVelocity(e.p, e.n, self, other);
      // Signed on purpose: the caller tells approach (< 0) from separation.
      if (std::fabs(v) > std::fabs(max_rel_vel))
        max_rel_vel = v;
    }
  }
  return max_rel_vel;
}

bool IsPointInside(Vector3 p, RBody* B) {
  const Matrix3x3 r = B->RotationMatrix();
  for (const Face& face : B->faces) {
    const Vector3 n = r * face.n;
    const Vector3 q = B->pos + r * face.vertices[0];
    // On the plane counts as inside, so resting faces keep their contact.
    if ((p - q) * n > 0)
      return false;
  }
  return true;
}

bool DetectCollision(RBody* A, RBody* B) {
  Vector3 between = A->pos - B->pos;
  if (between.Length() > A->bounding_radius + B->bounding_radius)
    return false;

  // A point that was in contact lately and still lies inside the other body
  // accepts the pair without the axis tests, whoever the earlier partner was.
  for (int i = 0; i < A->recent_cols_size; ++i)
    if (IsPointInside(A->PointLocalToGlobal(A->recent_cols[i]), B))
      return true;
  for (int i = 0; i < B->recent_cols_size; ++i)
    if (IsPointInside(B->PointLocalToGlobal(B->recent_cols[i]), A))
      return true;

  const Corners corners_a = WorldCorners(A);
  const Corners corners_b = WorldCorners(B);
  const Matrix3x3 ra = A->RotationMatrix();
  const Matrix3x3 rb = B->RotationMatrix();
  auto separates = [&](const Vector3& axis) {
    return !Overlap(Project(corners_a, axis), Project(corners_b, axis));
  };

  for (int i = 0; i < A->FaceNum(); ++i)
    if (separates(Negated(ra * A->faces[i].n)))
      return false;
  for (int i = 0; i < B->FaceNum(); ++i)
    if (separates(rb * B->faces[i].n))
      return false;
  // No threshold here: parallel edges give a zero axis, which projects every
  // corner to 0 and so can never separate.
  const EdgeLines lines_a = WorldEdgeLines(A, ra);
  const EdgeLines lines_b = WorldEdgeLines(B, rb);
  for (std::size_t i = 0; i < lines_a.size; ++i)
    for (std::size_t j = 0; j < lines_b.size; ++j)
      if (separates((lines_a.dir[i] ^ lines_b.dir[j]).Normalized()))
        return false;
  return true;
}

Collision* GetCollisionPoints(RBody* A, RBody* B) {
  Collision* col = new Collision;
  col->bodies[0] = A;
  col->bodies[1] = B;

  // World, from B towards A.
  const Vector3 normal_b_to_a = reference::SeparatingAxis(A, B);
  Vector3 separating_plane_point;
  const double depth = reference::OverlapDepth(A, B, normal_b_to_a, &separating_plane_point);

  // The plane in each body's own frame, so the band test works on local
  // corners and edges without transforming them.
  const Vector3 plane_point_local_A = A->PointGlobalToLocal(separating_plane_point);
  const Vector3 plane_point_local_B = B->PointGlobalToLocal(separating_plane_point);
  const Vector3 normal_local_A = A->VectorGlobalToLocal(normal_b_to_a);
  const Vector3 normal_local_B = B->VectorGlobalToLocal(normal_b_to_a);
  auto in_band_a = [&](const Vector3& x) {
    return InBand(x, plane_point_local_A, normal_local_A, depth);
  };
  auto in_band_b = [&](const Vector3& x) {
    return InBand(x, plane_point_local_B, normal_local_B, depth);
  };

  const Matrix3x3 ra = A->RotationMatrix();
  const Matrix3x3 rb = B->RotationMatrix();

  // Corners of X (X-local, in `vertices` order) inside Y. Their face is the
  // face of Y that X penetrates least, with its world normal pointing from Y
  // towards X; it depends only on the pair, so it is found once, and only
  // when a corner needs it.
  auto add_corners = [](RBody* X, RBody* Y, const auto& in_band,
                        std::vector<CollisionPoint>* points) {
    const Matrix3x3 rx = X->RotationMatrix();
    Face* face = nullptr;
    Vector3 normal;
    for (const Vector3& v : X->vertices) {
      if (!in_band(v) || !IsPointInside(rx * v + X->pos, Y))
        continue;
      if (face == nullptr) {
        face = reference::MinimumPenFaceSecond(X, Y);
        normal = Y->RotationMatrix() * face->n;
      }
      CollisionPoint cp;
      cp.p = v;
      cp.f = face;
      cp.n = normal;
      points->push_back(cp);
      X->RememberColPoint(v);
    }
  };
  add_corners(A, B, in_band_a, &col->points[0]);
  add_corners(B, A, in_band_b, &col->points[1]);

  // Only edges lying within the band along their whole length can cross.
  std::vector<Edge*> edges_a;
  std::vector<Edge*> edges_b;
  for (Edge& e : A->edges)
    if (in_band_a(e.a) && in_band_a(e.b))
      edges_a.push_back(&e);
  for (Edge& e : B->edges)
    if (in_band_b(e.a) && in_band_b(e.b))
      edges_b.push_back(&e);

  for (Edge* ea : edges_a) {
    const Edge world_a = ra * *ea + A->pos;
    for (Edge* eb : edges_b) {
      const Edge world_b = rb * *eb + B->pos;
      const Vector3 ca = ClosestOnEdgeA(world_a, world_b);
      const Vector3 cb = ClosestOnEdgeA(world_b, world_a);
      // Exact comparison on purpose: ClosestOnEdgeA returns the end point
      // itself when it clamps (or when the edges are nearly parallel), and a
      // corner is already covered by the corner tests.
      if (ca == world_a.a || ca == world_a.b || cb == world_b.a || cb == world_b.b)
        continue;
      // Crossings further apart than twice the depth are not touching.
      if ((ca - cb).Length() > depth * 2)
        continue;
      if (!IsPointInside(ca, B) && !IsPointInside(cb, A))
        continue;
      CollisionPoint cp;
      cp.eA = ea;
      cp.eB = eb;
      cp.p = A->PointGlobalToLocal(ca);
      cp.n = normal_b_to_a;
      A->RememberColPoint(cp.p);
      col->points[0].push_back(cp);
    }
  }
  return col;
}

Vector3 ClosestOnEdgeA(Edge A, Edge B) {
  const Vector3 u = A.b - A.a;
  const Vector3 v = B.b - B.a;
  Vector3 w = u ^ v;
  // u and v are whole edges, so this bound scales with both lengths.
  if (w.Length() < 0.001)
    return A.a;
  const double pos_a = (((B.a - A.a) ^ v) * w) / (w * w);
  if (pos_a <= 0)
    return A.a;
  if (pos_a >= 1)
    return A.b;
  return A.a + u * pos_a;
}

PointEvaluation EvaluatePoint(CollisionPoint cp, RBody* A, RBody* B) {
  PointEvaluation e;
  e.p = A->PointLocalToGlobal(cp.p);
  // The normal stays as it was when the point was made; it does not turn
  // with the body.
  e.n = cp.n;
  const Corners corners_a = WorldCorners(A);
  const Corners corners_b = WorldCorners(B);
  if (cp.eA != nullptr && cp.eB != nullptr) {
    e.depth = Depth(corners_a, corners_b, e.n, nullptr);
  } else {
    // Overlap of the two intervals on n; the first wins a tie.
    const double ab = Depth(corners_a, corners_b, e.n, nullptr);
    const double ba = Depth(corners_b, corners_a, e.n, nullptr);
    e.depth = ba < ab ? ba : ab;
  }
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
    delete c;
  collisions->clear();
  for (Collision* c : *contacts)
    delete c;
  contacts->clear();

  const std::size_t n = bodies->size();
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = i + 1; j < n; ++j) {
      RBody* a = (*bodies)[i];
      RBody* b = (*bodies)[j];
      if (!DetectCollision(a, b))
        continue;
      Collision* col = GetCollisionPoints(a, b);
      if ((!col->points[0].empty() || !col->points[1].empty()) &&
          std::fabs(reference::HighestRelVel(col)) >= eps) {
        collisions->push_back(col);
      } else {
        delete col;
      }
    }
  }
}

void SolveOnePoint(Vector3 p, Vector3 n, RBody* A, RBody* B, bool default_ela, double elasticity) {
  const double e = default_ela ? A->elasticity * B->elasticity : elasticity;

  // Arms and material-point velocities, world frame.
  Vector3 pa = p - A->pos;
  Vector3 pb = p - B->pos;
  Vector3 vpa = A->vel + (A->ang_vel ^ pa);
  Vector3 vpb = B->vel + (B->ang_vel ^ pb);
  Vector3 rel_vel_v = vpa - vpb;
  // Not tested for sign: a separating point gets a pulling impulse, and the
  // recorded traces depend on that.
  const double rel_vel = n * rel_vel_v;

  const bool a_fixed = A->is_static || A->is_frozen;
  const bool b_fixed = B->is_static || B->is_frozen;
  double inv_m_a = 1 / A->mass;
  double inv_m_b = 1 / B->mass;
  // Made here, not taken from the body's cache.
  const Matrix3x3 ra = A->RotationMatrix();
  const Matrix3x3 rb = B->RotationMatrix();
  Matrix3x3 inv_I_a = ra * A->inv_local_inertia * ra.Transpose();
  Matrix3x3 inv_I_b = rb * B->inv_local_inertia * rb.Transpose();
  if (a_fixed) {
    inv_m_a = 0;
    inv_I_a = Matrix3x3();
  }
  if (b_fixed) {
    inv_m_b = 0;
    inv_I_b = Matrix3x3();
  }
  if (inv_m_a == 0 && inv_m_b == 0)
    return;

  // j = -(1 + e) v_n / (1/m_a + 1/m_b + n.((I_a^-1 (r_a x n)) x r_a) + same for B)
  const double a = -(1 + e) * rel_vel;
  const double b = n * ((inv_I_a * (pa ^ n)) ^ pa);
  const double c = n * ((inv_I_b * (pb ^ n)) ^ pb);
  const double j = a / (inv_m_a + inv_m_b + b + c);
  // +impulse on A and -impulse on B at the contact; immovable bodies are
  // never written.
  auto apply = [&](const Vector3& impulse) {
    if (!a_fixed) {
      A->vel += impulse * inv_m_a;
      A->ang_vel += inv_I_a * (pa ^ impulse);
    }
    if (!b_fixed) {
      B->vel -= impulse * inv_m_b;
      B->ang_vel -= inv_I_b * (pb ^ impulse);
    }
  };
  apply(n * j);

  // n x (n x v) is minus the tangential part of the pre-impulse relative
  // velocity: it points against the sliding and its length is the sliding
  // speed. Below 1 cm/s there is nothing worth stopping.
  Vector3 t = n ^ (n ^ rel_vel_v);
  if (t.Length() < 0.01)
    return;
  t = t.Normalized();
  const double rel_vel_t = t * rel_vel_v;
  if (std::fabs(rel_vel_t) < 0.0001)
    return;

  // The impulse that would stop the sliding at the point.
  const double a_f = -rel_vel_t;
  const double b_f = t * ((inv_I_a * (pa ^ t)) ^ pa);
  const double c_f = t * ((inv_I_b * (pb ^ t)) ^ pb);
  const double j_f_max = a_f / (inv_m_a + inv_m_b + b_f + c_f);

  // For an approaching point j_f <= 0.1 j < 0.12 j always holds, so the full
  // stopping impulse is applied; the bound only bites when j <= 0. The odd
  // pair of constants is kept because the recorded traces depend on it.
  const double j_f = std::fmin(j_f_max, 0.1 * j);
  apply((j_f < 0.12 * j) ? t * j_f_max : t * j_f);
}

ScanResult ScanPoints(Collision* collision, double depth_margin, double approach_threshold,
                      Vector3* point_sum = nullptr, float* depth_sum = nullptr) {
  ScanResult r;
  r.max_depth = -1;
  r.max_point = Vector3();
  r.max_normal = Vector3();
  for (int body = 0; body < 2; ++body) {
    RBody* X = collision->bodies[body];
    RBody* Y = collision->bodies[1 - body];
    for (const CollisionPoint& cp : collision->points[body]) {
      PointEvaluation pe = EvaluatePoint(cp, X, Y);
      // Single precision on purpose: the peers agree on these roundings,
      // and the choice of point depends on them.
      const float rel_vel = static_cast<float>(RelativeVelocity(pe.p, pe.n, X, Y));
      if (pe.depth > r.max_depth + depth_margin && rel_vel < approach_threshold) {
        r.max_depth = static_cast<float>(pe.depth);
        r.max_point = pe.p;
        // Points of list 1 carry normals towards bodies[1]; flip them so the
        // chosen normal always points from B towards A.
        r.max_normal = body == 0 ? pe.n : pe.n * -1.0;
      }
      if (point_sum != nullptr) {
        *point_sum += pe.p * pe.depth;
        *depth_sum += pe.depth;
      }
    }
  }
  return r;
}

void SolveAllCollisions(std::vector<Collision*>* collisions, double delta_time) {
  // Last to first, each solve seeing the velocities the earlier ones left.
  while (!collisions->empty()) {
    Collision* c = collisions->back();
    SolveCollision(c, delta_time);
    delete c;
    collisions->pop_back();
  }
}

void SolveCollision(Collision* collision, double /*delta_time*/) {
  // Margin 0.1 mm keeps the first of nearly equal points; approach faster
  // than 1 mm/s.
  ScanResult r = ScanPoints(collision, 0.0001, -0.001);
  if (r.max_depth >= 0)
    reference::SolveOnePoint(r.max_point, r.max_normal, collision->bodies[0], collision->bodies[1],
                             true, 0.0);
}

namespace {

// Where the depths sum to exactly 0 (boxes placed flush on each other) the
// weighted centre is undefined, and dividing by the zero sum would put the
// impulse at the world origin, far from the contact, spinning the body up.
// Equal weights are the limit of equal depths.
Vector3 PlainMean(Collision* collision) {
  Vector3 sum;
  int count = 0;
  for (int body = 0; body < 2; ++body) {
    for (const CollisionPoint& cp : collision->points[body]) {
      sum += EvaluatePoint(cp, collision->bodies[body], collision->bodies[1 - body]).p;
      ++count;
    }
  }
  return sum / count;
}

}  // namespace

void SolveContact(Collision* collision, double /*delta_time*/, double elasticity) {
  Vector3 point_sum;
  float depth_sum = 0;
  // Resting contacts approach slowly, so the approach threshold is ten times
  // finer than for collisions.
  ScanResult r = ScanPoints(collision, 0.0001, -0.0001, &point_sum, &depth_sum);
  // The impulse acts at the depth-weighted centre of all the pair's points,
  // which spreads it over a resting face instead of one corner.
  Vector3 max_point = point_sum / depth_sum;
  if (depth_sum == 0)
    max_point = PlainMean(collision);
  if (r.max_depth >= 0) {
    if (Trace::Sink* trace = Trace::CurrentSink())
      trace->Point(max_point, r.max_depth);
    reference::SolveOnePoint(max_point, r.max_normal, collision->bodies[0], collision->bodies[1],
                             false, elasticity);
  }
}

namespace {

void SetFrozen(const std::vector<std::vector<RestingBody*>>& body_levels, bool frozen) {
  for (const auto& level : body_levels)
    for (RestingBody* node : level)
      node->body->is_frozen = frozen;
}

}  // namespace

void Separation(Collision* collision);

void SolveAll(std::vector<RBody*>* bodies, double delta_time) {
  // Edges point into body_vector, so it is filled once and never resized.
  std::vector<RestingBody> body_vector;
  body_vector.reserve(bodies->size());
  for (RBody* b : *bodies)
    body_vector.push_back(RestingBody{b, -2, {}});

  // Contact graph: body i, moved by one trial position step, against body j
  // where it stands. A touching pair normally yields two records, one from
  // each side.
  std::vector<std::unique_ptr<Collision>> records;
  for (std::size_t i = 0; i < body_vector.size(); ++i) {
    for (std::size_t j = 0; j < body_vector.size(); ++j) {
      if (i == j)
        continue;
      RBody* bi = body_vector[i].body;
      RBody* bj = body_vector[j].body;
      RBState saved = bi->State();
      ODESolver::EulerStepPos(*bi, delta_time);
      if (DetectCollision(bi, bj)) {
        std::unique_ptr<Collision> record(GetCollisionPoints(bi, bj));
        if (!record->points[0].empty() || !record->points[1].empty()) {
          body_vector[i].collisions.push_back(RestingCollision{record.get(), &body_vector[j]});
          body_vector[j].collisions.push_back(RestingCollision{record.get(), &body_vector[i]});
          records.push_back(std::move(record));
        }
      }
      bi->ApplyState(saved);
    }
  }

  // Breadth-first from the static bodies: a node's level is the fewest
  // contacts between it and any static body.
  std::vector<RestingBody*> body_queue;
  for (RestingBody& node : body_vector) {
    if (node.body->is_static) {
      node.level = -1;
      body_queue.push_back(&node);
    }
  }
  int max_level = -1;
  for (std::size_t front = 0; front < body_queue.size(); ++front) {
    RestingBody* node = body_queue[front];
    max_level = std::max(max_level, node->level);
    for (const RestingCollision& edge : node->collisions) {
      if (edge.body->level == -2) {
        edge.body->level = node->level + 1;
        body_queue.push_back(edge.body);
      }
    }
  }

  // Level k holds the contacts from its nodes down to level k or below; a
  // contact inside a level is listed once per record.
  const std::size_t levels = static_cast<std::size_t>(max_level + 1);
  std::vector<std::vector<RestingBody*>> body_levels(levels);
  std::vector<std::vector<Collision*>> collision_levels(levels);
  for (RestingBody& a : body_vector) {
    if (a.level < 0)
      continue;
    body_levels[a.level].push_back(&a);
    std::vector<Collision*>& list = collision_levels[a.level];
    for (const RestingCollision& edge : a.collisions) {
      if (edge.body->level > a.level)
        continue;
      if (std::find(list.begin(), list.end(), edge.collision) == list.end())
        list.push_back(edge.collision);
    }
  }

  Trace::Sink* trace = Trace::CurrentSink();
  if (trace != nullptr)
    trace->StateRecord();

  // Two impulse passes with every body movable: a slight negative
  // restitution first (single precision, as the peers agree on it), which
  // lets a resting contact absorb a little more than its approach, then none.
  for (int iter = 1; iter >= 0; --iter) {
    const double elasticity = -0.1f * iter;
    for (int lvl = 0; lvl <= max_level; ++lvl) {
      for (Collision* c : collision_levels[lvl]) {
        if (trace != nullptr)
          trace->Level(lvl, c->bodies[0]->id, c->bodies[1]->id);
        SolveContact(c, 0, elasticity);
      }
    }
  }

  if (trace != nullptr)
    trace->StateRecord();

  // Propagation: once a level is solved it is frozen, so the contacts above
  // it push only the bodies above, against fixed supports.
  for (int lvl = 0; lvl <= max_level; ++lvl) {
    for (Collision* c : collision_levels[lvl])
      SolveContact(c, 0, 0);
    for (RestingBody* node : body_levels[lvl])
      node->body->is_frozen = true;
  }
  SetFrozen(body_levels, false);

  for (int pass = 0; pass < 2; ++pass) {
    for (int lvl = 0; lvl <= max_level; ++lvl) {
      for (Collision* c : collision_levels[lvl])
        reference::Separation(c);
      for (RestingBody* node : body_levels[lvl])
        node->body->is_frozen = true;
    }
    SetFrozen(body_levels, false);
  }
}

void Separation(Collision* collision) {
  RBody* A = collision->bodies[0];
  RBody* B = collision->bodies[1];
  // No depth margin here; approach faster than 1 mm/s.
  ScanResult r = ScanPoints(collision, 0.0, -0.001);
  const float max_depth = r.max_depth;
  if (max_depth <= 0)
    return;

  const bool a_fixed = A->is_static || A->is_frozen;
  const bool b_fixed = B->is_static || B->is_frozen;
  if (a_fixed && b_fixed)
    return;
  // 1 % of the depth per call: the rest is left to later steps, so a deep
  // contact is not resolved by a visible jump.
  if (a_fixed) {
    B->pos -= r.max_normal * (max_depth * 0.01);
  } else if (b_fixed) {
    A->pos += r.max_normal * (max_depth * 0.01);
  } else {
    // Rounded to single precision like the solvers' other locals.
    const float mass_sum = static_cast<float>(A->mass + B->mass);
    A->pos += r.max_normal * (max_depth * A->mass / mass_sum * 0.01);
    B->pos -= r.max_normal * (max_depth * B->mass / mass_sum * 0.01);
  }
}

}  // namespace reference
