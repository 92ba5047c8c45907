// Contact impulses, the collision and contact solvers, separation and resting levels.

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <vector>

#include "collision/cdetector.h"
#include "helpers.h"
#include "response/csolver.h"
#include "response/resting.h"
#include "response/trace.h"

namespace {

// A corner point as the detector makes it; f is never read after creation.
CollisionPoint Corner(Vector3 local_p, Vector3 n) {
  CollisionPoint cp;
  cp.p = local_p;
  cp.n = n;
  return cp;
}

// What the solvers report: state records, and each pair as its level is solved.
struct Recorder : Trace::Sink {
  int state_records = 0, points = 0;
  std::vector<std::array<int, 3>> levels;  // level, id, id
  void StateRecord() override { ++state_records; }
  void Level(int lvl, int a, int b) override { levels.push_back({lvl, a, b}); }
  void Point(const Vector3&, double) override { ++points; }
};

const Vector3 kO(0, 0, 0), kUp(0, 0, 1), kX(1, 0, 0), kCorner(-0.5, -0.5, -0.5);

// Unit cube A (at a_pos, moving at a_vel, holding pts) on a static unit cube B at the origin.
struct Pair {
  Vector3 a_pos, a_vel;
  std::unique_ptr<RBody> A = MakeBox(1, 1, 1, a_pos), B = MakeBox(1, 1, 1, kO, true);
  Collision record{{A.get(), B.get()}, {}};

  Pair(Vector3 pos, Vector3 vel, std::vector<CollisionPoint> pts = {}) : a_pos(pos), a_vel(vel) {
    A->vel = vel;
    record.points[0] = pts;
  }
  // A moved exactly as one SolveOnePoint at world p along n moves it from the start.
  void ExpectOneImpulse(Vector3 p, Vector3 n, bool default_ela, double e) const {
    Pair want(a_pos, a_vel);
    want.B->pos = B->pos;
    SolveOnePoint(p, n, want.A.get(), want.B.get(), default_ela, e);
    EXPECT_TRUE(SameBits(A->vel, want.A->vel));
    EXPECT_TRUE(SameBits(A->ang_vel, want.A->ang_vel));
  }
  double CornerSpeed() const {
    return CDetector::RelativeVelocity(A->PointLocalToGlobal(kCorner), kUp, A.get(), B.get());
  }
};

class ResponseTest : public ::testing::Test {
 protected:
  void TearDown() override { Trace::SetSink(nullptr); }
};

}  // namespace

TEST_F(ResponseTest, SolveOnePoint) {
  auto floor = MakeBox(10, 10, 1, Vector3(0, 0, -0.5), true);
  // Falling at 3: bounces at e * 3, e from the bodies (0.5 * 0.5) or else from the argument.
  for (bool from_bodies : {true, false}) {
    auto box = MakeBox(2, 2, 2, Vector3(0, 0, 1));
    box->vel = Vector3(0, 0, -3);
    SolveOnePoint(kO, kUp, box.get(), floor.get(), from_bodies, from_bodies ? 0.9 : 0.7);
    ExpectNear(box->vel, Vector3(0, 0, (from_bodies ? 0.25 : 0.7) * 3));
    EXPECT_EQ(box->ang_vel, kO);
    EXPECT_EQ(floor->vel, kO);
  }
  // Side s = 2, inertia m s^2 / 6, sliding at w = 1.5: keeps 0.6 w, spins at 1.2 w / s about y.
  auto cube = MakeBox(2, 2, 2, Vector3(0, 0, 1));
  for (int i = 0; i < 3; ++i) {
    cube->local_inertia(i, i) = cube->mass * 4 / 6;
    cube->inv_local_inertia(i, i) = 6 / (cube->mass * 4);
  }
  cube->vel = Vector3(1.5, 0, -3);
  SolveOnePoint(kO, kUp, cube.get(), floor.get(), true, 0);
  ExpectNear(cube->vel, Vector3(0.6 * 1.5, 0, 0.25 * 3));
  ExpectNear(cube->ang_vel, Vector3(0, 1.2 * 1.5 / 2, 0));
  const Vector3 point_vel = cube->vel + (cube->ang_vel ^ (kO - cube->pos));
  EXPECT_NEAR(point_vel.x(), 0, 1e-12);  // the contact point stops sliding
  EXPECT_NEAR(point_vel.y(), 0, 1e-12);
  // Two bodies, each static or frozen, are never written.
  const Vector3 v[] = {{0.5, 0, -2}, {0.1, 0.2, 0.3}, {0, 1, 2}, {-0.3, 0, 0.1}};
  for (int mix = 0; mix < 4; ++mix) {
    auto a = MakeBox(1, 1, 1, Vector3(0, 0, 0.5), mix & 1);
    auto b = MakeBox(1, 1, 1, Vector3(0, 0, -0.5), mix & 2);
    a->is_frozen = !(mix & 1);
    b->is_frozen = !(mix & 2);
    a->vel = v[0];
    a->ang_vel = v[1];
    b->vel = v[2];
    b->ang_vel = v[3];
    SolveOnePoint(Vector3(0.1, 0.2, 0), kUp, a.get(), b.get(), true, 0);
    EXPECT_EQ(a->vel, v[0]) << mix;
    EXPECT_EQ(a->ang_vel, v[1]) << mix;
    EXPECT_EQ(b->vel, v[2]) << mix;
    EXPECT_EQ(b->ang_vel, v[3]) << mix;
  }
}

