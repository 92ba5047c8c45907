// Impulse at a contact point, the collision and contact solvers, and the
// resting-contact solver by levels.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/dump.h"
#include "app/globals.h"
#include "app/simulation.h"
#include "collision/cdetector.h"
#include "response/csolver.h"
#include "response/resting.h"
#include "scratch_env.h"

namespace {

std::unique_ptr<RBody> Box(double w, double h, double d, Vector3 pos, bool is_static = false) {
  auto b = std::make_unique<RBody>(1.0, w, h, d, "box");
  b->pos = pos;
  b->is_static = is_static;
  return b;
}

// A corner point as the detector makes it; f is never read after creation.
CollisionPoint Corner(Vector3 local_p, Vector3 n) {
  CollisionPoint cp;
  cp.p = local_p;
  cp.n = n;
  return cp;
}

void ExpectSameMotion(RBody& x, RBody& y) {
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(x.vel.axes[i], y.vel.axes[i]) << "vel " << i;
    EXPECT_EQ(x.ang_vel.axes[i], y.ang_vel.axes[i]) << "ang_vel " << i;
  }
}

void ExpectNear(const Vector3& v, double x, double y, double z, double tol) {
  EXPECT_NEAR(v.x(), x, tol);
  EXPECT_NEAR(v.y(), y, tol);
  EXPECT_NEAR(v.z(), z, tol);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream s(text);
  for (std::string line; std::getline(s, line);)
    lines.push_back(line);
  return lines;
}

// Two unit cubes: B static at the origin, A movable at a_pos with velocity a_vel.
struct Pair {
  std::unique_ptr<RBody> A, B;
  Collision record;

  Pair(Vector3 a_pos, Vector3 a_vel) : A(Box(1, 1, 1, a_pos)), B(Box(1, 1, 1, Vector3(), true)) {
    A->vel = a_vel;
    record.bodies[0] = A.get();
    record.bodies[1] = B.get();
  }
};

class ResponseTest : public ::testing::Test {
 protected:
  void TearDown() override { ResetSimulation(); }
};

}  // namespace

TEST_F(ResponseTest, FallingBoxBouncesWithRestitutionTimesSpeed) {
  const double v = 3.0;
  auto floor = Box(10, 10, 1, Vector3(0, 0, -0.5), true);
  {  // restitution from the bodies: 0.5 * 0.5
    auto box = Box(2, 2, 2, Vector3(0, 0, 1));
    box->vel = Vector3(0, 0, -v);
    SolveOnePoint(Vector3(0, 0, 0), Vector3(0, 0, 1), box.get(), floor.get(), true, 0.9);
    ExpectNear(box->vel, 0, 0, 0.25 * v, 1e-12);
    EXPECT_EQ(box->ang_vel, Vector3(0, 0, 0));
  }
  {  // restitution from the argument
    auto box = Box(2, 2, 2, Vector3(0, 0, 1));
    box->vel = Vector3(0, 0, -v);
    SolveOnePoint(Vector3(0, 0, 0), Vector3(0, 0, 1), box.get(), floor.get(), false, 0.7);
    ExpectNear(box->vel, 0, 0, 0.7 * v, 1e-12);
  }
  {  // the floor as A: the normal points from the box towards the floor
    auto box = Box(2, 2, 2, Vector3(0, 0, 1));
    box->vel = Vector3(0, 0, -v);
    SolveOnePoint(Vector3(0, 0, 0), Vector3(0, 0, -1), floor.get(), box.get(), true, 0);
    ExpectNear(box->vel, 0, 0, 0.25 * v, 1e-12);
    EXPECT_EQ(floor->vel, Vector3(0, 0, 0));
  }
}

