#include <gtest/gtest.h>

#include <vector>

#include "body/rbody.h"
#include "helpers.h"
#include "integration/ode_solver.h"

TEST(ODESolver, FallingBodyOneStep) {
  RBody b(1, 1, 1, 1, "fall");
  b.forces = Vector3(0, 0, -9.8f * b.mass);
  std::vector<RBody*> list{&b};

  ODESolver::EulerStepAllPos(&list, 0.04);  // at rest: position alone does not move it
  EXPECT_EQ(b.pos.z(), 0.0);

  ODESolver::EulerStepAll(&list, 0.04);
  const double g = 9.8f;
  EXPECT_EQ(b.vel.z(), 0.0 + -g * 0.04);
  EXPECT_EQ(b.pos.z(), 0.0 + (0.0 + -g * 0.04) * 0.04);  // velocity first, then position
  EXPECT_NEAR(b.pos.z(), -0.01568, 1e-7);
}

TEST(ODESolver, SpinAdvancesOrientation) {
  RBody b(1, 1, 1, 1, "spin");
  {  // no spin: orientation stays the identity after renormalising
    ODESolver::EulerStepPos(b, 0.04);
    EXPECT_EQ(b.ang_pos.s, 1.0);
  }
  b.ang_vel = Vector3(0, 0, 1);
  b.RotationMatrix();
  ODESolver::EulerStepPos(b, 0.04);
  Quaternion expect = Quaternion(1, 0, 0, 0.02).Normalize();
  EXPECT_EQ(b.ang_pos.s, expect.s);
  EXPECT_EQ(b.ang_pos.v.z(), expect.v.z());
  EXPECT_FALSE(b.rot_matrix_valid);  // a turned body must not draw or collide with the old matrix
}

// Static and frozen bodies are supports: any drift would shift the whole scene.
TEST(ODESolver, StaticAndFrozenBodiesUntouchedBitForBit) {
  RBody st(1, 2, 2, 2, "static");
  RBody fr(1, 2, 2, 2, "frozen");
  for (RBody* b : {&st, &fr}) {
    b->pos = Vector3(0.1, 0.2, 0.3);
    b->vel = Vector3(1, 2, 3);
    b->ang_vel = Vector3(0.5, -0.5, 0.25);
    b->SetAngPos(Quaternion(0.9, 0.1, 0.2, 0.3));
    b->forces = Vector3(5, 5, -50);
    b->torque = Vector3(1, 1, 1);
  }
  st.is_static = true;
  fr.is_frozen = true;
  RBState st0 = st.State(), fr0 = fr.State();
  std::vector<RBody*> list{&st, &fr};
  ODESolver::EulerStepAll(&list, 0.04);
  ODESolver::EulerStepAllVel(&list, 0.04);
  ODESolver::EulerStepAllPos(&list, 0.04);
  ODESolver::EulerStepVel(st, 1.0);
  ODESolver::EulerStepPos(fr, 1.0);
  EXPECT_TRUE(SameBits(st.State(), st0));
  EXPECT_TRUE(SameBits(fr.State(), fr0));
}