TEST_F(ResponseTest, CollisionAndContactSolvers) {
  // Overlap 0.05 along z, listed first, and dx along x: x wins only when deeper by over 0.0001.
  for (double dx : {0.05005, 0.0502}) {
    Pair p(Vector3(1 - dx, 0, 0.95), Vector3(-1, 0, -1),
           {Corner(kCorner, kUp), Corner(kCorner, kX)});
    CSolver::SolveCollision(&p.record, 0.04);
    p.ExpectOneImpulse(p.A->PointLocalToGlobal(kCorner), dx > 0.0501 ? kX : kUp, true, 0);
  }
  auto solve = [](double z, double vz, bool contact) {
    Pair p(Vector3(0, 0, z), Vector3(0, 0, vz), {Corner(kCorner, kUp)});
    if (contact)
      CSolver::SolveContact(&p.record, 0.04, 0);
    else
      CSolver::SolveCollision(&p.record, 0.04);
    return p;
  };
  EXPECT_EQ(solve(1.2, -1, false).A->vel, Vector3(0, 0, -1));  // 0.2 away: chosen, no impulse
  Pair touching = solve(1, -1, false);  // depth 0: an impulse; off-centre, the point bounces
  EXPECT_GT(touching.A->vel.z(), -1);
  EXPECT_GT(touching.CornerSpeed(), 0);
  // Approaching at 0.5 mm/s: too slow for a collision, enough for a contact.
  EXPECT_EQ(solve(0.95, -0.0005, false).A->vel, Vector3(0, 0, -0.0005));
  Pair contact = solve(0.95, -0.0005, true);
  EXPECT_NE(contact.A->vel.z(), -0.0005);
  EXPECT_NEAR(contact.CornerSpeed(), 0, 1e-9);  // the mean divides by a single-precision sum
  // Not chosen: -1.0000000001e-4 passes the threshold -1e-4 in double, not in single precision.
  EXPECT_EQ(solve(0.95, -1.0000000001e-4, true).A->vel, Vector3(0, 0, -1.0000000001e-4));

  // Flush on B off the origin, depths summing to 0: the plain mean, mid-face, so no spin.
  Pair flush(Vector3(3, 2, 1), Vector3(0, 0, -1));
  flush.B->pos = Vector3(3, 2, 0);
  for (double x : {-0.5, 0.5})
    for (double y : {-0.5, 0.5})
      flush.record.points[0].push_back(Corner(Vector3(x, y, -0.5), kUp));
  CSolver::SolveContact(&flush.record, 0.04, 0);
  flush.ExpectOneImpulse(Vector3(3, 2, 0.5), kUp, false, 0);
  EXPECT_EQ(flush.A->ang_vel, kO);
  EXPECT_EQ(flush.A->vel.z(), 0.0);
}

TEST_F(ResponseTest, SeparationSharesThePushByMass) {
  // A (mass 1) 0.1 deep into B (mass 3), approaching: 1 % of the depth, shared by mass.
  struct Case {
    int fixed;  // 1 A static, 2 A frozen, 4 B static, 8 B frozen
    double z, vz, da, db;
  };
  const Case cases[] = {{0, 0.9, -1, 0.00025, -0.00075},
                        {2, 0.9, -1, 0, -0.001},   // A frozen: B takes it all
                        {4, 0.9, -1, 0.001, 0},    // B static: A takes it all
                        {1 | 8, 0.9, -1, 0, 0},    // both immovable
                        {0, 1.0, -1, 0, 0},        // depth exactly 0
                        {0, 0.9, -0.0005, 0, 0}};  // approaching slower than 1 mm/s
  for (const Case& c : cases) {
    auto a = MakeBox(1, 1, 1, Vector3(0, 0, c.z), c.fixed & 1),
         b = MakeBox(3, 1, 1, kO, c.fixed & 4);
    a->is_frozen = c.fixed & 2;
    b->is_frozen = c.fixed & 8;
    a->vel = Vector3(0, 0, c.vz);
    Collision rec{{a.get(), b.get()}, {{Corner(kCorner, kUp)}}};
    Separation(&rec);
    ExpectNear(a->pos, Vector3(0, 0, c.z + c.da), c.da == 0 ? 0 : 1e-9);
    ExpectNear(b->pos, Vector3(0, 0, c.db), c.db == 0 ? 0 : 1e-9);
    EXPECT_EQ(a->vel, Vector3(0, 0, c.vz));  // positions only
    EXPECT_EQ(b->vel, kO);
  }
}

