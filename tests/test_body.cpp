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

TEST(RBState, ArithmeticIsFieldwiseAndNotNormalised) {
  RBState sum = RBState() + RBState();
  ExpectVec(sum.pos, 0, 0, 0);
  EXPECT_EQ(sum.ang_pos.s, 2.0);
  ExpectVec(sum.ang_pos.v, 0, 0, 0);

  RBState s(Vector3(2, 4, 6), Vector3(1, 1, 1), Quaternion(1, 2, 3, 4), Vector3(8, 0, 0));
  RBState h = s * 0.5;
  ExpectVec(h.pos, 1, 2, 3);
  ExpectVec(h.vel, 0.5, 0.5, 0.5);
  EXPECT_EQ(h.ang_pos.s, 0.5);
  ExpectVec(h.ang_pos.v, 1, 1.5, 2);
  ExpectVec(h.ang_vel, 4, 0, 0);
  ExpectVec(s.pos, 2, 4, 6);  // operands untouched

  RBState z = s / 0;
  ExpectVec(z.pos, 0, 0, 0);
  ExpectVec(z.ang_pos.v, 0, 0, 0);
}

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

TEST(RBody, FreshBodyDefaults) {
  RBody b(1, 1, 2, 3, "fresh");
  EXPECT_EQ(b.name, "fresh");
  ExpectVec(b.colour, 0.5, 0.5, 1.0);
  EXPECT_EQ(b.elasticity, 0.5);
  EXPECT_TRUE(b.past_states.empty());
  EXPECT_EQ(b.recent_cols_size, 0);
  EXPECT_EQ(b.recent_cols_last, 0);
  ExpectVec(b.vel, 0, 0, 0);
  ExpectVec(b.ang_vel, 0, 0, 0);
  EXPECT_EQ(b.ang_pos.s, 1.0);
  ExpectVec(b.ang_pos.v, 0, 0, 0);
  EXPECT_FALSE(b.is_static);
  EXPECT_FALSE(b.is_frozen);
  EXPECT_FALSE(b.rot_matrix_valid);
}

// Face, edge and vertex order decide collision ties between the peers.
TEST(RBody, GeometryTables) {
  RBody b(1, 2, 4, 6, "g");
  const double hw = 1, hh = 2, hd = 3;
  ASSERT_EQ(b.FaceNum(), 6);
  ASSERT_EQ(b.edges.size(), 12u);
  ASSERT_EQ(b.vertices.size(), 8u);

  const double normals[6][3] = {{0, 0, -1}, {0, 0, 1},  {0, -1, 0},
                                {0, 1, 0},  {-1, 0, 0}, {1, 0, 0}};
  const double first[6][3] = {{-hw, -hh, -hd}, {-hw, -hh, hd},  {-hw, -hh, -hd},
                              {-hw, hh, -hd},  {-hw, -hh, -hd}, {hw, -hh, -hd}};
  const double third[6][3] = {{hw, hh, -hd}, {hw, hh, hd},  {hw, -hh, hd},
                              {hw, hh, hd},  {-hw, hh, hd}, {hw, hh, hd}};
  for (int i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    Face f = b.GetFace(i);
    ASSERT_EQ(f.vertices.size(), 4u);
    ExpectVec(f.n, normals[i][0], normals[i][1], normals[i][2]);
    ExpectVec(f.vertices[0], first[i][0], first[i][1], first[i][2]);
    ExpectVec(f.vertices[2], third[i][0], third[i][1], third[i][2]);
  }

  const double ea[12][3] = {{-hw, -hh, -hd}, {hw, -hh, -hd}, {-hw, -hh, hd}, {hw, -hh, hd},
                            {hw, -hh, -hd},  {hw, -hh, hd},  {hw, hh, -hd},  {hw, hh, hd},
                            {-hw, -hh, hd},  {-hw, hh, hd},  {hw, -hh, hd},  {hw, hh, hd}};
  const double eb[12][3] = {{-hw, hh, -hd},  {hw, hh, -hd},  {-hw, hh, hd},  {hw, hh, hd},
                            {-hw, -hh, -hd}, {-hw, -hh, hd}, {-hw, hh, -hd}, {-hw, hh, hd},
                            {-hw, -hh, -hd}, {-hw, hh, -hd}, {hw, -hh, -hd}, {hw, hh, -hd}};
  for (int i = 0; i < 12; ++i) {
    SCOPED_TRACE(i);
    const Edge& e = b.edges[i];
    ExpectVec(e.a, ea[i][0], ea[i][1], ea[i][2]);
    ExpectVec(e.b, eb[i][0], eb[i][1], eb[i][2]);
    // dir points from b to a and is a unit body axis.
    Vector3 d = (e.a - e.b).Normalized();
    ExpectVec(e.dir, d.x(), d.y(), d.z());
  }
  ExpectVec(b.edges[0].dir, 0, -1, 0);
  ExpectVec(b.edges[4].dir, 1, 0, 0);
  ExpectVec(b.edges[8].dir, 0, 0, 1);

  const double verts[8][3] = {{-hw, -hh, -hd}, {-hw, -hh, hd}, {-hw, hh, -hd}, {-hw, hh, hd},
                              {hw, -hh, -hd},  {hw, -hh, hd},  {hw, hh, -hd},  {hw, hh, hd}};
  for (int i = 0; i < 8; ++i)
    ExpectVec(b.vertices[i], verts[i][0], verts[i][1], verts[i][2]);
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

TEST(RBody, ForcesAndDerivative) {
  RBody b(1, 1, 2, 1, "d");
  b.forces = Vector3(0, 0, -9.8f * b.mass);
  b.torque = Vector3(1, 0, 0);
  {  // at rest under its weight
    RBState d = b.StateDerivative(b.State());
    ExpectVec(d.pos, 0, 0, 0);
    ExpectVec(d.vel, 0, 0, -9.8f);
    EXPECT_EQ(d.ang_pos.s, 0.0);
    ExpectVec(d.ang_pos.v, 0, 0, 0);
    EXPECT_DOUBLE_EQ(d.ang_vel.x(), b.inv_local_inertia(0, 0));
  }
  {  // frozen and static bodies report nothing, whatever is stored
    b.is_frozen = true;
    ExpectVec(b.Forces(b.State()), 0, 0, 0);
    ExpectVec(b.Torque(b.State()), 0, 0, 0);
    ExpectVec(b.StateDerivative(b.State()).vel, 0, 0, 0);
    b.is_frozen = false;
    ExpectVec(b.Forces(b.State()), 0, 0, -9.8f * b.mass);
    b.is_static = true;
    ExpectVec(b.Torque(b.State()), 0, 0, 0);
    b.is_static = false;
  }
  {  // quaternion rate is 1/2 w q with w on the left
    RBState s = b.State();
    s.ang_vel = Vector3(0, 0, 2);
    RBState d = b.StateDerivative(s);
    EXPECT_EQ(d.ang_pos.s, 0.0);
    ExpectVec(d.ang_pos.v, 0, 0, 1);
  }
  b.ResetForceTorque();
  ExpectVec(b.forces, 0, 0, 0);
  ExpectVec(b.torque, 0, 0, 0);
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
