#include <gtest/gtest.h>

#include <cmath>

#include "body/rbody.h"
#include "body/rbstate.h"

namespace {

void ExpectVec(const Vector3& v, double x, double y, double z) {
  EXPECT_DOUBLE_EQ(v.x(), x);
  EXPECT_DOUBLE_EQ(v.y(), y);
  EXPECT_DOUBLE_EQ(v.z(), z);
}

RBState StateAt(double x) {
  return RBState(Vector3(x, 0, 0), Vector3(0, x, 0), Quaternion(), Vector3(0, 0, x));
}

}  // namespace

// Mass is the volume and the inertia doubled: every recorded trace depends on
// these, so a "fix" towards textbook values must fail here.
TEST(RBody, MassAndInertia) {
  RBody b(7, 2, 4, 6, "b");
  EXPECT_EQ(b.mass, 48.0);
  EXPECT_EQ(b.density, 7.0);
  EXPECT_DOUBLE_EQ(b.local_inertia(0, 0), 416.0);
  EXPECT_DOUBLE_EQ(b.local_inertia(1, 1), 320.0);
  EXPECT_DOUBLE_EQ(b.local_inertia(2, 2), 160.0);
  EXPECT_EQ(b.local_inertia(0, 1), 0.0);
  EXPECT_DOUBLE_EQ(b.inv_local_inertia(0, 0), 1 / 416.0);
  EXPECT_DOUBLE_EQ(b.inv_local_inertia(1, 1), 1 / 320.0);
  EXPECT_DOUBLE_EQ(b.inv_local_inertia(2, 2), 1 / 160.0);

  RBody cube(1, 1, 1, 1, "cube");
  EXPECT_EQ(cube.mass, 1.0);
  for (int i = 0; i < 3; ++i)
    EXPECT_DOUBLE_EQ(cube.local_inertia(i, i), 1 / 3.0);
  EXPECT_DOUBLE_EQ(cube.bounding_radius, std::sqrt(0.75));
}

TEST(RBody, StateExchangeAndRotationCache) {
  RBody b(1, 1, 1, 1, "s");
  b.SetAngPos(Quaternion(2, Vector3(0, 0, 0)));
  EXPECT_EQ(b.ang_pos.s, 1.0);

  b.pos = Vector3(1, 2, 3);
  b.vel = Vector3(4, 5, 6);
  b.ang_vel = Vector3(7, 8, 9);
  b.ApplyState(b.State());
  ExpectVec(b.pos, 1, 2, 3);
  ExpectVec(b.vel, 4, 5, 6);
  ExpectVec(b.ang_vel, 7, 8, 9);

  Matrix3x3 id = b.RotationMatrix();
  EXPECT_TRUE(b.rot_matrix_valid);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      EXPECT_EQ(id(i, j), i == j ? 1.0 : 0.0);

  // A quarter turn about z through ApplyPos must not serve the stale identity.
  RBState turned = b.State();
  turned.ang_pos = Quaternion(std::sqrt(0.5), Vector3(0, 0, std::sqrt(0.5)));
  b.ApplyPos(turned);
  EXPECT_FALSE(b.rot_matrix_valid);
  Vector3 p = b.PointLocalToGlobal(Vector3(1, 0, 0));
  EXPECT_NEAR(p.x(), 1, 1e-15);
  EXPECT_NEAR(p.y(), 3, 1e-15);
  EXPECT_NEAR(p.z(), 3, 1e-15);
  Vector3 back = b.PointGlobalToLocal(p);
  EXPECT_NEAR(back.x(), 1, 1e-15);
  EXPECT_NEAR(back.y(), 0, 1e-15);
  Vector3 dir = b.VectorGlobalToLocal(b.VectorLocalToGlobal(Vector3(0, 1, 0)));
  EXPECT_NEAR(dir.y(), 1, 1e-15);

  // World inertia turns with the body: the x and y entries swap.
  RBody plank(1, 4, 1, 1, "plank");
  plank.SetAngPos(turned.ang_pos);
  Matrix3x3 inertia = plank.InertiaTensor();
  EXPECT_NEAR(inertia(0, 0), plank.local_inertia(1, 1), 1e-12);
  EXPECT_NEAR(inertia(1, 1), plank.local_inertia(0, 0), 1e-12);
  Matrix3x3 prod = inertia * plank.InvInertiaTensor();
  EXPECT_NEAR(prod(0, 0), 1, 1e-12);
  EXPECT_NEAR(prod(0, 1), 0, 1e-12);
}

TEST(RBody, ContactRingWrapsAround) {
  RBody b(1, 1, 1, 1, "r");
  for (int i = 1; i <= 5; ++i)
    b.RememberColPoint(Vector3(i, 0, 0));
  EXPECT_EQ(b.recent_cols_size, 4);
  EXPECT_EQ(b.recent_cols_last, 1);
  EXPECT_EQ(b.recent_cols[0].x(), 5.0);
  EXPECT_EQ(b.recent_cols[1].x(), 2.0);
  EXPECT_EQ(b.recent_cols[2].x(), 3.0);
  EXPECT_EQ(b.recent_cols[3].x(), 4.0);
}

TEST(RBody, HistoryIsBoundedAndRevertsExactly) {
  {  // 60 pushes keep the newest 50
    RBody b(1, 1, 1, 1, "h");
    for (int i = 1; i <= 60; ++i) {
      b.ApplyState(StateAt(i));
      b.PushState();
    }
    ASSERT_EQ(b.past_states.size(), 50u);
    EXPECT_EQ(b.past_states.front().pos.x(), 11.0);
    EXPECT_EQ(b.past_states.back().pos.x(), 60.0);
  }
  {  // revert by 2, by 1, by 0
    RBody b(1, 1, 1, 1, "h");
    for (int i = 1; i <= 5; ++i) {
      b.ApplyState(StateAt(i));
      b.PushState();
    }
    b.forces = Vector3(1, 1, 1);
    b.RevertState(2);
    EXPECT_EQ(b.pos.x(), 4.0);
    EXPECT_EQ(b.vel.y(), 4.0);
    EXPECT_EQ(b.ang_vel.z(), 4.0);
    ASSERT_EQ(b.past_states.size(), 3u);
    EXPECT_EQ(b.past_states.back().pos.x(), 3.0);
    ExpectVec(b.forces, 1, 1, 1);  // forces are not part of the history
    b.RevertState(1);
    EXPECT_EQ(b.pos.x(), 3.0);
    EXPECT_EQ(b.past_states.size(), 2u);
    b.RevertState(0);
    b.RevertState(-3);
    EXPECT_EQ(b.pos.x(), 3.0);
    EXPECT_EQ(b.past_states.size(), 2u);
  }
  {  // asking for more than the history holds goes back to the oldest entry
    RBody b(1, 1, 1, 1, "h");
    for (int i = 1; i <= 3; ++i) {
      b.ApplyState(StateAt(i));
      b.PushState();
    }
    b.ApplyState(StateAt(9));
    b.RevertState(10);
    EXPECT_EQ(b.pos.x(), 1.0);
    EXPECT_TRUE(b.past_states.empty());
    b.RevertState(1);  // empty history: nothing to apply
    EXPECT_EQ(b.pos.x(), 1.0);
  }
}
