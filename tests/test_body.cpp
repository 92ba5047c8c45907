#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "body/body_check.h"
#include "body/rbody.h"
#include "body/rbstate.h"
#include "helpers.h"

namespace {

RBState StateAt(double x) {
  return RBState(Vector3(x, 0, 0), Vector3(0, x, 0), Quaternion(), Vector3(0, 0, x));
}

// A body with states 1..n pushed (pos.x = i), the ring holding i as its newest point.
std::unique_ptr<RBody> WithHistory(int n) {
  auto b = std::make_unique<RBody>(1, 1, 1, 1, "h");
  for (int i = 1; i <= n; ++i) {
    b->ApplyState(StateAt(i));
    b->RememberColPoint(Vector3(i, 0, 0));
    b->PushState();
  }
  return b;
}

}  // namespace

// Mass is the volume and the inertia doubled: every recorded trace depends on
// these, so a "fix" towards textbook values must fail here.
TEST(RBody, MassAndInertia) {
  RBody b(7, 2, 4, 6, "b");
  EXPECT_EQ(b.mass, 48.0);
  EXPECT_EQ(b.density, 7.0);
  const double inertia[] = {416, 320, 160};
  for (int i = 0; i < 3; ++i) {
    EXPECT_DOUBLE_EQ(b.local_inertia(i, i), inertia[i]);
    EXPECT_DOUBLE_EQ(b.inv_local_inertia(i, i), 1 / inertia[i]);
  }
  EXPECT_EQ(b.local_inertia(0, 1), 0.0);

  RBody cube(1, 1, 1, 1, "cube");
  EXPECT_EQ(cube.mass, 1.0);
  for (int i = 0; i < 3; ++i)
    EXPECT_DOUBLE_EQ(cube.local_inertia(i, i), 1 / 3.0);
  EXPECT_DOUBLE_EQ(cube.bounding_radius, std::sqrt(0.75));
}

// The detector reads an edge's ends from its corners' world points, so the
// ends must be those corners bit for bit, a zero size's signed zeros included.
TEST(RBody, EdgesRunBetweenTheirCorners) {
  const double sizes[][3] = {{2, 4, 6}, {0.1, 1 / 3.0, 1.3}, {0, 1, 0}};
  for (const auto& size : sizes) {
    RBody b(1, size[0], size[1], size[2], "b");
    ASSERT_EQ(b.edge_corners.size(), b.edges.size());
    for (std::size_t e = 0; e < b.edges.size(); ++e) {
      EXPECT_TRUE(SameBits(b.edges[e].a, b.vertices[b.edge_corners[e][0]])) << e;
      EXPECT_TRUE(SameBits(b.edges[e].b, b.vertices[b.edge_corners[e][1]])) << e;
    }
  }
}

namespace {

// Same bits, or NaN both: which NaN an operation passes on is the
// compiler's choice of operand order, and nothing reads a NaN's bits.
::testing::AssertionResult Alike(const Vector3& a, const Vector3& b) {
  for (int i = 0; i < 3; ++i)
    if (!(std::isnan(a.axes[i]) && std::isnan(b.axes[i])) && !SameBits(a.axes[i], b.axes[i]))
      return SameBits(a, b);
  return ::testing::AssertionSuccess();
}

}  // namespace

