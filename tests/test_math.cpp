#include <gtest/gtest.h>

#include <cmath>

#include "math/edge.h"
#include "math/matrix3x3.h"
#include "math/quaternion.h"
#include "math/vector3.h"

namespace {

void ExpectVec(const Vector3& v, double x, double y, double z) {
  EXPECT_DOUBLE_EQ(v.x(), x);
  EXPECT_DOUBLE_EQ(v.y(), y);
  EXPECT_DOUBLE_EQ(v.z(), z);
}

}  // namespace

// A stale cached length silently corrupts every normal and depth downstream.
TEST(Vector3, LengthCacheIsDroppedByEveryMutator) {
  {  // write through operator[]
    Vector3 v(3, 4, 0);
    EXPECT_EQ(v.Length(), 5.0);
    v[0] = 6;
    EXPECT_EQ(v.Length(), std::sqrt(52.0));
  }
  {  // assignment
    Vector3 v(3, 4, 0);
    v.Length();
    v = Vector3(0, 0, 2);
    EXPECT_EQ(v.Length(), 2.0);
  }
  {  // += and -=
    Vector3 v(3, 4, 0);
    v.Length();
    v += Vector3(0, 0, 12);
    EXPECT_EQ(v.Length(), 13.0);
    v -= Vector3(3, 4, 0);
    EXPECT_EQ(v.Length(), 12.0);
  }
  {  // a copy carries the cache, and it stays right for the copy
    Vector3 v(3, 4, 0);
    v.Length();
    Vector3 c(v);
    EXPECT_TRUE(c.len_correct);
    EXPECT_EQ(c.Length(), 5.0);
  }
  {  // fresh results never inherit a cache
    Vector3 v(3, 4, 0);
    v.Length();
    EXPECT_FALSE((v * 2).len_correct);
    EXPECT_FALSE((v + v).len_correct);
    EXPECT_FALSE(v.Normalized().len_correct);
  }
}

TEST(Vector3, GuardsAndProducts) {
  ExpectVec(Vector3(3, 4, 0).Normalized(), 0.6, 0.8, 0);
  EXPECT_DOUBLE_EQ(Vector3(3, 4, 0).Normalized().Length(), 1.0);
  ExpectVec(Vector3(0, 0, 0).Normalized(), 0, 0, 0);
  ExpectVec(Vector3(1, 2, 3) / 0, 0, 0, 0);
  ExpectVec(Vector3(1, 2, 3) / -0.0, 0, 0, 0);
  ExpectVec(Vector3(1, 0, 0) ^ Vector3(0, 1, 0), 0, 0, 1);
  ExpectVec(Vector3(0, 1, 0) ^ Vector3(1, 0, 0), 0, 0, -1);
  EXPECT_EQ(Vector3(1, 2, 3) * Vector3(4, 5, 6), 32.0);
  ExpectVec(Vector3(1, 2, 3) - Vector3(3, 2, 1), -2, 0, 2);
}

TEST(Vector3, ExactEqualityAndIsAlmost) {
  EXPECT_FALSE(Vector3(1, 2, 3) == Vector3(1, 2, 3.0000001));
  EXPECT_TRUE(Vector3(1, 2, 3) == Vector3(1, 2, 3));
  EXPECT_TRUE(Vector3(1, 2, 3).IsAlmost(Vector3(1, 2, 3.0000001)));
  EXPECT_FALSE(Vector3(1, 2, 3).IsAlmost(Vector3(1, 2.2, 3)));
  EXPECT_TRUE(Vector3(0, 0, 0).IsAlmost(Vector3(0.0625, -0.0625, 0)));
}

// The four-number constructor puts the scalar first; scene files rely on it.
TEST(Quaternion, ConstructorOrderAndProduct) {
  Quaternion q(1, 2, 3, 4);
  EXPECT_EQ(q.s, 1.0);
  ExpectVec(q.v, 2, 3, 4);

  Quaternion p = Quaternion() * q;
  EXPECT_EQ(p.s, 1.0);
  ExpectVec(p.v, 2, 3, 4);
  p = q * Quaternion();
  EXPECT_EQ(p.s, 1.0);
  ExpectVec(p.v, 2, 3, 4);

  Quaternion i(0, Vector3(1, 0, 0));
  Quaternion ii = i * i;
  EXPECT_EQ(ii.s, -1.0);
  ExpectVec(ii.v, 0, 0, 0);

  // i*j = k but j*i = -k: the cross term's order matters.
  Quaternion j(0, Vector3(0, 1, 0));
  ExpectVec((i * j).v, 0, 0, 1);
  ExpectVec((j * i).v, 0, 0, -1);
}

