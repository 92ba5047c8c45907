// The program's step against a plain one: the pair loops of detection and of
// the resting graph written out as the algorithm states them, every ordered
// pair tried and every trial step redone. Seeded random scenes are stepped
// both ways and every state bit compared after each step, so a faster loop
// that skips, reorders or rounds differently fails here at the first step
// where it shows.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "app/globals.h"
#include "app/simulation.h"
#include "collision/cdetector.h"
#include "helpers.h"
#include "integration/ode_solver.h"
#include "response/csolver.h"
#include "response/resting.h"

#ifndef BOXSIM_EQUIVALENCE_SCENES
#define BOXSIM_EQUIVALENCE_SCENES 900
#endif

namespace {

namespace reference {

void CheckAll(std::vector<RBody*>* bodies, std::vector<Collision*>* collisions) {
  for (Collision* c : *collisions)
    delete c;
  collisions->clear();
  const std::size_t n = bodies->size();
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = i + 1; j < n; ++j) {
      RBody* a = (*bodies)[i];
      RBody* b = (*bodies)[j];
      if (!CDetector::DetectCollision(a, b))
        continue;
      Collision* col = CDetector::GetCollisionPoints(a, b);
      if ((!col->points[0].empty() || !col->points[1].empty()) &&
          std::fabs(HighestRelVel(col)) >= 0.0) {
        collisions->push_back(col);
      } else {
        delete col;
      }
    }
  }
}

void SetFrozen(const std::vector<std::vector<RestingBody*>>& body_levels, bool frozen) {
  for (const auto& level : body_levels)
    for (RestingBody* node : level)
      node->body->is_frozen = frozen;
}

void SolveResting(std::vector<RBody*>* bodies, double delta_time) {
  std::vector<RestingBody> body_vector;
  body_vector.reserve(bodies->size());
  for (RBody* b : *bodies)
    body_vector.push_back(RestingBody{b, -2, {}});

  std::vector<std::unique_ptr<Collision>> records;
  for (std::size_t i = 0; i < body_vector.size(); ++i) {
    for (std::size_t j = 0; j < body_vector.size(); ++j) {
      if (i == j)
        continue;
      RBody* bi = body_vector[i].body;
      RBody* bj = body_vector[j].body;
      RBState saved = bi->State();
      ODESolver::EulerStepPos(*bi, delta_time);
      if (CDetector::DetectCollision(bi, bj)) {
        std::unique_ptr<Collision> record(CDetector::GetCollisionPoints(bi, bj));
        if (!record->points[0].empty() || !record->points[1].empty()) {
          body_vector[i].collisions.push_back(RestingCollision{record.get(), &body_vector[j]});
          body_vector[j].collisions.push_back(RestingCollision{record.get(), &body_vector[i]});
          records.push_back(std::move(record));
        }
      }
      bi->ApplyState(saved);
    }
  }

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

  for (int iter = 1; iter >= 0; --iter) {
    const double elasticity = -0.1f * iter;
    for (int lvl = 0; lvl <= max_level; ++lvl)
      for (Collision* c : collision_levels[lvl])
        CSolver::SolveContact(c, 0, elasticity);
  }
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

// SimulationStep with no players, over a list of its own.
void Step(std::vector<RBody*>* bodies, std::vector<Collision*>* collisions, double dt) {
  for (RBody* b : *bodies)
    b->forces = Vector3(0, 0, -9.8f * b->mass);
  std::vector<RBState> old_state;
  for (RBody* b : *bodies) {
    b->PushState();
    old_state.push_back(b->State());
  }
  ODESolver::EulerStepAll(bodies, dt);
  CheckAll(bodies, collisions);
  for (std::size_t i = 0; i < bodies->size(); ++i)
    (*bodies)[i]->ApplyVel(old_state[i]);
  for (int pass = 0; pass < 3; ++pass)
    CSolver::SolveAllCollisions(collisions, dt);
  for (std::size_t i = 0; i < bodies->size(); ++i)
    (*bodies)[i]->ApplyPos(old_state[i]);
  ODESolver::EulerStepAllVel(bodies, dt);
  for (RBody* b : *bodies)
    b->ResetForceTorque();
  SolveResting(bodies, dt);
  ODESolver::EulerStepAllPos(bodies, dt);
}

}  // namespace reference

enum class Kind { kRestingStack, kTumbling, kFarAway };