// A new rotation rotates each distinct coordinate once and copies or sums
// the rest: the corners, face points and edge lines must still have the bits
// of R v made afresh, for odd sizes (zero, subnormal, huge, NaN) and for
// rotations with exact zeros (quarter turns) or NaNs.
TEST(RBody, RotatedGeometryHasThePlainProductsBits) {
  const double nan = std::nan("");
  const double sizes[][3] = {{2, 4, 6},       {0.1, 1 / 3.0, 1.3}, {0, 1, 0},
                             {1e-310, 1, 3},  {1e308, 2, 1e300},   {nan, 1, 1},
                             {1, -0.0, 1e-5}, {0.7, nan, nan}};
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> u(-1, 1);
  const double h = std::sqrt(0.5);
  for (const auto& size : sizes) {
    RBody b(1, size[0], size[1], size[2], "b");
    b.pos = Vector3(0.5, -3, 1e7);
    for (int k = 0; k < 40; ++k) {
      if (k < 4)
        b.ang_pos = k == 3
                        ? Quaternion(nan, Vector3(0, 1, 0))
                        : Quaternion(h, Vector3(k == 0 ? h : 0, k == 1 ? -h : 0, k == 2 ? h : 0));
      else
        b.ang_pos = Quaternion(u(rng), Vector3(u(rng), u(rng), u(rng))).Normalize();
      b.rot_matrix_valid = false;
      const Matrix3x3 r = b.RotationMatrix();
      const WorldGeometry& g = b.World();
      for (std::size_t c = 0; c < 8; ++c) {
        EXPECT_TRUE(Alike(g.turn->rotated_vertices[c], r * b.vertices[c])) << k << " " << c;
        EXPECT_TRUE(Alike(g.corners[c], r * b.vertices[c] + b.pos)) << k << " " << c;
      }
      for (std::size_t i = 0; i < 6; ++i)
        EXPECT_TRUE(Alike(g.turn->rotated_face_points[i], r * b.faces[i].vertices[0])) << k;
      // The axis tests take a face's bounds from its opposite's: its normal
      // must be the other's negated, to the value.
      EXPECT_TRUE(g.turn->opposite_faces);
      for (std::size_t i = 0; k != 3 && i < 6; i += 2)
        EXPECT_EQ(g.turn->face_normals[i + 1], g.turn->face_normals[i] * -1.0) << k << " " << i;
      std::vector<Vector3> lines;
      for (const Edge& e : b.edges) {
        const Vector3 d = r * e.dir;
        bool seen = false;
        for (const Vector3& line : lines)
          seen = seen || line == d || line == d * -1.0;
        if (!seen)
          lines.push_back(d);
      }
      ASSERT_EQ(g.turn->edge_line_count, lines.size()) << k;
      for (std::size_t i = 0; i < lines.size(); ++i)
        EXPECT_TRUE(Alike(g.turn->edge_lines[i], lines[i])) << k << " " << i;

      // Moderate corners may take the projections' fast paths, which hold
      // only below 1e100 and without a NaN; ordinary ones must keep them.
      const Vector3 places[] = {Vector3(0.5, -3, 1e7), Vector3(0, 1e100, 0), Vector3(2e99, 0, -1),
                                Vector3(nan, 0, 0)};
      for (const Vector3& place : places) {
        b.pos = place;
        const WorldGeometry& at = b.World();
        bool moderate = true;
        for (const Vector3& c : at.corners)
          for (double x : c.axes)
            moderate = moderate && std::fabs(x) < 1e100;
        EXPECT_TRUE(!at.columns.moderate || moderate) << k;
        EXPECT_TRUE(k == 3 || &place != &places[0] || size[0] != 2 || at.columns.moderate) << k;
      }
      b.pos = Vector3(0.5, -3, 1e7);
    }
  }
}

