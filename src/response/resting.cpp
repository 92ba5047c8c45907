#include "response/resting.h"

#include <algorithm>
#include <cstddef>
#include <memory>

#include "collision/cdetector.h"
#include "integration/ode_solver.h"
#include "response/csolver.h"
#include "response/trace.h"

namespace {

void SetFrozen(const std::vector<std::vector<RestingBody*>>& body_levels, bool frozen) {
  for (const auto& level : body_levels)
    for (RestingBody* node : level)
      node->body->is_frozen = frozen;
}

}  // namespace

namespace Resting {

void SolveAll(std::vector<RBody*>* bodies, double delta_time) {
  // Edges point into body_vector, so it is filled once and never resized.
  std::vector<RestingBody> body_vector;
  body_vector.reserve(bodies->size());
  for (RBody* b : *bodies)
    body_vector.push_back(RestingBody{b, -2, {}});

  // Contact graph: body i, moved by one trial position step, against body j
  // where it stands. A touching pair normally yields two records, one from
  // each side.
  // The trial step depends on body i alone (its state, and forces already
  // reset), so it is taken once per body, not once per partner: the same
  // pose, bit for bit, as stepping again from the restored state.
  std::vector<std::unique_ptr<Collision>> records;
  for (std::size_t i = 0; i < body_vector.size(); ++i) {
    RBody* bi = body_vector[i].body;
    const RBState saved = bi->State();
    ODESolver::EulerStepPos(*bi, delta_time);
    for (std::size_t j = 0; j < body_vector.size(); ++j) {
      if (i == j)
        continue;
      RBody* bj = body_vector[j].body;
      if (!CDetector::SpheresApart(bi, bj) && CDetector::DetectCollision(bi, bj)) {
        std::unique_ptr<Collision> record(CDetector::GetCollisionPoints(bi, bj));
        if (!record->points[0].empty() || !record->points[1].empty()) {
          // Its points stay as they are until the end of this call.
          record->keep_evaluations = true;
          body_vector[i].collisions.push_back(RestingCollision{record.get(), &body_vector[j]});
          body_vector[j].collisions.push_back(RestingCollision{record.get(), &body_vector[i]});
          records.push_back(std::move(record));
        }
      }
    }
    bi->ApplyState(saved);
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
        CSolver::SolveContact(c, 0, elasticity);
      }
    }
  }

  if (trace != nullptr)
    trace->StateRecord();

  // Propagation: once a level is solved it is frozen, so the contacts above
  // it push only the bodies above, against fixed supports.
  for (int lvl = 0; lvl <= max_level; ++lvl) {
    for (Collision* c : collision_levels[lvl])
      CSolver::SolveContact(c, 0, 0);
    for (RestingBody* node : body_levels[lvl])
      node->body->is_frozen = true;
  }
  SetFrozen(body_levels, false);

  for (int pass = 0; pass < 2; ++pass) {
    for (int lvl = 0; lvl <= max_level; ++lvl) {
      for (Collision* c : collision_levels[lvl])
        Separation(c);
      for (RestingBody* node : body_levels[lvl])
        node->body->is_frozen = true;
    }
    SetFrozen(body_levels, false);
  }
}

}  // namespace Resting

void Separation(Collision* collision) {
  RBody* A = collision->bodies[0];
  RBody* B = collision->bodies[1];
  // No depth margin here; approach faster than 1 mm/s.
  CSolver::ScanResult r = CSolver::ScanPoints(collision, 0.0, -0.001);
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