TEST_F(ResponseTest, SlidingCubeKeepsSixTenthsAndSpins) {
  const double s = 2, v = 3, w = 1.5;
  auto floor = Box(10, 10, 1, Vector3(0, 0, -0.5), true);
  {  // a cube whose inertia is m s^2 / 6 about every axis
    auto cube = Box(s, s, s, Vector3(0, 0, s / 2));
    const double m = cube->mass;
    cube->local_inertia = Matrix3x3();
    cube->inv_local_inertia = Matrix3x3();
    for (int i = 0; i < 3; ++i) {
      cube->local_inertia(i, i) = m * s * s / 6;
      cube->inv_local_inertia(i, i) = 6 / (m * s * s);
    }
    cube->vel = Vector3(w, 0, -v);
    SolveOnePoint(Vector3(0, 0, 0), Vector3(0, 0, 1), cube.get(), floor.get(), true, 0);
    ExpectNear(cube->vel, 0.6 * w, 0, 0.25 * v, 1e-12);
    // Spin about n x (sliding direction) = z x x = y.
    ExpectNear(cube->ang_vel, 0, 1.2 * w / s, 0, 1e-12);
    Vector3 point_vel = cube->vel + (cube->ang_vel ^ (Vector3(0, 0, 0) - cube->pos));
    EXPECT_NEAR(point_vel.x(), 0, 1e-12);
    EXPECT_NEAR(point_vel.y(), 0, 1e-12);
  }
  {  // with the body's own (doubled) inertia the point still stops sliding
    auto cube = Box(s, s, s, Vector3(0, 0, s / 2));
    cube->vel = Vector3(0, -w, -v);
    SolveOnePoint(Vector3(0, 0, 0), Vector3(0, 0, 1), cube.get(), floor.get(), true, 0);
    Vector3 point_vel = cube->vel + (cube->ang_vel ^ (Vector3(0, 0, 0) - cube->pos));
    EXPECT_NEAR(point_vel.x(), 0, 1e-12);
    EXPECT_NEAR(point_vel.y(), 0, 1e-12);
    EXPECT_NEAR(cube->vel.y(), -w * 3 / 7, 1e-12);
  }
}

TEST_F(ResponseTest, ImmovablePairsAreNotTouched) {
  auto check = [](bool a_static, bool a_frozen, bool b_static, bool b_frozen) {
    auto a = Box(1, 1, 1, Vector3(0, 0, 0.5));
    auto b = Box(1, 1, 1, Vector3(0, 0, -0.5));
    a->is_static = a_static;
    a->is_frozen = a_frozen;
    b->is_static = b_static;
    b->is_frozen = b_frozen;
    a->vel = Vector3(0.5, 0, -2);
    a->ang_vel = Vector3(0.1, 0.2, 0.3);
    b->vel = Vector3(0, 1, 2);
    b->ang_vel = Vector3(-0.3, 0, 0.1);
    SolveOnePoint(Vector3(0.1, 0.2, 0), Vector3(0, 0, 1), a.get(), b.get(), true, 0);
    EXPECT_EQ(a->vel, Vector3(0.5, 0, -2));
    EXPECT_EQ(a->ang_vel, Vector3(0.1, 0.2, 0.3));
    EXPECT_EQ(b->vel, Vector3(0, 1, 2));
    EXPECT_EQ(b->ang_vel, Vector3(-0.3, 0, 0.1));
  };
  check(true, false, true, false);  // both static
  check(false, true, false, true);  // both frozen
  check(true, false, false, true);  // static and frozen
  check(false, true, true, false);
}

TEST_F(ResponseTest, ImmovableBodyMotionStillCounts) {
  // A platform moving up into a box at rest: the box is pushed, the platform
  // keeps its velocity.
  auto platform = Box(4, 4, 1, Vector3(0, 0, -0.5), true);
  platform->vel = Vector3(0, 0, 1);
  auto box = Box(1, 1, 1, Vector3(0, 0, 0.5));
  SolveOnePoint(Vector3(0, 0, 0), Vector3(0, 0, 1), box.get(), platform.get(), false, 0);
  ExpectNear(box->vel, 0, 0, 1, 1e-12);
  EXPECT_EQ(platform->vel, Vector3(0, 0, 1));
  {  // frozen counts as immovable for the impulse as well
    auto other = Box(1, 1, 1, Vector3(0, 0, 0.5));
    auto frozen = Box(1, 1, 1, Vector3(0, 0, -0.5));
    frozen->is_frozen = true;
    other->vel = Vector3(0, 0, -1);
    SolveOnePoint(Vector3(0, 0, 0), Vector3(0, 0, 1), other.get(), frozen.get(), false, 0);
    ExpectNear(other->vel, 0, 0, 0, 1e-12);
    EXPECT_EQ(frozen->vel, Vector3(0, 0, 0));
  }
}

TEST_F(ResponseTest, FrictionSkippedBelowOneCentimetrePerSecond) {
  auto floor = Box(10, 10, 1, Vector3(0, 0, -0.5), true);
  auto box = Box(1, 1, 1, Vector3(0, 0, 0.5));
  box->vel = Vector3(0.0099, 0, -1);
  SolveOnePoint(Vector3(0, 0, 0), Vector3(0, 0, 1), box.get(), floor.get(), false, 0);
  EXPECT_EQ(box->vel.x(), 0.0099);
  EXPECT_EQ(box->ang_vel, Vector3(0, 0, 0));
}

