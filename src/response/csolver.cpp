#include "response/csolver.h"

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "collision/cdetector.h"
#include "collision/pair_threads.h"
#include "math/matrix3x3.h"
#include "response/parts.h"
#include "response/trace.h"

namespace {

const Matrix3x3 kNoInertia;  // an immovable body's inverse inertia

}  // namespace

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
  // An immovable body's inverse inertia is zero: not looked up. The kept
  // tensors are read in place, as nothing here turns a body.
  const double inv_m_a = a_fixed ? 0 : 1 / A->mass;
  const double inv_m_b = b_fixed ? 0 : 1 / B->mass;
  const Matrix3x3& inv_I_a = a_fixed ? kNoInertia : A->KeptInvInertiaTensor();
  const Matrix3x3& inv_I_b = b_fixed ? kNoInertia : B->KeptInvInertiaTensor();
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

namespace {

// Whether the evaluations kept in the record were made at the bodies' present
// poses; when not, the poses are noted for the ones about to be made, or
// (note false) the kept ones are marked as gone.
bool KeptEvaluationsHold(Collision* collision, bool note) {
  // The poses' words, read in place: the separation passes ask this of every
  // record twice, each time after the poses moved.
  for (RBody* X : collision->bodies)
    X->RotationMatrix();  // made, so rot_matrix holds it
  auto differ = [&](int body) {
    const RBody* X = collision->bodies[body];
    const std::uint64_t* at = collision->evaluated_at[body];
    std::uint64_t bits = 0;
    for (int k = 0; k < 12; ++k) {
      std::uint64_t word;
      std::memcpy(&word, k < 3 ? &X->pos.axes[k] : &X->rot_matrix.values[(k - 3) / 3][(k - 3) % 3],
                  sizeof word);
      bits |= word ^ at[k];
    }
    return bits != 0;
  };
  // A list that changed its length since cannot use them either.
  if (collision->has_evaluations && !differ(0) && !differ(1) &&
      collision->evaluations[0].size() == collision->points[0].size() &&
      collision->evaluations[1].size() == collision->points[1].size())
    return true;
  if (note) {
    for (int body = 0; body < 2; ++body) {
      const RBody* X = collision->bodies[body];
      std::memcpy(collision->evaluated_at[body], X->pos.axes, sizeof X->pos.axes);
      std::memcpy(collision->evaluated_at[body] + 3, X->rot_matrix.values,
                  sizeof X->rot_matrix.values);
    }
  }
  collision->has_evaluations = note;
  return false;
}

}  // namespace