// A static floor and a few boxes; sizes are tenths and thirds, which single
// precision cannot hold exactly.
void BuildScene(unsigned seed, Kind kind, OwnedBodies* out) {
  std::mt19937 rng(seed);
  auto uniform = [&](double lo, double hi) {
    return std::uniform_real_distribution<double>(lo, hi)(rng);
  };
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  const Vector3 origin = kind == Kind::kFarAway
                             ? Vector3(uniform(-5e4, 5e4), uniform(-5e4, 5e4), uniform(-1e3, 1e3))
                             : Vector3();
  out->Add(40, 40, 1, origin + Vector3(0, 0, -0.5), true);
  const int count = pick(1, 9);
  for (int k = 0; k < count; ++k) {
    const double w = pick(3, 13) / 10.0, h = pick(1, 4) / 3.0, d = pick(3, 13) / 10.0;
    Vector3 pos;
    Quaternion q;
    if (kind == Kind::kTumbling) {
      pos = Vector3(uniform(-1.5, 1.5), uniform(-1.5, 1.5), uniform(0.5, 4));
      q = Quaternion(uniform(-1, 1), uniform(-1, 1), uniform(-1, 1), uniform(-1, 1));
    } else {
      // Columns of three, each box a hair above the one below.
      pos = Vector3((k / 3) * 1.5 + uniform(-0.05, 0.05), uniform(-0.05, 0.05),
                    (k % 3) * 1.4 + d / 2 + uniform(0, 0.01));
    }
    RBody* b = out->Add(w, d, h, origin + pos, false, q);
    if (kind == Kind::kTumbling) {
      b->vel = Vector3(uniform(-2, 2), uniform(-2, 2), uniform(-3, 1));
      b->ang_vel = Vector3(uniform(-3, 3), uniform(-3, 3), uniform(-3, 3));
    }
  }
}

::testing::AssertionResult SameRing(const RBody& a, const RBody& b) {
  if (a.recent_cols_last != b.recent_cols_last || a.recent_cols_size != b.recent_cols_size)
    return ::testing::AssertionFailure() << "contact ring slots";
  for (int i = 0; i < 4; ++i)
    if (auto same = SameBits(a.recent_cols[i], b.recent_cols[i]); !same)
      return ::testing::AssertionFailure() << "contact ring " << i << " " << same.message();
  return ::testing::AssertionSuccess();
}

int SceneCount() {
  if (const char* env = std::getenv("BOXSIM_EQUIVALENCE_SCENES"))
    return std::atoi(env);
  return BOXSIM_EQUIVALENCE_SCENES;
}

class EquivalenceTest : public ::testing::TestWithParam<Kind> {
 protected:
  void TearDown() override {
    global::bodies.clear();  // owned by the test
    ResetSimulation();
  }
};

TEST_P(EquivalenceTest, EveryStateBitMatchesThePlainPairLoops) {
  constexpr int kSteps = 40;
  const int scenes = SceneCount() / 3;
  for (int s = 0; s < scenes; ++s) {
    const unsigned seed = static_cast<unsigned>(s) * 3 + static_cast<unsigned>(GetParam());
    OwnedBodies fast, plain;
    BuildScene(seed, GetParam(), &fast);
    BuildScene(seed, GetParam(), &plain);
    global::bodies = fast.list;
    global::old_state.assign(fast.list.size(), RBState());
    std::vector<Collision*> plain_collisions;
    for (int step = 0; step < kSteps; ++step) {
      SimulationStep(kBaseStepLength);
      reference::Step(&plain.list, &plain_collisions, kBaseStepLength);
      for (std::size_t i = 0; i < fast.list.size(); ++i) {
        ASSERT_TRUE(SameBits(fast.list[i]->State(), plain.list[i]->State()))
            << "seed " << seed << " step " << step << " body " << i;
        ASSERT_TRUE(SameRing(*fast.list[i], *plain.list[i]))
            << "seed " << seed << " step " << step << " body " << i;
      }
    }
    global::bodies.clear();
  }
}

std::string KindName(const ::testing::TestParamInfo<Kind>& info) {
  static const char* const kNames[] = {"RestingStack", "Tumbling", "FarAway"};
  return kNames[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Scenes, EquivalenceTest,
                         ::testing::Values(Kind::kRestingStack, Kind::kTumbling, Kind::kFarAway),
                         KindName);

}  // namespace