TEST_F(ResponseTest, FrictionBoundActsOnlyWhenImpulsePulls) {
  auto floor = Box(10, 10, 1, Vector3(0, 0, -0.5), true);
  {  // separating point: j < 0 pulls, friction is 0.1 j along t
    const double v = 2, w = 1;
    auto box = Box(1, 1, 1, Vector3(0, 0, 0.5));
    box->vel = Vector3(w, 0, v);
    SolveOnePoint(Vector3(0, 0, 0), Vector3(0, 0, 1), box.get(), floor.get(), false, 0.5);
    // j = -1.5 v m; J_f = 0.1 j (-x) gives +0.15 v along x.
    ExpectNear(box->vel, w + 0.15 * v, 0, -0.5 * v, 1e-12);
  }
  {  // j = 0 exactly (e = -1): nothing changes, friction included
    auto box = Box(1, 1, 1, Vector3(0, 0, 0.5));
    box->vel = Vector3(1, 0, -2);
    SolveOnePoint(Vector3(0, 0, 0), Vector3(0, 0, 1), box.get(), floor.get(), false, -1);
    EXPECT_EQ(box->vel, Vector3(1, 0, -2));
    EXPECT_EQ(box->ang_vel, Vector3(0, 0, 0));
  }
}

TEST_F(ResponseTest, SolveAllCollisionsGoesLastToFirstAndFreesAll) {
  // A box pressed into a floor and two walls, moving into all three. Friction
  // couples the three impulses, so the order shows in the result.
  struct World {
    std::unique_ptr<RBody> box, floor, wall_x, wall_y;
    std::vector<Collision*> records;
    World() {
      box = Box(1, 1, 1, Vector3(0, 0, 0.48));
      box->vel = Vector3(-1, -0.5, -2);
      box->ang_vel = Vector3(0.2, -0.1, 0.3);
      floor = Box(10, 10, 1, Vector3(0, 0, -0.5), true);
      wall_x = Box(1, 10, 10, Vector3(-0.98, 0, 0), true);
      wall_y = Box(10, 1, 10, Vector3(0, -0.98, 0), true);
      for (RBody* other : {floor.get(), wall_x.get(), wall_y.get()})
        records.push_back(CDetector::GetCollisionPoints(box.get(), other));
    }
    ~World() {
      for (Collision* c : records)
        delete c;
    }
  };
  World all, manual, forward;
  for (Collision* c : all.records)
    ASSERT_FALSE(c->points[0].empty() && c->points[1].empty());

  CSolver::SolveAllCollisions(&all.records, 0.04);
  EXPECT_TRUE(all.records.empty());  // and every record freed (the sanitizer build checks)

  for (int i = 2; i >= 0; --i)
    CSolver::SolveCollision(manual.records[i], 0.04);
  for (int i = 0; i <= 2; ++i)
    CSolver::SolveCollision(forward.records[i], 0.04);
  ExpectSameMotion(*all.box, *manual.box);
  EXPECT_FALSE(all.box->vel == forward.box->vel) << "the test cannot tell the orders apart";

  std::vector<Collision*> empty;
  CSolver::SolveAllCollisions(&empty, 0.04);
  EXPECT_TRUE(empty.empty());
}

TEST_F(ResponseTest, DeepestPointNeedsAMarginOfATenthMillimetre) {
  // A's corner overlaps B by 0.05 along z and by dx along x; one corner point
  // with each normal, z first. A moves into B along both.
  auto run = [](double dx, bool expect_x) {
    const Vector3 pos(1 - dx, 0, 0.95), vel(-1, 0, -1), corner(-0.5, -0.5, -0.5);
    Pair solved(pos, vel), expected(pos, vel);
    solved.record.points[0].push_back(Corner(corner, Vector3(0, 0, 1)));
    solved.record.points[0].push_back(Corner(corner, Vector3(1, 0, 0)));
    CSolver::SolveCollision(&solved.record, 0.04);
    SolveOnePoint(expected.A->PointLocalToGlobal(corner),
                  expect_x ? Vector3(1, 0, 0) : Vector3(0, 0, 1), expected.A.get(),
                  expected.B.get(), true, 0);
    ExpectSameMotion(*solved.A, *expected.A);
  };
  run(0.05005, false);  // deeper by less than the margin: the first stays
  run(0.0502, true);    // deeper by more: the second is taken
}