TEST(Quaternion, NormalizeLeavesReceiverAndDivisionGuards) {
  Quaternion q(2, Vector3(0, 0, 0));
  Quaternion n = q.Normalize();
  EXPECT_EQ(n.s, 1.0);
  ExpectVec(n.v, 0, 0, 0);
  EXPECT_EQ(q.s, 2.0);

  Quaternion d = Quaternion(1, 2, 3, 4) / 0;
  EXPECT_TRUE(std::isinf(d.s));
  ExpectVec(d.v, 0, 0, 0);

  Quaternion sum = Quaternion() + Quaternion();
  EXPECT_EQ(sum.s, 2.0);
  Quaternion half = Quaternion(1, 2, 3, 4) * 0.5;
  EXPECT_EQ(half.s, 0.5);
  ExpectVec(half.v, 1, 1.5, 2);
}

TEST(Matrix3x3, IndicesWrapAndFullConstructor) {
  Matrix3x3 m;
  m(4, 5) = 7;
  EXPECT_EQ(m.values[1][2], 7.0);
  EXPECT_EQ(m(1, 2), 7.0);
  m(3, 4) = 9;
  EXPECT_EQ(m.values[0][1], 9.0);

  Matrix3x3 full(2.0);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      EXPECT_EQ(full.values[i][j], 2.0);
}

TEST(Matrix3x3, InverseAndProducts) {
  Matrix3x3 d;
  d(0, 0) = 2;
  d(1, 1) = 4;
  d(2, 2) = 8;
  Matrix3x3 inv = d.Inverse();
  EXPECT_EQ(inv(0, 0), 0.5);
  EXPECT_EQ(inv(1, 1), 0.25);
  EXPECT_EQ(inv(2, 2), 0.125);
  EXPECT_EQ(inv(0, 1), 0.0);

  Matrix3x3 g;
  double vals[3][3] = {{2, -1, 0.5}, {0.3, 4, 1}, {-2, 0.7, 3}};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      g(i, j) = vals[i][j];
  Matrix3x3 id = g * g.Inverse();
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      EXPECT_NEAR(id(i, j), i == j ? 1.0 : 0.0, 1e-12);

  // Row i dotted with v: a transposed product would give the other answer.
  Vector3 mv = g * Vector3(1, 0, 0);
  ExpectVec(mv, 2, 0.3, -2);
  Matrix3x3 t = g.Transpose();
  EXPECT_EQ(t(0, 1), 0.3);
  EXPECT_TRUE(g.Transpose().Transpose() == g);
  EXPECT_FALSE(g == t);

  Matrix3x3 cc = d.ColumnCross(Vector3(0, 0, 1));
  // Column 0 of d is (2, 0, 0); (2, 0, 0) x (0, 0, 1) = (0, -2, 0).
  EXPECT_EQ(cc(0, 0), 0.0);
  EXPECT_EQ(cc(1, 0), -2.0);
}

TEST(Edge, RotateAndTranslate) {
  Matrix3x3 quarter;  // a quarter turn about z
  quarter(0, 1) = -1;
  quarter(1, 0) = 1;
  quarter(2, 2) = 1;
  Edge e(Vector3(1, 0, 0), Vector3(1, 0, 0), Vector3(-1, 0, 0));
  Edge r = quarter * e;
  ExpectVec(r.dir, 0, 1, 0);
  ExpectVec(r.a, 0, 1, 0);
  ExpectVec(r.b, 0, -1, 0);
  Edge m = r + Vector3(5, 5, 5);
  ExpectVec(m.dir, 0, 1, 0);
  ExpectVec(m.a, 5, 6, 5);
  ExpectVec(m.b, 5, 4, 5);
}