namespace CSolver {

void PrepareEvaluations(Collision* collision) {
  if (!collision->keep_evaluations || KeptEvaluationsHold(collision, true))
    return;
  for (int body = 0; body < 2; ++body) {
    PointEvaluator evaluator(collision->bodies[body], collision->bodies[1 - body]);
    std::vector<PointEvaluation>& evaluations = collision->evaluations[body];
    evaluations.clear();
    evaluations.reserve(collision->points[body].size());
    for (const CollisionPoint& cp : collision->points[body])
      evaluations.push_back(evaluator.Evaluate(cp));
  }
}

ScanResult ScanPoints(Collision* collision, double depth_margin, double approach_threshold,
                      Vector3* point_sum, float* depth_sum) {
  ScanResult r;
  r.max_depth = -1;
  r.max_point = Vector3();
  r.max_normal = Vector3();
  // Evaluating has no effects, so the kept ones may be made first. A scan
  // that sums nothing needs a point's place only when the point is deeper
  // than the best so far: unless kept ones hold, it measures depths alone
  // and keeps nothing (the separation pass moves the poses right after; the
  // collision solver's records keep nothing anyway).
  bool kept = false;
  if (collision->keep_evaluations) {
    if (point_sum != nullptr) {
      PrepareEvaluations(collision);
      kept = true;
    } else {
      kept = KeptEvaluationsHold(collision, false);
    }
  }
  for (int body = 0; body < 2; ++body) {
    RBody* X = collision->bodies[body];
    RBody* Y = collision->bodies[1 - body];
    PointEvaluator evaluator(X, Y);
    const std::vector<PointEvaluation>& evaluations = collision->evaluations[body];
    const std::vector<CollisionPoint>& points = collision->points[body];
    // Read once: the stores below could be to it, for all the compiler knows.
    const std::size_t count = points.size();
    for (std::size_t k = 0; k < count; ++k) {
      const CollisionPoint& cp = points[k];
      if (!kept && point_sum == nullptr) {
        const double depth = evaluator.Depth(cp);
        if (!(depth > r.max_depth + depth_margin))
          continue;
        const Vector3 p = evaluator.Point(cp);
        if (static_cast<float>(CDetector::RelativeVelocity(p, cp.n, X, Y)) < approach_threshold) {
          r.max_depth = static_cast<float>(depth);
          r.max_point = p;
          r.max_normal = body == 0 ? cp.n : cp.n * -1.0;
        }
        continue;
      }
      const PointEvaluation pe = kept ? evaluations[k] : evaluator.Evaluate(cp);
      // Single precision on purpose: the peers agree on these roundings,
      // and the choice of point depends on them. Only a deeper point needs
      // its velocity.
      if (pe.depth > r.max_depth + depth_margin &&
          static_cast<float>(CDetector::RelativeVelocity(pe.p, pe.n, X, Y)) < approach_threshold) {
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
  // Fewer records than a large scene has bodies are not worth a hand-over.
  if (collisions->size() < PairThreads::kFrom) {
    while (!collisions->empty()) {
      Collision* c = collisions->back();
      SolveCollision(c, delta_time);
      CDetector::Recycle(c);
      collisions->pop_back();
    }
    return;
  }

  // Many records: by parts (see BodyParts), on both threads. The movable
  // bodies are numbered as the records first name them, each record's
  // numbers kept beside it.
  static BodyNumbers numbers;
  static std::vector<std::array<std::size_t, 2>> numbered;
  numbers.Reset(2 * collisions->size());
  numbered.resize(collisions->size());
  for (std::size_t k = 0; k < collisions->size(); ++k) {
    for (int i = 0; i < 2; ++i) {
      RBody* X = (*collisions)[k]->bodies[i];
      if (X->is_static)
        BodyParts::Share(X);
      else
        numbered[k][i] = numbers.Of(X);
    }
  }
  static BodyParts joined;
  joined.Reset(numbers.Count());
  for (std::size_t k = 0; k < collisions->size(); ++k) {
    const Collision* c = (*collisions)[k];
    if (!c->bodies[0]->is_static && !c->bodies[1]->is_static)
      joined.Join(numbered[k][0], numbered[k][1]);
  }

  static std::vector<std::vector<Collision*>> parts;
  for (std::size_t k = collisions->size(); k-- > 0;) {
    Collision* c = (*collisions)[k];
    const int x = c->bodies[0]->is_static ? 1 : 0;
    if (c->bodies[x]->is_static) {
      // Two static bodies: nothing to write, here as anywhere.
      SolveCollision(c, delta_time);
      CDetector::Recycle(c);
      continue;
    }
    bool first;
    const std::size_t part = joined.Number(numbered[k][static_cast<std::size_t>(x)], &first);
    if (parts.size() <= part)
      parts.emplace_back();
    if (first)
      parts[part].clear();
    parts[part].push_back(c);
  }
  // Numbered from the last record to the first, so taken in reverse: then
  // they follow the records, made in the order of their first bodies, and
  // each thread mostly solves what it made (see PlaceOrder).
  const std::size_t count = joined.Count();
  PairThreads::Run(count, [&](std::size_t k) {
    for (Collision* c : parts[count - 1 - k]) {
      SolveCollision(c, delta_time);
      CDetector::Recycle(c);
    }
  });
  collisions->clear();
}

void SolveCollision(Collision* collision, double /*delta_time*/) {
  // Margin 0.1 mm keeps the first of nearly equal points; approach faster
  // than 1 mm/s.
  ScanResult r = ScanPoints(collision, 0.0001, -0.001);
  if (r.max_depth >= 0)
    SolveOnePoint(r.max_point, r.max_normal, collision->bodies[0], collision->bodies[1], true, 0.0);
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
      sum += PointWorld(cp, collision->bodies[body]);
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
    SolveOnePoint(max_point, r.max_normal, collision->bodies[0], collision->bodies[1], false,
                  elasticity);
  }
}

}  // namespace CSolver