TEST_F(ResponseTest, SolveCollisionNeedsDepthAndApproach) {
  const Vector3 corner(-0.5, -0.5, -0.5), up(0, 0, 1);
  {  // the only approaching point is 0.2 away: chosen, but no impulse
    Pair p(Vector3(0, 0, 1.2), Vector3(0, 0, -1));
    p.record.points[0].push_back(Corner(corner, up));
    CSolver::SolveCollision(&p.record, 0.04);
    EXPECT_EQ(p.A->vel, Vector3(0, 0, -1));
  }
  {  // depth exactly 0: an impulse
    Pair p(Vector3(0, 0, 1), Vector3(0, 0, -1));
    p.record.points[0].push_back(Corner(corner, up));
    CSolver::SolveCollision(&p.record, 0.04);
    // Off-centre point: the centre slows, the point bounces.
    EXPECT_GT(p.A->vel.z(), -1);
    EXPECT_GT(
        CDetector::RelativeVelocity(p.A->PointLocalToGlobal(corner), up, p.A.get(), p.B.get()), 0);
  }
  {  // approaching at 0.5 mm/s: too slow for a collision, enough for a contact
    Pair collide(Vector3(0, 0, 0.95), Vector3(0, 0, -0.0005));
    collide.record.points[0].push_back(Corner(corner, up));
    CSolver::SolveCollision(&collide.record, 0.04);
    EXPECT_EQ(collide.A->vel, Vector3(0, 0, -0.0005));
    Pair contact(Vector3(0, 0, 0.95), Vector3(0, 0, -0.0005));
    contact.record.points[0].push_back(Corner(corner, up));
    CSolver::SolveContact(&contact.record, 0.04, 0);
    EXPECT_NE(contact.A->vel.z(), -0.0005);
    EXPECT_NEAR(CDetector::RelativeVelocity(contact.A->PointLocalToGlobal(corner), up,
                                            contact.A.get(), contact.B.get()),
                0, 1e-9);  // the mean divides by a single-precision sum
  }
  {  // separating points are never chosen
    Pair p(Vector3(0, 0, 0.95), Vector3(0, 0, 1));
    p.record.points[0].push_back(Corner(corner, up));
    CSolver::SolveCollision(&p.record, 0.04);
    CSolver::SolveContact(&p.record, 0.04, 0);
    EXPECT_EQ(p.A->vel, Vector3(0, 0, 1));
  }
}

TEST_F(ResponseTest, RelativeSpeedIsRoundedToSinglePrecision) {
  // -1.0000000001e-4 is past the contact threshold of -1e-4 in double, but
  // rounds to the float just above it: the point does not count as approaching.
  const Vector3 corner(-0.5, -0.5, -0.5);
  Pair p(Vector3(0, 0, 0.95), Vector3(0, 0, -1.0000000001e-4));
  p.record.points[0].push_back(Corner(corner, Vector3(0, 0, 1)));
  ASSERT_LT(CDetector::RelativeVelocity(p.A->PointLocalToGlobal(corner), Vector3(0, 0, 1),
                                        p.A.get(), p.B.get()),
            -0.0001);
  CSolver::SolveContact(&p.record, 0.04, 0);
  EXPECT_EQ(p.A->vel, Vector3(0, 0, -1.0000000001e-4));
}

TEST_F(ResponseTest, PointOfSecondListActsAlongNegatedNormal) {
  // B's corner inside A, normal from A towards B: the impulse on the pair must
  // push A up, that is along the negated normal.
  const Vector3 corner(0.5, 0.5, 0.5);
  Pair solved(Vector3(0, 0, 0.95), Vector3(0, 0, -1)),
      expected(Vector3(0, 0, 0.95), Vector3(0, 0, -1));
  solved.record.points[1].push_back(Corner(corner, Vector3(0, 0, -1)));
  CSolver::SolveCollision(&solved.record, 0.04);
  SolveOnePoint(expected.B->PointLocalToGlobal(corner), Vector3(0, 0, 1), expected.A.get(),
                expected.B.get(), true, 0);
  ExpectSameMotion(*solved.A, *expected.A);
  EXPECT_GT(solved.A->vel.z(), -1);
}

