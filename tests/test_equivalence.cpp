// The program's step against a plain one (reference_step.h): detection, the
// contact points, the solvers' point scans and the resting graph as they
// were before the fast paths, every ordered pair tried and every trial step
// redone. Seeded random scenes are stepped both ways and every state bit
// compared after each step, so a fast path that skips, reorders or rounds
// differently fails here at the first step where it shows.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "app/globals.h"
#include "app/simulation.h"
#include "helpers.h"
#include "integration/ode_solver.h"
#include "reference_step.h"
#include "response/trace.h"

#ifndef BOXSIM_EQUIVALENCE_SCENES
#define BOXSIM_EQUIVALENCE_SCENES 900
#endif

namespace {

// SimulationStep with no players, over a list of its own.
void ReferenceStep(std::vector<RBody*>* bodies, std::vector<Collision*>* collisions, double dt) {
  for (RBody* b : *bodies)
    b->forces = Vector3(0, 0, -9.8f * b->mass);
  std::vector<RBState> old_state;
  for (RBody* b : *bodies) {
    b->PushState();
    old_state.push_back(b->State());
  }
  ODESolver::EulerStepAll(bodies, dt);
  std::vector<Collision*> contacts;
  reference::CheckAll(bodies, collisions, &contacts, 0.0);
  for (std::size_t i = 0; i < bodies->size(); ++i)
    (*bodies)[i]->ApplyVel(old_state[i]);
  for (int pass = 0; pass < 3; ++pass)
    reference::SolveAllCollisions(collisions, dt);
  for (std::size_t i = 0; i < bodies->size(); ++i)
    (*bodies)[i]->ApplyPos(old_state[i]);
  ODESolver::EulerStepAllVel(bodies, dt);
  for (RBody* b : *bodies)
    b->ResetForceTorque();
  reference::SolveAll(bodies, dt);
  ODESolver::EulerStepAllPos(bodies, dt);
}

enum class Kind { kRestingStack, kTumbling, kFarAway, kCrowd };

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
  // A crowd is large enough for the contact graph's two-thread pass: columns
  // on a grid, every fifth box thrown in from above.
  const bool crowd = kind == Kind::kCrowd;
  const int count = crowd ? pick(24, 40) : pick(1, 9);
  for (int k = 0; k < count; ++k) {
    const double w = pick(3, 13) / 10.0, h = pick(1, 4) / 3.0, d = pick(3, 13) / 10.0;
    Vector3 pos;
    Quaternion q;
    const bool thrown = kind == Kind::kTumbling || (crowd && k % 5 == 4);
    if (crowd && !thrown) {
      const int column = k / 3;
      pos = Vector3((column % 4) * 1.5 + uniform(-0.05, 0.05),
                    (column / 4) * 1.5 + uniform(-0.05, 0.05),
                    (k % 3) * 1.4 + d / 2 + uniform(0, 0.01));
    } else if (crowd) {
      pos = Vector3(uniform(0, 4.5), uniform(0, 4.5), uniform(4.5, 6));
      q = Quaternion(uniform(-1, 1), uniform(-1, 1), uniform(-1, 1), uniform(-1, 1));
    } else if (kind == Kind::kTumbling) {
      pos = Vector3(uniform(-1.5, 1.5), uniform(-1.5, 1.5), uniform(0.5, 4));
      q = Quaternion(uniform(-1, 1), uniform(-1, 1), uniform(-1, 1), uniform(-1, 1));
    } else {
      // Columns of three, each box a hair above the one below.
      pos = Vector3((k / 3) * 1.5 + uniform(-0.05, 0.05), uniform(-0.05, 0.05),
                    (k % 3) * 1.4 + d / 2 + uniform(0, 0.01));
    }
    RBody* b = out->Add(w, d, h, origin + pos, false, q);
    // A remembered point a little below a column's foot, as a peer's ring
    // may hold: it lies in the floor while the box still floats, so the
    // ring decides pairs the axes call apart.
    if (crowd && !thrown && k % 3 == 0)
      b->RememberColPoint(Vector3(0, 0, -h / 2 - 0.05));
    if (thrown) {
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

// Every report of the solvers, numbers by their bits.
struct Reports : Trace::Sink {
  std::vector<std::array<std::uint64_t, 5>> seen;
  static std::uint64_t Bits(double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
  }
  void StateRecord() override { seen.push_back({0, 0, 0, 0, 0}); }
  void Level(int lvl, int a, int b) override {
    seen.push_back({1, static_cast<std::uint64_t>(lvl), static_cast<std::uint64_t>(a),
                    static_cast<std::uint64_t>(b), 0});
  }
  void Point(const Vector3& p, double depth) override {
    seen.push_back({2, Bits(p.x()), Bits(p.y()), Bits(p.z()), Bits(depth)});
  }
};

class SceneTest : public ::testing::Test {
 protected:
  void TearDown() override {
    global::bodies.clear();  // owned by the test
    ResetSimulation();
  }
};

class EquivalenceTest : public SceneTest, public ::testing::WithParamInterface<Kind> {};

// Steps the scenes of seeds first, first + stride, ... both ways; with
// reported, the solvers' reports of each step are compared too.
void CompareScenes(Kind kind, int scenes, unsigned first, unsigned stride, bool reported = false) {
  constexpr int kSteps = 40;
  for (int s = 0; s < scenes; ++s) {
    const unsigned seed = static_cast<unsigned>(s) * stride + first;
    OwnedBodies fast, plain;
    BuildScene(seed, kind, &fast);
    BuildScene(seed, kind, &plain);
    global::bodies = fast.list;
    global::old_state.assign(fast.list.size(), RBState());
    std::vector<Collision*> plain_collisions;
    for (int step = 0; step < kSteps; ++step) {
      Reports fast_reports, plain_reports;
      if (reported)
        Trace::SetSink(&fast_reports);
      SimulationStep(kBaseStepLength);
      if (reported)
        Trace::SetSink(&plain_reports);
      ReferenceStep(&plain.list, &plain_collisions, kBaseStepLength);
      Trace::SetSink(nullptr);
      ASSERT_EQ(fast_reports.seen, plain_reports.seen) << "seed " << seed << " step " << step;
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

TEST_P(EquivalenceTest, EveryStateBitMatchesThePlainStep) {
  CompareScenes(GetParam(), SceneCount() / 3, static_cast<unsigned>(GetParam()), 3);
}

// The contact graph of a crowd runs its pair tests on two threads, and its
// solvers too, part by part; their reports must still come in the plain
// step's order.
TEST_F(SceneTest, CrowdsMatchThePlainStep) {
  CompareScenes(Kind::kCrowd, std::max(4, SceneCount() / 25), 7, 1, true);
}

// The axis searches and the overlap test set aside axes by cheap bounds; on
// pairs built to tie (faces flush, quarter turns, gaps of a few ulps), far
// from the origin and at extreme sizes, they must answer as the plain loops.
TEST(AxisSearchTest, BoundedSearchesMatchThePlainOnes) {
  std::mt19937 rng(20261207);
  auto uniform = [&](double lo, double hi) {
    return std::uniform_real_distribution<double>(lo, hi)(rng);
  };
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  const double kScales[] = {1e-4, 1, 1e3};
  const double kOffsets[] = {0, 1e6, 3e9};
  const Quaternion quarter(std::sqrt(0.5), 0, 0, std::sqrt(0.5));
  int tested = 0, colliding = 0, crossings = 0;
  for (int trial = 0; trial < 6000; ++trial) {
    const double scale = kScales[pick(0, 2)];
    const double offset = kOffsets[pick(0, 2)];
    const Vector3 origin = Vector3(uniform(-1, 1), uniform(-1, 1), uniform(-1, 1)) * offset;
    const bool aligned = pick(0, 1) == 0;
    Quaternion qa, qb;
    if (aligned) {
      if (pick(0, 1) == 0)
        qa = quarter;
    } else {
      qa = Quaternion(uniform(-1, 1), uniform(-1, 1), uniform(-1, 1), uniform(-1, 1)).Normalize();
      qb = Quaternion(uniform(-1, 1), uniform(-1, 1), uniform(-1, 1), uniform(-1, 1)).Normalize();
    }
    const double wa = pick(3, 13) / 10.0 * scale, ha = pick(1, 4) / 3.0 * scale,
                 da = pick(3, 13) / 10.0 * scale;
    const double wb = pick(3, 13) / 10.0 * scale, hb = pick(1, 4) / 3.0 * scale,
                 db = pick(3, 13) / 10.0 * scale;
    // Stacked along z: flush, a few ulps either way, or a random overlap.
    double gap = 0;
    switch (pick(0, 3)) {
      case 0:
        break;
      case 1:
        gap = (pick(0, 1) ? 1 : -1) * pick(1, 4) * 1e-16 * (scale + offset);
        break;
      default:
        gap = uniform(-0.3, 0.1) * scale;
    }
    const Vector3 shift(uniform(-0.5, 0.5) * scale * aligned, uniform(-0.5, 0.5) * scale, 0);
    OwnedBodies bodies;
    RBody* B = bodies.Add(wb, hb, db, origin, false, qb);
    RBody* A =
        bodies.Add(wa, ha, da, origin + shift + Vector3(0, 0, (da + db) / 2 + gap), false, qa);
    ++tested;
    EXPECT_EQ(CDetector::DetectCollision(A, B), reference::DetectCollision(A, B)) << trial;
    EXPECT_EQ(CDetector::DetectCollision(B, A), reference::DetectCollision(B, A)) << trial;
    if (!reference::DetectCollision(A, B))
      continue;
    ++colliding;
    EXPECT_TRUE(SameBits(SeparatingAxis(A, B), reference::SeparatingAxis(A, B))) << trial;
    EXPECT_TRUE(SameBits(SeparatingAxis(B, A), reference::SeparatingAxis(B, A))) << trial;
    EXPECT_EQ(MinimumPenFaceSecond(A, B), reference::MinimumPenFaceSecond(A, B)) << trial;
    EXPECT_EQ(MinimumPenFaceSecond(B, A), reference::MinimumPenFaceSecond(B, A)) << trial;
    // The contact points too, the edge crossings among them: aligned boxes
    // give crossings whose cross products have zero entries of either sign.
    for (bool swap : {false, true}) {
      RBody* X = swap ? B : A;
      RBody* Y = swap ? A : B;
      std::unique_ptr<Collision> fast(CDetector::GetCollisionPoints(X, Y, false));
      std::unique_ptr<Collision> plain(reference::GetCollisionPoints(X, Y));
      EXPECT_TRUE(SamePoints(*fast, *plain)) << trial;
      for (const std::vector<CollisionPoint>& list : fast->points)
        for (const CollisionPoint& f : list)
          crossings += f.eA != nullptr;
    }
  }
  EXPECT_GT(colliding, tested / 3);
  EXPECT_GT(crossings, 1000);
}

// Boxes side by side along a world axis, a little apart or touching, turned
// nearly alike (so that their edges are nearly parallel) or at random: a
// world-axis gap that sets the axis tests aside must never answer otherwise
// than the plain search over the listed axes.
TEST(AxisSearchTest, WorldAxisGapsMatchThePlainSearch) {
  std::mt19937 rng(20261208);
  auto uniform = [&](double lo, double hi) {
    return std::uniform_real_distribution<double>(lo, hi)(rng);
  };
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  auto tilt = [&](double angle) {
    const Vector3 axis =
        Vector3(uniform(-1, 1), uniform(-1, 1), uniform(-1, 1)).Normalized() * std::sin(angle / 2);
    return Quaternion(std::cos(angle / 2), axis.x(), axis.y(), axis.z()).Normalize();
  };
  const double kScales[] = {1e-3, 1, 1e3};
  const double kOffsets[] = {0, 1e3, 1e7};
  const Quaternion quarter(std::sqrt(0.5), std::sqrt(0.5), 0, 0);
  for (int trial = 0; trial < 20000; ++trial) {
    const double scale = kScales[pick(0, 2)];
    const Vector3 origin =
        Vector3(uniform(-1, 1), uniform(-1, 1), uniform(-1, 1)) * kOffsets[pick(0, 2)];
    Quaternion qa, qb;
    switch (pick(0, 2)) {
      case 0:  // nearly alike, down to a few ulps apart
        qa = tilt(std::pow(10.0, -pick(1, 16)));
        qb = tilt(std::pow(10.0, -pick(1, 16)));
        if (pick(0, 1) == 0)
          qb = qb * quarter;
        break;
      case 1: {  // one edge line nearly shared: B turned about x, then tilted
        qa = tilt(std::pow(10.0, -pick(1, 16)));
        const double half_turn = uniform(0, 1.5);
        qb = Quaternion(std::cos(half_turn), std::sin(half_turn), 0, 0) *
             tilt(std::pow(10.0, -pick(1, 16)));
        break;
      }
      default:
        qa = tilt(uniform(0, 3));
        qb = tilt(uniform(0, 3));
    }
    const double wa = uniform(0.3, 1.3) * scale, ha = uniform(0.3, 1.3) * scale,
                 da = uniform(0.3, 1.3) * scale;
    const double wb = uniform(0.3, 1.3) * scale, hb = uniform(0.3, 1.3) * scale,
                 db = uniform(0.3, 1.3) * scale;
    OwnedBodies bodies;
    RBody* A = bodies.Add(wa, ha, da, origin, false, qa);
    RBody* B = bodies.Add(wb, hb, db, origin, false, qb);
    // B beside A on world axis k, its corners from 1e-6 to 0.1 times the
    // scale apart from A's or into them, shifted a little across.
    const int k = pick(0, 2);
    auto half_on = [&](RBody* X) {
      double most = 0;
      for (const Vector3& v : X->vertices)
        most = std::max(most, (X->RotationMatrix() * v).axes[k]);
      return most;
    };
    Vector3 offset(uniform(-0.3, 0.3) * scale, uniform(-0.3, 0.3) * scale,
                   uniform(-0.3, 0.3) * scale);
    offset[static_cast<unsigned char>(k)] =
        (pick(0, 1) ? 1 : -1) *
        (half_on(A) + half_on(B) + (pick(0, 1) ? 1 : -1) * std::pow(10.0, uniform(-6, -1)) * scale);
    B->pos = origin + offset;
    const bool plain = reference::DetectCollision(A, B);
    ASSERT_EQ(CDetector::DetectCollision(A, B), plain) << trial;
    ASSERT_EQ(CDetector::DetectCollision(B, A), reference::DetectCollision(B, A)) << trial;
    double gap;
    ASSERT_EQ(CDetector::TestAxes(A, B, &gap) == CDetector::AxisVerdict::kOverlapping, plain)
        << trial;
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
