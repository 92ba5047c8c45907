#include <gtest/gtest.h>

#include <cmath>

#include "math/matrix3x3.h"
#include "math/quaternion.h"
#include "math/vector3.h"
#include "helpers.h"

// A stale cached length silently corrupts every normal and depth downstream.
TEST(Vector3, LengthCacheIsDroppedByEveryMutator) {
  Vector3 v(3, 4, 0);
  EXPECT_EQ(v.Length(), 5.0);
  v[0] = 6;
  EXPECT_EQ(v.Length(), std::sqrt(52.0));
  v = Vector3(3, 4, 0);
  v.Length();
  v += Vector3(0, 0, 12);
  EXPECT_EQ(v.Length(), 13.0);
  v -= Vector3(3, 4, 0);
  EXPECT_EQ(v.Length(), 12.0);
  v = Vector3(0, 0, 2);
  EXPECT_EQ(v.Length(), 2.0);
  // Fresh results never inherit a cache.
  EXPECT_FALSE((v * 2).len_correct);
  EXPECT_FALSE((v + v).len_correct);
  EXPECT_FALSE(v.Normalized().len_correct);
}

// Zero lengths and zero divisors give zeros, not NaNs that would spread
// through every body in contact.
TEST(Math, DivisionGuardsAndIndexWrap) {
  EXPECT_EQ(Vector3(0, 0, 0).Normalized(), Vector3(0, 0, 0));
  EXPECT_EQ(Vector3(1, 2, 3) / 0, Vector3(0, 0, 0));
  EXPECT_EQ(Vector3(1, 2, 3) / -0.0, Vector3(0, 0, 0));
  Quaternion d = Quaternion(1, 2, 3, 4) / 0;
  EXPECT_TRUE(std::isinf(d.s));
  EXPECT_EQ(d.v, Vector3(0, 0, 0));
  Quaternion q(2, Vector3(0, 0, 0));
  EXPECT_EQ(q.Normalize().s, 1.0);
  EXPECT_EQ(q.s, 2.0);  // Normalize returns a copy

  Matrix3x3 m;
  m(4, 5) = 7;
  EXPECT_EQ(m.values[1][2], 7.0);
}

// Built with the library's flags: no fast-math, and a * b + c rounded twice,
// never fused, or the peers' results would depend on the machine.
TEST(Math, NoFastMathNoFusedMultiplyAdd) {
#ifdef __FAST_MATH__
  FAIL() << "built with fast-math";
#endif
  volatile double va = 1 + 0x1p-30, vc = -(1 + 0x1p-29);
  const double a = va, c = vc;
  EXPECT_EQ(a * a + c, 0.0);  // fused: 0x1p-60
}