TEST_F(ResponseTest, SolveContactActsAtDepthWeightedMean) {
  // Overlap 0.02 along z (approaching) and 0.01 along x (not approaching).
  const Vector3 pos(0.99, 0, 0.98), vel(0, 0, -1);
  const Vector3 c1(-0.5, -0.5, -0.5), c2(-0.5, 0.5, 0.5);
  Pair solved(pos, vel), expected(pos, vel);
  solved.record.points[0].push_back(Corner(c1, Vector3(0, 0, 1)));
  solved.record.points[0].push_back(Corner(c2, Vector3(1, 0, 0)));

  PointEvaluation e1 =
      CDetector::EvaluatePoint(solved.record.points[0][0], solved.A.get(), solved.B.get());
  PointEvaluation e2 =
      CDetector::EvaluatePoint(solved.record.points[0][1], solved.A.get(), solved.B.get());
  ASSERT_NEAR(e1.depth, 0.02, 1e-12);
  ASSERT_NEAR(e2.depth, 0.01, 1e-12);
  Vector3 sum = Vector3() + e1.p * e1.depth;
  sum += e2.p * e2.depth;
  float depth_sum = 0;
  depth_sum += e1.depth;
  depth_sum += e2.depth;
  Vector3 mean = sum / depth_sum;
  Vector3 thirds = (e1.p * 2 + e2.p) / 3;
  ExpectNear(mean, thirds.x(), thirds.y(), thirds.z(), 1e-6);

  global::DumpInfo();  // opens the dump, which receives the contact point
  CSolver::SolveContact(&solved.record, 0.04, 0.3);
  SolveOnePoint(mean, Vector3(0, 0, 1), expected.A.get(), expected.B.get(), false, 0.3);
  ExpectSameMotion(*solved.A, *expected.A);

  global::dumpfile.close();
  std::vector<std::string> lines = Lines(ReadFile("dump0.txt"));
  ASSERT_GE(lines.size(), 2u);
  std::ostringstream want;
  want << " mpoint: " << mean.x() << "," << mean.y() << "," << mean.z();
  EXPECT_EQ(lines[lines.size() - 2], want.str());
  EXPECT_EQ(lines.back(), " 0.02");
}

TEST_F(ResponseTest, SolveContactWithZeroDepthSumActsAtThePlainMean) {
  // Touching exactly, away from the world origin: the weighted mean is
  // undefined, so the impulse acts at the plain mean of the points. Under the
  // centre of a flush face that adds no spin at all.
  const Vector3 pos(3, 2, 1), vel(0, 0, -1);
  Pair solved(pos, vel), expected(pos, vel);
  solved.B->pos = Vector3(3, 2, 0);
  expected.B->pos = Vector3(3, 2, 0);
  for (double x : {-0.5, 0.5})
    for (double y : {-0.5, 0.5})
      solved.record.points[0].push_back(Corner(Vector3(x, y, -0.5), Vector3(0, 0, 1)));
  CSolver::SolveContact(&solved.record, 0.04, 0);
  SolveOnePoint(Vector3(3, 2, 0.5), Vector3(0, 0, 1), expected.A.get(), expected.B.get(), false, 0);
  ExpectSameMotion(*solved.A, *expected.A);
  EXPECT_EQ(solved.A->ang_vel, Vector3(0, 0, 0));
  EXPECT_EQ(solved.A->vel.z(), 0.0);
}