// A record that keeps its evaluations answers as a plain one through moves,
// turns and a move back, and its velocities are read afresh each time.
TEST_F(ResponseTest, KeptEvaluationsFollowThePoses) {
  auto a = MakeBox(1, 1, 1, Vector3(0, 0, 0.9)), b = MakeBox(3, 1, 1, kO);
  Collision kept{{a.get(), b.get()}, {{Corner(kCorner, kUp)}}};
  kept.keep_evaluations = true;
  Collision plain{{a.get(), b.get()}, {{Corner(kCorner, kUp)}}};
  // A scan without sums first (kept ones that no longer hold are not read),
  // then one with sums (which makes and keeps them), then one without again
  // (which reads them).
  auto expect_same = [&](const char* what) {
    std::vector<std::pair<CSolver::ScanResult, CSolver::ScanResult>> scans;
    scans.emplace_back(CSolver::ScanPoints(&kept, 0.0, -0.001),
                       CSolver::ScanPoints(&plain, 0.0, -0.001));
    Vector3 sum_k, sum_p;
    float depth_k = 0, depth_p = 0;
    scans.emplace_back(CSolver::ScanPoints(&kept, 0.0, -0.001, &sum_k, &depth_k),
                       CSolver::ScanPoints(&plain, 0.0, -0.001, &sum_p, &depth_p));
    EXPECT_TRUE(kept.has_evaluations) << what;
    scans.emplace_back(CSolver::ScanPoints(&kept, 0.0, -0.001),
                       CSolver::ScanPoints(&plain, 0.0, -0.001));
    for (const auto& [k, p] : scans)
      EXPECT_TRUE(SameBits(k.max_depth, p.max_depth) && SameBits(k.max_point, p.max_point) &&
                  SameBits(k.max_normal, p.max_normal))
          << what;
    EXPECT_TRUE(SameBits(sum_k, sum_p) && SameBits(depth_k, depth_p)) << what;
  };
  a->vel = Vector3(0, 0, -1);
  expect_same("first");
  expect_same("again");
  a->vel = Vector3(0, 0, 1);  // separating: no point taken
  expect_same("separating");
  a->vel = Vector3(0, 0, -1);
  a->pos = Vector3(0, 0, 0.95);
  expect_same("moved");
  a->SetAngPos(Quaternion(1, 0, 0, 0.1));
  expect_same("turned");
  a->SetAngPos(Quaternion(1, 0, 0, 0));
  a->pos = Vector3(0, 0, 0.9);
  expect_same("back");
  // A point added since, at the same poses, is evaluated too.
  kept.points[1].push_back(Corner(kCorner, kUp));
  plain.points[1].push_back(Corner(kCorner, kUp));
  expect_same("grown");
}

TEST_F(ResponseTest, RestingLevels) {
  // A floor with a stack of three; far off, two boxes pressed together in
  // mid-air and moving together, which no static body reaches.
  OwnedBodies w;
  w.Add(10, 10, 1, Vector3(0, 0, -0.5), true);
  for (int k = 0; k < 3; ++k)
    w.Add(1, 1, 1, Vector3(0, 0, 0.5 + k));
  w.Add(1, 1, 1, Vector3(20, 0, 5))->vel = Vector3(0.1, 0, 1);
  RBody* top = w.Add(1, 1, 1, Vector3(20, 0, 5.95));
  top->vel = Vector3(0, 0, -1);
  top->ang_vel = Vector3(0, 0.3, 0);
  const RBState air[] = {w.list[4]->State(), top->State()};
  Recorder trace;
  Trace::SetSink(&trace);
  Resting::SolveAll(&w.list, 0.04);
  // Each contact is found from both sides; level k joins k-1 and k; one table per pass.
  std::vector<std::array<int, 3>> want;
  for (int pass = 0; pass < 2; ++pass)
    want.insert(want.end(), {{0, 0, 1}, {0, 1, 0}, {1, 1, 2}, {1, 2, 1}, {2, 2, 3}, {2, 3, 2}});
  EXPECT_EQ(trace.levels, want);
  EXPECT_EQ(trace.state_records, 2);                  // before and after the impulse passes
  EXPECT_TRUE(SameBits(w.list[4]->State(), air[0]));  // bit for bit
  EXPECT_TRUE(SameBits(top->State(), air[1]));
  for (RBody* b : w.list)
    EXPECT_FALSE(b->is_frozen);
}