TEST(RBody, StateExchangeAndRotationCache) {
  RBody b(1, 1, 1, 1, "s");
  b.SetAngPos(Quaternion(2, Vector3(0, 0, 0)));
  EXPECT_EQ(b.ang_pos.s, 1.0);

  b.pos = Vector3(1, 2, 3);
  b.RotationMatrix();

  // A quarter turn about z through ApplyPos must not serve the stale identity.
  RBState turned = b.State();
  turned.ang_pos = Quaternion(std::sqrt(0.5), Vector3(0, 0, std::sqrt(0.5)));
  b.ApplyPos(turned);
  EXPECT_FALSE(b.rot_matrix_valid);
  Vector3 p = b.PointLocalToGlobal(Vector3(1, 0, 0));
  ExpectNear(p, Vector3(1, 3, 3), 1e-15);

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

// The world inverse inertia follows every change of rotation, however the
// rotation changes and however many rotations pass through the body's slots:
// the same bits as r (r * I^-1) r^T made afresh.
TEST(RBody, InverseInertiaFollowsTheRotation) {
  RBody b(1, 4, 1, 2, "plank");
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> u(-1, 1);
  for (int k = 0; k < 40; ++k) {
    const Quaternion q = Quaternion(u(rng), Vector3(u(rng), u(rng), u(rng))).Normalize();
    if (k % 3 == 0) {
      b.SetAngPos(q);
    } else {
      RBState s = b.State();
      s.ang_pos = q;
      b.ApplyState(s);
    }
    if (k % 2 == 1)
      b.World();  // the new rotation made before the inertia is asked for
    for (int again = 0; again < 2; ++again) {
      const Matrix3x3 r = RBody::RotationMatrix(b.ang_pos);
      const Matrix3x3 want = (r * b.inv_local_inertia) * r.Transpose();
      const Matrix3x3 got = b.InvInertiaTensor();
      EXPECT_EQ(std::memcmp(got.values, want.values, sizeof want.values), 0) << k;
      // Other rotations looked up in between take over the slots.
      for (int other = 0; other < 5; ++other)
        b.InvInertiaFor(
            RBody::RotationMatrix(Quaternion(u(rng), Vector3(u(rng), u(rng), u(rng))).Normalize()));
    }
  }
}

// World to body goes through the general inverse, not the transpose: for a
// rotation they agree only up to rounding, and the peers must round alike.
TEST(RBody, WorldToBodyUsesTheInverseNotTheTranspose) {
  RBody b(1, 1, 1, 1, "t");
  b.pos = Vector3(0.3, -0.7, 1.1);
  int differ = 0;
  for (int k = 1; k <= 50; ++k) {
    b.SetAngPos(Quaternion(1, 0.1 * k, -0.03 * k, 0.07).Normalize());
    const Vector3 p(0.25 * k, -1.5, 0.125), d = p - b.pos;
    const Matrix3x3 r = b.RotationMatrix();
    EXPECT_TRUE(SameBits(b.PointGlobalToLocal(p), r.Inverse() * d)) << k;
    EXPECT_TRUE(SameBits(b.VectorGlobalToLocal(p), r.Inverse() * p)) << k;
    differ += !SameBits(r.Inverse() * d, r.Transpose() * d);
  }
  EXPECT_GT(differ, 0) << "no case tells the inverse from the transpose";
}

TEST(RBody, ContactRingWrapsAround) {
  RBody b(1, 1, 1, 1, "r");
  for (int i = 1; i <= 5; ++i)
    b.RememberColPoint(Vector3(i, 0, 0));
  EXPECT_EQ(b.recent_cols_size, 4);
  EXPECT_EQ(b.recent_cols_last, 1);
  const double want[] = {5, 2, 3, 4};
  for (int k = 0; k < 4; ++k)
    EXPECT_EQ(b.recent_cols[k].x(), want[k]) << k;
}

TEST(RBody, HistoryIsBoundedAndRevertsExactly) {
  {  // 60 pushes keep the newest 50
    auto b = WithHistory(60);
    ASSERT_EQ(b->past_states.size(), 50u);
    EXPECT_EQ(b->past_states.front().pos.x(), 11.0);
    EXPECT_EQ(b->past_states.back().pos.x(), 60.0);
  }
  {  // revert by 2, by 1, by 0
    auto b = WithHistory(5);
    b->forces = Vector3(1, 1, 1);
    b->RevertState(2);
    EXPECT_EQ(b->pos.x(), 4.0);
    EXPECT_EQ(b->vel.y(), 4.0);
    EXPECT_EQ(b->ang_vel.z(), 4.0);
    ASSERT_EQ(b->past_states.size(), 3u);
    EXPECT_EQ(b->past_states.back().pos.x(), 3.0);
    EXPECT_EQ(b->forces, Vector3(1, 1, 1));  // forces are not part of the history
    b->RevertState(1);
    EXPECT_EQ(b->pos.x(), 3.0);
    EXPECT_EQ(b->past_states.size(), 2u);
    b->RevertState(0);
    b->RevertState(-3);
    EXPECT_EQ(b->pos.x(), 3.0);
    EXPECT_EQ(b->past_states.size(), 2u);
  }
  {  // asking for more than the history holds goes back to the oldest entry
    auto b = WithHistory(3);
    b->ApplyState(StateAt(9));
    b->RevertState(10);
    EXPECT_EQ(b->pos.x(), 1.0);
    EXPECT_TRUE(b->past_states.empty());
    b->RevertState(1);  // empty history: nothing to apply
    EXPECT_EQ(b->pos.x(), 1.0);
  }
}

// The detector accepts a pair early by a remembered point, so a rewind takes
// the ring back with the state, write position included.
TEST(RBody, RewindRestoresTheContactRing) {
  auto b = WithHistory(6);  // ring at push 4 (states 1..4 pushed): 1 2 3 4, next slot 0
  b->RevertState(3);
  EXPECT_EQ(b->pos.x(), 4.0);
  EXPECT_EQ(b->recent_cols_size, 4);
  EXPECT_EQ(b->recent_cols_last, 0);
  for (int k = 0; k < 4; ++k)
    EXPECT_EQ(b->recent_cols[k].x(), k + 1.0) << k;
  auto young = WithHistory(2);  // ring of two points at the last push, next slot 2
  young->RememberColPoint(Vector3(9, 0, 0));
  young->RevertState(1);
  EXPECT_EQ(young->recent_cols_size, 2);
  EXPECT_EQ(young->recent_cols_last, 2);
}

// The one check of a usable body for scene files and sync messages.
TEST(BodyCheck, RefusesWhatTheStepCannotUse) {
  const double nan = std::nan(""), inf = HUGE_VAL;
  for (double size : {0.0, -1.0, nan, inf, -inf})
    EXPECT_FALSE(BodyCheck::UsableSize(size)) << size;
  EXPECT_TRUE(BodyCheck::UsableSize(1e-300));
  for (double x : {nan, inf, -inf}) {
    EXPECT_FALSE(BodyCheck::Finite(Vector3(0, 0, x))) << x;
    EXPECT_FALSE(BodyCheck::UsableOrientation(Quaternion(1, x, 0, 0))) << x;
    EXPECT_FALSE(BodyCheck::UsableOrientation(Quaternion(x, 0, 0, 0))) << x;
  }
  EXPECT_TRUE(BodyCheck::Finite(Vector3(-1e308, 0, 5e-324)));
  EXPECT_FALSE(BodyCheck::UsableOrientation(Quaternion(0, 0, 0, 0)));
  EXPECT_FALSE(BodyCheck::UsableOrientation(Quaternion(-0.0, 0, -0.0, 0)));
  EXPECT_TRUE(BodyCheck::UsableOrientation(Quaternion(0, 0, 0, 5e-324)));
}