TEST_F(ResponseTest, SeparationSharesThePushByMass) {
  const Vector3 corner(-0.5, -0.5, -0.5), up(0, 0, 1);
  auto make = [&](std::unique_ptr<RBody>& a, std::unique_ptr<RBody>& b, Collision& rec) {
    a = Box(1, 1, 1, Vector3(0, 0, 0.9));  // mass 1, 0.1 deep into b
    b = Box(3, 1, 1, Vector3(0, 0, 0));    // mass 3
    a->vel = Vector3(0, 0, -1);
    rec.bodies[0] = a.get();
    rec.bodies[1] = b.get();
    rec.points[0].push_back(Corner(corner, up));
  };
  {  // both movable: A by 0.00025 up, B by 0.00075 down
    std::unique_ptr<RBody> a, b;
    Collision rec;
    make(a, b, rec);
    Separation(&rec);
    ExpectNear(a->pos, 0, 0, 0.9 + 0.00025, 1e-9);
    ExpectNear(b->pos, 0, 0, -0.00075, 1e-9);
    EXPECT_EQ(a->vel, Vector3(0, 0, -1));
    EXPECT_EQ(b->vel, Vector3(0, 0, 0));
  }
  {  // A frozen: B takes the whole 1 %
    std::unique_ptr<RBody> a, b;
    Collision rec;
    make(a, b, rec);
    a->is_frozen = true;
    Separation(&rec);
    EXPECT_EQ(a->pos, Vector3(0, 0, 0.9));
    ExpectNear(b->pos, 0, 0, -0.001, 1e-9);
  }
  {  // B static: A takes it
    std::unique_ptr<RBody> a, b;
    Collision rec;
    make(a, b, rec);
    b->is_static = true;
    Separation(&rec);
    ExpectNear(a->pos, 0, 0, 0.901, 1e-9);
    EXPECT_EQ(b->pos, Vector3(0, 0, 0));
  }
  {  // both immovable: nothing
    std::unique_ptr<RBody> a, b;
    Collision rec;
    make(a, b, rec);
    a->is_static = true;
    b->is_frozen = true;
    Separation(&rec);
    EXPECT_EQ(a->pos, Vector3(0, 0, 0.9));
    EXPECT_EQ(b->pos, Vector3(0, 0, 0));
  }
  {  // depth exactly 0: nothing
    std::unique_ptr<RBody> a, b;
    Collision rec;
    make(a, b, rec);
    a->pos = Vector3(0, 0, 1);
    Separation(&rec);
    EXPECT_EQ(a->pos, Vector3(0, 0, 1));
    EXPECT_EQ(b->pos, Vector3(0, 0, 0));
  }
  {  // no depth margin: a point deeper by a mere 0.05 mm is taken
    Pair p(Vector3(1 - 0.05005, 0, 0.95), Vector3(-1, 0, -1));
    p.record.points[0].push_back(Corner(corner, Vector3(0, 0, 1)));
    p.record.points[0].push_back(Corner(corner, Vector3(1, 0, 0)));
    Separation(&p.record);
    EXPECT_EQ(p.A->pos.z(), 0.95);
    EXPECT_NEAR(p.A->pos.x(), 1 - 0.05005 + 0.0005005, 1e-9);
  }
  {  // approaching at 0.5 mm/s is below the 1 mm/s threshold: nothing
    std::unique_ptr<RBody> a, b;
    Collision rec;
    make(a, b, rec);
    a->vel = Vector3(0, 0, -0.0005);
    Separation(&rec);
    EXPECT_EQ(a->pos, Vector3(0, 0, 0.9));
  }
}

TEST_F(ResponseTest, LevelsOfAStackOnAFloor) {
  // Floor, then three unit cubes standing exactly on each other, all at rest.
  global::bodies.push_back(Box(10, 10, 1, Vector3(0, 0, -0.5), true).release());
  for (int k = 0; k < 3; ++k)
    global::bodies.push_back(Box(1, 1, 1, Vector3(0, 0, 0.5 + k)).release());
  for (int i = 0; i < 4; ++i)
    global::bodies[i]->id = i;

  Resting::SolveAll(&global::bodies, 0.04);
  global::dumpfile.close();
  std::vector<std::string> lines = Lines(ReadFile("dump0.txt"));

  std::vector<std::string> levels;
  for (const std::string& l : lines)
    if (l.rfind(" lvl", 0) == 0)
      levels.push_back(l);
  // Each contact was found from both sides; level k joins k-1 and k.
  const std::vector<std::string> one_pass = {" lvl0 0 1", " lvl0 1 0", " lvl1 1 2",
                                             " lvl1 2 1", " lvl2 2 3", " lvl2 3 2"};
  std::vector<std::string> want = one_pass;
  want.insert(want.end(), one_pass.begin(), one_pass.end());
  EXPECT_EQ(levels, want);
  // Two state records, one before and one after the level passes.
  int records = 0;
  for (const std::string& l : lines)
    records += l.rfind("t: ", 0) == 0;
  EXPECT_EQ(records, 2);
  for (RBody* b : global::bodies)
    EXPECT_FALSE(b->is_frozen);
}

