#include <gtest/gtest.h>

#include <vector>

#include "body/rbody.h"
#include "helpers.h"
#include "integration/ode_solver.h"

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