TEST_F(ResponseTest, LevelsFollowTheFewestContacts) {
  // Box 3 touches a level-0 box and a level-1 box: it gets level 1. Box 2
  // sits across box 1 and box 3 at the same level, and that contact is
  // listed once per record.
  global::bodies.push_back(Box(20, 20, 1, Vector3(0, 0, -0.5), true).release());
  global::bodies.push_back(Box(1, 1, 1, Vector3(0, 0, 0.5)).release());  // 1: level 0
  global::bodies.push_back(Box(1, 1, 1, Vector3(0, 0, 1.5)).release());  // 2: on 1, level 1
  global::bodies.push_back(Box(1, 1, 1, Vector3(1, 0, 1.5)).release());  // 3: beside 2, level 1
  global::bodies.push_back(Box(1, 1, 1, Vector3(1, 0, 0.5)).release());  // 4: under 3, level 0
  for (int i = 0; i < 5; ++i)
    global::bodies[i]->id = i;
  Resting::SolveAll(&global::bodies, 0.04);
  global::dumpfile.close();
  std::vector<std::string> levels;
  for (const std::string& l : Lines(ReadFile("dump0.txt")))
    if (l.rfind(" lvl", 0) == 0)
      levels.push_back(l);
  ASSERT_EQ(levels.size() % 2, 0u);
  levels.resize(levels.size() / 2);  // the first restitution pass
  for (const std::string& l : levels)
    EXPECT_TRUE(l.rfind(" lvl0", 0) == 0 || l.rfind(" lvl1", 0) == 0) << l;
  auto count = [&](const std::string& l) { return std::count(levels.begin(), levels.end(), l); };
  EXPECT_EQ(count(" lvl1 2 3"), 1);
  EXPECT_EQ(count(" lvl1 3 2"), 1);
  EXPECT_EQ(count(" lvl1 3 4"), 1);
  EXPECT_EQ(count(" lvl0 1 4"), 1);
  EXPECT_EQ(count(" lvl0 0 4"), 1);
  EXPECT_EQ(count(" lvl2 2 3"), 0);
}

TEST_F(ResponseTest, BodiesThatReachNoStaticBodyAreLeftAlone) {
  // Two boxes pressed into each other in mid-air, moving together.
  global::bodies.push_back(Box(1, 1, 1, Vector3(0, 0, 5)).release());
  global::bodies.push_back(Box(1, 1, 1, Vector3(0, 0, 5.95)).release());
  global::bodies.push_back(Box(10, 10, 1, Vector3(0, 0, -0.5), true).release());
  global::bodies[0]->vel = Vector3(0.1, 0, 1);
  global::bodies[1]->vel = Vector3(0, 0, -1);
  global::bodies[1]->ang_vel = Vector3(0, 0.3, 0);
  for (int i = 0; i < 3; ++i)
    global::bodies[i]->id = i;
  std::vector<RBState> before;
  for (RBody* b : global::bodies)
    before.push_back(b->State());

  Resting::SolveAll(&global::bodies, 0.04);
  for (std::size_t i = 0; i < global::bodies.size(); ++i) {
    RBody* b = global::bodies[i];
    EXPECT_EQ(b->pos, before[i].pos);
    EXPECT_EQ(b->vel, before[i].vel);
    EXPECT_EQ(b->ang_vel, before[i].ang_vel);
    EXPECT_EQ(b->ang_pos.s, before[i].ang_pos.s);
    EXPECT_EQ(b->ang_pos.v, before[i].ang_pos.v);
    EXPECT_FALSE(b->is_frozen);
  }
  global::dumpfile.close();
  for (const std::string& l : Lines(ReadFile("dump0.txt")))
    EXPECT_NE(l.rfind(" lvl", 0), 0u) << l;
}

TEST_F(ResponseTest, RestingSolverStopsASinkingBoxOnTheFloor) {
  // A box moving down into the floor after the velocity step: the passes
  // take out the approach and push it up a little, and no flag stays set.
  global::bodies.push_back(Box(10, 10, 1, Vector3(0, 0, -0.5), true).release());
  global::bodies.push_back(Box(1, 1, 1, Vector3(0, 0, 0.49)).release());
  global::bodies[1]->id = 1;
  global::bodies[1]->vel = Vector3(0, 0, -0.392);
  Resting::SolveAll(&global::bodies, 0.04);
  RBody* box = global::bodies[1];
  EXPECT_GT(box->vel.z(), -0.392);
  EXPECT_GE(box->pos.z(), 0.49);
  EXPECT_FALSE(box->is_frozen);
  EXPECT_FALSE(global::bodies[0]->is_frozen);
  EXPECT_EQ(global::bodies[0]->pos, Vector3(0, 0, -0.5));
}
