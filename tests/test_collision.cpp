#include <gtest/gtest.h>

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "collision/cdetector.h"

namespace {

// A NaN or a division by zero anywhere in the detector fails loudly instead of
// quietly steering a comparison.
class TrapFloatingPoint : public ::testing::Environment {
 public:
  void SetUp() override { feenableexcept(FE_INVALID | FE_DIVBYZERO); }
};
const auto* const kTrap = ::testing::AddGlobalTestEnvironment(new TrapFloatingPoint);

const double kPi = 3.14159265358979323846;

Quaternion AxisAngle(Vector3 axis, double angle) {
  return Quaternion(std::cos(angle / 2), axis.Normalized() * std::sin(angle / 2));
}

Quaternion Degrees(Vector3 axis, double deg) {
  return AxisAngle(axis, deg * kPi / 180);
}

std::unique_ptr<RBody> Box(double w, double h, double d, Vector3 pos, Quaternion q = Quaternion()) {
  auto b = std::make_unique<RBody>(1.0, w, h, d, "box");
  b->pos = pos;
  b->SetAngPos(q);
  return b;
}

std::unique_ptr<Collision> Points(RBody* a, RBody* b) {
  return std::unique_ptr<Collision>(CDetector::GetCollisionPoints(a, b));
}

// Bit for bit, zero signs included: the peers must agree exactly.
bool Same(const Vector3& a, const Vector3& b) {
  for (int i = 0; i < 3; ++i)
    if (std::signbit(a.axes[i]) != std::signbit(b.axes[i]) || a.axes[i] != b.axes[i])
      return false;
  return true;
}

void ExpectNear(const Vector3& got, const Vector3& want, double tol = 1e-12) {
  EXPECT_NEAR(got.x(), want.x(), tol);
  EXPECT_NEAR(got.y(), want.y(), tol);
  EXPECT_NEAR(got.z(), want.z(), tol);
}

bool HasEdgePair(const Collision& col, int i, int j) {
  for (const CollisionPoint& cp : col.points[0])
    if (cp.eA == &col.bodies[0]->edges[i] && cp.eB == &col.bodies[1]->edges[j])
      return true;
  return false;
}

// Same points in the same order; with same_bodies also the same body and
// geometry pointers (otherwise the records come from a copy of the scene).
void ExpectSameRecords(const std::vector<Collision*>& a, const std::vector<Collision*>& b,
                       bool same_bodies) {
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t k = 0; k < a.size(); ++k) {
    if (same_bodies) {
      EXPECT_EQ(a[k]->bodies[0], b[k]->bodies[0]);
      EXPECT_EQ(a[k]->bodies[1], b[k]->bodies[1]);
    }
    for (int i = 0; i < 2; ++i) {
      ASSERT_EQ(a[k]->points[i].size(), b[k]->points[i].size());
      for (std::size_t m = 0; m < a[k]->points[i].size(); ++m) {
        const CollisionPoint& pa = a[k]->points[i][m];
        const CollisionPoint& pb = b[k]->points[i][m];
        EXPECT_TRUE(Same(pa.p, pb.p) && Same(pa.n, pb.n)) << "record " << k;
        if (same_bodies) {
          EXPECT_TRUE(pa.eA == pb.eA && pa.eB == pb.eB && pa.f == pb.f);
        }
      }
    }
  }
}

void Clear(std::vector<Collision*>* list) {
  for (Collision* c : *list)
    delete c;
  list->clear();
}

}  // namespace

// Two unit cubes, B at the origin and A sunk 0.1 into it from +y.
TEST(SeparatingAxis, UnitCubesOverlappingAlongY) {
  auto A = Box(1, 1, 1, Vector3(0, 0.9, 0));
  auto B = Box(1, 1, 1, Vector3(0, 0, 0));
  Vector3 axis = SeparatingAxis(A.get(), B.get());
  // B's face 3 gives the same axis and depth; the negated normal of A's face
  // 2 comes first and must win, which shows in the signs of its zeros.
  EXPECT_TRUE(Same(axis, Vector3(-0.0, 1, -0.0)));

  Vector3 mid;
  EXPECT_NEAR(OverlapDepth(A.get(), B.get(), axis, &mid), 0.1, 1e-12);
  // A's corner 0 and B's corner 2 are the first corners attaining the extremes.
  ExpectNear(mid, Vector3(-0.5, 0.45, -0.5));

  EXPECT_EQ(MinimumPenFaceSecond(A.get(), B.get()), &B->faces[3]);
  EXPECT_EQ(MinimumPenFaceSecond(B.get(), A.get()), &A->faces[2]);

  // Not symmetric; together the two depths cover both interval lengths.
  EXPECT_NEAR(OverlapDepth(B.get(), A.get(), axis, nullptr), 1.9, 1e-12);
}

TEST(SeparatingAxis, TiesAndGaps) {
  // Coincident cubes: every candidate is 1 deep, so the first wins, the
  // negated normal of A's face 0; likewise B's face 0 for least penetration.
  {
    auto A = Box(1, 1, 1, Vector3(0, 0, 0));
    auto B = Box(1, 1, 1, Vector3(0, 0, 0));
    EXPECT_TRUE(Same(SeparatingAxis(A.get(), B.get()), Vector3(-0.0, -0.0, 1)));
    EXPECT_EQ(MinimumPenFaceSecond(A.get(), B.get()), &B->faces[0]);
  }
  // Crossed ridges centred on each other: the best axis is world z from the
  // first ridge pair, as deep with either sign; + (here (0, 0, -1), since
  // x cross -y is -z) must win over its negation.
  {
    auto A = Box(4, 1, 1, Vector3(0, 0, 0), Degrees(Vector3(1, 0, 0), 45));
    auto B = Box(1, 4, 1, Vector3(0, 0, 0), Degrees(Vector3(0, 1, 0), 45));
    Vector3 axis = SeparatingAxis(A.get(), B.get());
    ExpectNear(axis, Vector3(0, 0, -1), 0);
    EXPECT_EQ(OverlapDepth(A.get(), B.get(), axis, nullptr),
              OverlapDepth(A.get(), B.get(), axis * -1.0, nullptr));
  }
  // Apart on every axis: still the candidate of the most negative depth.
  {
    auto A = Box(1, 1, 1, Vector3(0, 3, 0));
    auto B = Box(1, 1, 1, Vector3(0, 0, 0));
    Vector3 axis = SeparatingAxis(A.get(), B.get());
    ExpectNear(axis, Vector3(0, 1, 0), 0);
    EXPECT_NEAR(OverlapDepth(A.get(), B.get(), axis, nullptr), -2.0, 1e-12);
  }
  // A turned box is pushed out from B towards A, whichever side it is on.
  {
    auto B = Box(1, 1, 1, Vector3(0, 0, 0));
    for (const Vector3& at : {Vector3(1.2, 0, 0), Vector3(0, -1.1, 0.2), Vector3(-0.3, 0.2, -1)}) {
      auto A = Box(1, 1, 1, at, AxisAngle(Vector3(1, 2, 3), 0.7));
      Vector3 axis = SeparatingAxis(A.get(), B.get());
      EXPECT_GT(axis * (A->pos - B->pos), 0);
    }
  }
}

TEST(AreOverlapping, ClosedIntervalsAnySign) {
  auto B = Box(1, 1, 1, Vector3(0, 0, 0));
  auto touching = Box(1, 1, 1, Vector3(0, 1, 0));
  auto apart = Box(1, 1, 1, Vector3(0, 1.001, 0));
  for (double s : {1.0, -1.0}) {
    EXPECT_TRUE(AreOverlapping(touching.get(), B.get(), Vector3(0, s, 0)));
    EXPECT_TRUE(AreOverlapping(B.get(), touching.get(), Vector3(0, s, 0)));
    EXPECT_FALSE(AreOverlapping(apart.get(), B.get(), Vector3(0, s, 0)));
    EXPECT_FALSE(AreOverlapping(B.get(), apart.get(), Vector3(0, s, 0)));
  }
  // One interval holding the other, in both argument orders.
  auto big = Box(5, 5, 5, Vector3(0, 0, 0));
  EXPECT_TRUE(AreOverlapping(B.get(), big.get(), Vector3(0.3, 0.4, 0.5)));
  EXPECT_TRUE(AreOverlapping(big.get(), B.get(), Vector3(0.3, 0.4, 0.5)));
}

TEST(IsPointInside, SurfaceCountsAsInside) {
  auto B = Box(2, 4, 6, Vector3(1, 2, 3));
  EXPECT_TRUE(CDetector::IsPointInside(Vector3(1, 2, 3), B.get()));
  EXPECT_TRUE(CDetector::IsPointInside(Vector3(2, 2, 3), B.get()));  // face
  EXPECT_TRUE(CDetector::IsPointInside(Vector3(2, 4, 3), B.get()));  // edge
  EXPECT_TRUE(CDetector::IsPointInside(Vector3(0, 0, 0), B.get()));  // corner
  EXPECT_FALSE(CDetector::IsPointInside(Vector3(2.001, 2, 3), B.get()));
  EXPECT_FALSE(CDetector::IsPointInside(Vector3(1, 2, 6.001), B.get()));
  // A quarter turn about z: body x runs along world y.
  B->SetAngPos(Degrees(Vector3(0, 0, 1), 90));
  EXPECT_TRUE(CDetector::IsPointInside(Vector3(1, 2.9, 3), B.get()));
  EXPECT_FALSE(CDetector::IsPointInside(Vector3(1, 3.1, 3), B.get()));
  EXPECT_TRUE(CDetector::IsPointInside(Vector3(2.9, 2, 3), B.get()));
}

TEST(DetectCollision, StagesAndBoundaries) {
  auto B = Box(1, 1, 1, Vector3(0, 0, 0));
  // Face on face, projections only touching.
  {
    auto A = Box(1, 1, 1, Vector3(0, 1, 0));
    EXPECT_TRUE(CDetector::DetectCollision(A.get(), B.get()));
    EXPECT_TRUE(CDetector::DetectCollision(B.get(), A.get()));
  }
  // Corner on corner, centres exactly the two radii apart: the sphere stage
  // lets equality through; a hair further is rejected.
  {
    auto A = Box(1, 1, 1, Vector3(1, 1, 1));
    ASSERT_EQ((A->pos - B->pos).Length(), A->bounding_radius + B->bounding_radius);
    EXPECT_TRUE(CDetector::DetectCollision(A.get(), B.get()));
    A->pos = Vector3(1, 1, 1.000001);
    EXPECT_FALSE(CDetector::DetectCollision(A.get(), B.get()));
  }
  // Separated by a face axis within the spheres.
  {
    auto A = Box(1, 1, 1, Vector3(0, 1.05, 0));
    EXPECT_FALSE(CDetector::DetectCollision(A.get(), B.get()));
  }
  // Crossed ridges 0.036 apart: every face axis overlaps and only the cross
  // product of the two ridge edges (world z) separates them.
  {
    auto C = Box(4, 1, 1, Vector3(0, 0, 1.45), Degrees(Vector3(1, 0, 0), 45));
    auto D = Box(1, 4, 1, Vector3(0, 0, 0), Degrees(Vector3(0, 1, 0), 45));
    for (int i = 0; i < 6; ++i) {
      ASSERT_TRUE(AreOverlapping(C.get(), D.get(), C->RotationMatrix() * C->faces[i].n));
      ASSERT_TRUE(AreOverlapping(C.get(), D.get(), D->RotationMatrix() * D->faces[i].n));
    }
    EXPECT_FALSE(CDetector::DetectCollision(C.get(), D.get()));
  }
  // Axis-aligned boxes: their parallel edges give zero axes, which never
  // separate.
  {
    auto A = Box(1, 1, 1, Vector3(0.2, 0.3, 0.4));
    EXPECT_TRUE(CDetector::DetectCollision(A.get(), B.get()));
  }
}

TEST(DetectCollision, RememberedPointsAcceptEarly) {
  auto B = Box(1, 1, 1, Vector3(0, 0, 0));
  auto A = Box(1, 1, 1, Vector3(0, 1.05, 0));
  // A remembered point (from any partner) that now lies inside B accepts the
  // pair although a face axis separates the boxes; so does one of B's in A.
  A->RememberColPoint(Vector3(0, -0.6, 0));
  EXPECT_TRUE(CDetector::DetectCollision(A.get(), B.get()));
  EXPECT_TRUE(CDetector::DetectCollision(B.get(), A.get()));
  auto C = Box(1, 1, 1, Vector3(0, 1.05, 0));
  auto D = Box(1, 1, 1, Vector3(0, 0, 0));
  D->RememberColPoint(Vector3(0, 0.6, 0));
  EXPECT_TRUE(CDetector::DetectCollision(C.get(), D.get()));

  // A remembered point outside the other body proves nothing.
  auto E = Box(1, 1, 1, Vector3(0, 1.05, 0));
  E->RememberColPoint(Vector3(0, -0.5, 0));
  EXPECT_FALSE(CDetector::DetectCollision(E.get(), B.get()));

  // The sphere stage still comes first.
  auto far = Box(1, 1, 1, Vector3(0, 5, 0));
  far->RememberColPoint(Vector3(0, -5, 0));
  ASSERT_TRUE(CDetector::IsPointInside(far->PointLocalToGlobal(far->recent_cols[0]), B.get()));
  EXPECT_FALSE(CDetector::DetectCollision(far.get(), B.get()));
}

TEST(ClosestOnEdgeA, Numbers) {
  Edge a(Vector3(1, 0, 0), Vector3(0, 0, 0), Vector3(2, 0, 0));
  Edge b(Vector3(0, 1, 0), Vector3(1, -1, 1), Vector3(1, 1, 1));
  EXPECT_TRUE(Same(CDetector::ClosestOnEdgeA(a, b), Vector3(1, 0, 0)));
  EXPECT_TRUE(Same(CDetector::ClosestOnEdgeA(b, a), Vector3(1, 0, 1)));

  // Parameter exactly 0 or 1, or beyond: the end point itself, so that the
  // caller's exact comparison recognises it; 0.2 + (0.9 - 0.2) is not 0.9.
  Edge s(Vector3(1, 0, 0), Vector3(0.2, 0, 0), Vector3(0.9, 0, 0));
  ASSERT_NE(s.a.x() + (s.b.x() - s.a.x()), s.b.x());
  auto across_at = [](double x) {
    return Edge(Vector3(0, 1, 0), Vector3(x, -1, 1), Vector3(x, 1, 1));
  };
  EXPECT_TRUE(Same(CDetector::ClosestOnEdgeA(s, across_at(0.9)), s.b));
  EXPECT_TRUE(Same(CDetector::ClosestOnEdgeA(s, across_at(1.7)), s.b));
  EXPECT_TRUE(Same(CDetector::ClosestOnEdgeA(s, across_at(0.2)), s.a));
  EXPECT_TRUE(Same(CDetector::ClosestOnEdgeA(s, across_at(-3)), s.a));

  // Parallel and nearly parallel (|U x V| below 0.001) give A's first end.
  // The bound scales with both lengths: the same slant is below it for
  // edges of length 2 and 1, above it for 20 and 10.
  Edge par(Vector3(1, 0, 0), Vector3(-5, 0.01, 0), Vector3(5, 0.01, 0));
  EXPECT_TRUE(Same(CDetector::ClosestOnEdgeA(a, par), a.a));
  Edge slant(Vector3(1, 0, 0), Vector3(0.5, -0.0002, 1), Vector3(1.5, 0.0002, 1));
  EXPECT_TRUE(Same(CDetector::ClosestOnEdgeA(a, slant), a.a));
  Edge long_a(Vector3(1, 0, 0), Vector3(0, 0, 0), Vector3(20, 0, 0));
  Edge long_slant(Vector3(1, 0, 0), Vector3(5, -0.002, 1), Vector3(15, 0.002, 1));
  EXPECT_NEAR(CDetector::ClosestOnEdgeA(long_a, long_slant).x(), 10, 1e-9);
}

// The unit cubes 0.1 apart along y: eight corner points and no edge-edge
// point, since every crossing of their edges lies at an end point.
TEST(GetCollisionPoints, UnitCubes) {
  auto A = Box(1, 1, 1, Vector3(0, 0.9, 0));
  auto B = Box(1, 1, 1, Vector3(0, 0, 0));
  auto col = Points(A.get(), B.get());
  EXPECT_EQ(col->bodies[0], A.get());
  EXPECT_EQ(col->bodies[1], B.get());

  const int a_corners[] = {0, 1, 4, 5};
  const int b_corners[] = {2, 3, 6, 7};
  ASSERT_EQ(col->points[0].size(), 4u);
  ASSERT_EQ(col->points[1].size(), 4u);
  for (int k = 0; k < 4; ++k) {
    const CollisionPoint& pa = col->points[0][k];
    EXPECT_TRUE(Same(pa.p, A->vertices[a_corners[k]]));
    EXPECT_EQ(pa.f, &B->faces[3]);
    EXPECT_TRUE(pa.eA == nullptr && pa.eB == nullptr);
    ExpectNear(pa.n, Vector3(0, 1, 0), 0);
    const CollisionPoint& pb = col->points[1][k];
    EXPECT_TRUE(Same(pb.p, B->vertices[b_corners[k]]));
    EXPECT_EQ(pb.f, &A->faces[2]);
    EXPECT_TRUE(pb.eA == nullptr && pb.eB == nullptr);
    ExpectNear(pb.n, Vector3(0, -1, 0), 0);
  }
  // Each body remembered its own corners, in creation order.
  ASSERT_EQ(A->recent_cols_size, 4);
  ASSERT_EQ(B->recent_cols_size, 4);
  for (int k = 0; k < 4; ++k) {
    EXPECT_TRUE(Same(A->recent_cols[k], A->vertices[a_corners[k]]));
    EXPECT_TRUE(Same(B->recent_cols[k], B->vertices[b_corners[k]]));
  }
}

TEST(EvaluatePoint, CurrentPoseStoredNormal) {
  auto A = Box(1, 1, 1, Vector3(0, 0.9, 0));
  auto B = Box(1, 1, 1, Vector3(0, 0, 0));
  auto col = Points(A.get(), B.get());
  PointEvaluation e = CDetector::EvaluatePoint(col->points[0][0], A.get(), B.get());
  ExpectNear(e.p, Vector3(-0.5, 0.4, -0.5));
  EXPECT_NEAR(e.depth, 0.1, 1e-12);

  // A point of B's list follows B's pose; its normal does not turn with it.
  B->pos = Vector3(0.25, 0, 0);
  B->SetAngPos(AxisAngle(Vector3(0, 0, 1), 0.1));
  e = CDetector::EvaluatePoint(col->points[1][0], B.get(), A.get());
  EXPECT_TRUE(Same(e.p, B->PointLocalToGlobal(B->vertices[2])));
  EXPECT_TRUE(Same(e.n, col->points[1][0].n));

  // Corner points take the smaller of the two overlaps, edge-edge points
  // (both edges set, one is not enough) the A-into-B one: along a reversed
  // normal they differ, 0.1 against 1.9.
  auto C = Box(1, 1, 1, Vector3(0, 0.9, 0));
  auto D = Box(1, 1, 1, Vector3(0, 0, 0));
  CollisionPoint cp;
  cp.n = Vector3(0, -1, 0);
  EXPECT_NEAR(CDetector::EvaluatePoint(cp, C.get(), D.get()).depth, 0.1, 1e-12);
  cp.eA = &C->edges[0];
  EXPECT_NEAR(CDetector::EvaluatePoint(cp, C.get(), D.get()).depth, 0.1, 1e-12);
  cp.eB = &D->edges[0];
  EXPECT_NEAR(CDetector::EvaluatePoint(cp, C.get(), D.get()).depth, 1.9, 1e-12);
}

// A small box sunk 0.05 into the middle of a slab's top face.
TEST(GetCollisionPoints, BoxSunkIntoLargerBox) {
  auto A = Box(1, 1, 1, Vector3(0, 0, 0.95));
  auto B = Box(4, 4, 1, Vector3(0, 0, 0));
  auto col = Points(A.get(), B.get());
  const int bottom[] = {0, 2, 4, 6};
  ASSERT_EQ(col->points[0].size(), 4u);
  for (int k = 0; k < 4; ++k) {
    const CollisionPoint& cp = col->points[0][k];
    EXPECT_TRUE(Same(cp.p, A->vertices[bottom[k]]));
    EXPECT_EQ(cp.f, &B->faces[1]);
    EXPECT_EQ(cp.eA, nullptr);
    ExpectNear(cp.n, Vector3(0, 0, 1), 0);
    EXPECT_NEAR(CDetector::EvaluatePoint(cp, A.get(), B.get()).depth, 0.05, 1e-12);
  }
  EXPECT_TRUE(col->points[1].empty());
}

// Two long boxes laid crosswise, each turned 45 degrees about its long axis,
// A's lowest edge resting across B's highest with about 0.014 overlap.
TEST(GetCollisionPoints, CrossedEdgesGiveOneEdgePoint) {
  auto A = Box(4, 1, 1, Vector3(0, 0, 1.4), Degrees(Vector3(1, 0, 0), 45));
  auto B = Box(1, 4, 1, Vector3(0, 0, 0), Degrees(Vector3(0, 1, 0), 45));
  ASSERT_TRUE(CDetector::DetectCollision(A.get(), B.get()));
  Vector3 normal = SeparatingAxis(A.get(), B.get());
  ExpectNear(normal, Vector3(0, 0, 1));

  auto col = Points(A.get(), B.get());
  ASSERT_EQ(col->points[0].size(), 1u);
  EXPECT_TRUE(col->points[1].empty());
  const CollisionPoint& cp = col->points[0][0];
  // A's lowest edge is edge 4 (y = z = -0.5 in A's frame), B's highest is
  // edge 2 (x = -0.5, z = 0.5 in B's frame).
  EXPECT_EQ(cp.eA, &A->edges[4]);
  EXPECT_EQ(cp.eB, &B->edges[2]);
  EXPECT_EQ(cp.f, nullptr);
  EXPECT_TRUE(Same(cp.n, normal));
  ExpectNear(cp.p, Vector3(0, -0.5, -0.5), 1e-9);
  EXPECT_NEAR(CDetector::EvaluatePoint(cp, A.get(), B.get()).depth, std::sqrt(2.0) - 1.4, 1e-9);
  ASSERT_EQ(A->recent_cols_size, 1);
  EXPECT_TRUE(Same(A->recent_cols[0], cp.p));
  EXPECT_EQ(B->recent_cols_size, 0);
}

// Ridge on ridge, exactly and nearly (1e-5 rad) parallel: the two touching
// edges are 0.014 apart and still form no edge-edge point.
TEST(GetCollisionPoints, ParallelEdgesNeverPair) {
  const Quaternion q = Degrees(Vector3(1, 0, 0), 45);
  for (double tilt : {0.0, 1e-5}) {
    auto A = Box(2, 1, 1, Vector3(0, 0, 1.4), AxisAngle(Vector3(0, 0, 1), tilt) * q);
    auto B = Box(4, 1, 1, Vector3(0, 0, 0), q);
    // A's lowest edge is edge 4, B's highest edge 7 (y = z = 0.5).
    ASSERT_NEAR(A->PointLocalToGlobal(A->edges[4].a).z(), 1.4 - std::sqrt(0.5), 1e-4);
    ASSERT_NEAR(B->PointLocalToGlobal(B->edges[7].a).z(), std::sqrt(0.5), 1e-12);
    auto col = Points(A.get(), B.get());
    // The ends of A's ridge lie inside B.
    ASSERT_GE(col->points[0].size(), 2u);
    EXPECT_TRUE(Same(col->points[0][0].p, A->vertices[0]));
    EXPECT_TRUE(Same(col->points[0][1].p, A->vertices[4]));
    EXPECT_FALSE(HasEdgePair(*col, 4, 7)) << "tilt " << tilt;
  }
}

TEST(GetCollisionPoints, ApartByTheBandOrMore) {
  for (double y : {1.1, 1.25, 3.0}) {
    auto A = Box(1, 1, 1, Vector3(0, y, 0));
    auto B = Box(1, 1, 1, Vector3(0, 0, 0));
    ASSERT_LE(OverlapDepth(A.get(), B.get(), SeparatingAxis(A.get(), B.get()), nullptr) + 0.1, 0.0);
    auto col = Points(A.get(), B.get());
    EXPECT_EQ(col->bodies[0], A.get());
    EXPECT_EQ(col->bodies[1], B.get());
    EXPECT_TRUE(col->points[0].empty() && col->points[1].empty());
    EXPECT_EQ(A->recent_cols_size + B->recent_cols_size, 0);
  }
}

TEST(GetCollisionPoints, TouchingFaces) {
  auto A = Box(1, 1, 1, Vector3(0, 1, 0));
  auto B = Box(1, 1, 1, Vector3(0, 0, 0));
  auto col = Points(A.get(), B.get());
  EXPECT_EQ(col->points[0].size(), 4u);
  EXPECT_EQ(col->points[1].size(), 4u);
  for (const CollisionPoint& cp : col->points[0])
    EXPECT_NEAR(CDetector::EvaluatePoint(cp, A.get(), B.get()).depth, 0.0, 1e-12);
}

// A cube balanced on one edge, sunk 0.02 into a slab: the two corners of that
// edge are the contacts; the edge crosses no slab edge. Swapping the pair
// moves the same corners to the second list with the same normal.
TEST(GetCollisionPoints, BoxStandingOnEdge) {
  auto A =
      Box(1, 1, 1, Vector3(0.3, -0.2, 0.5 + std::sqrt(0.5) - 0.02), Degrees(Vector3(1, 0, 0), 45));
  auto B = Box(4, 4, 1, Vector3(0, 0, 0));
  auto col = Points(A.get(), B.get());
  ASSERT_EQ(col->points[0].size(), 2u);
  EXPECT_TRUE(col->points[1].empty());
  EXPECT_TRUE(Same(col->points[0][0].p, A->vertices[0]));
  EXPECT_TRUE(Same(col->points[0][1].p, A->vertices[4]));
  for (const CollisionPoint& cp : col->points[0]) {
    EXPECT_EQ(cp.f, &B->faces[1]);
    ExpectNear(cp.n, Vector3(0, 0, 1), 0);
    EXPECT_NEAR(CDetector::EvaluatePoint(cp, A.get(), B.get()).depth, 0.02, 1e-9);
  }
  auto swapped = Points(B.get(), A.get());
  EXPECT_TRUE(swapped->points[0].empty());
  ASSERT_EQ(swapped->points[1].size(), 2u);
  EXPECT_TRUE(Same(swapped->points[1][0].p, A->vertices[0]));
  EXPECT_TRUE(Same(swapped->points[1][1].p, A->vertices[4]));
  EXPECT_EQ(swapped->points[1][0].f, &B->faces[1]);
  ExpectNear(swapped->points[1][0].n, Vector3(0, 0, 1), 0);
}

// A cube balanced on its corner 0, sunk 0.03 into a slab.
TEST(GetCollisionPoints, BoxStandingOnCorner) {
  // Turns the body diagonal (1, 1, 1) onto +z, so corner 0 points down.
  const Quaternion q = AxisAngle(Vector3(1, -1, 0), std::acos(1 / std::sqrt(3.0)));
  auto A = Box(1, 1, 1, Vector3(-0.4, 0.7, 0.5 + std::sqrt(0.75) - 0.03), q);
  auto B = Box(4, 4, 1, Vector3(0, 0, 0));
  ExpectNear(A->PointLocalToGlobal(A->vertices[0]), Vector3(-0.4, 0.7, 0.47));

  auto col = Points(A.get(), B.get());
  ASSERT_EQ(col->points[0].size(), 1u);
  EXPECT_TRUE(col->points[1].empty());
  const CollisionPoint& cp = col->points[0][0];
  EXPECT_TRUE(Same(cp.p, A->vertices[0]));
  EXPECT_EQ(cp.f, &B->faces[1]);
  ExpectNear(cp.n, Vector3(0, 0, 1), 0);
  EXPECT_NEAR(CDetector::EvaluatePoint(cp, A.get(), B.get()).depth, 0.03, 1e-9);

  auto swapped = Points(B.get(), A.get());
  EXPECT_TRUE(swapped->points[0].empty());
  ASSERT_EQ(swapped->points[1].size(), 1u);
  EXPECT_TRUE(Same(swapped->points[1][0].p, A->vertices[0]));
}

// Every edge pair of several contacts against a slab, judged rule by rule: a
// pair yields a point exactly when all four end points lie in the band, the
// closest point on neither edge is one of its own end points, the two closest
// points are at most twice the depth apart and either lies inside the other
// body. Each rule must be the only one to drop some pair here, so none of
// them can go missing unnoticed.
TEST(GetCollisionPoints, EdgePairRules) {
  struct Case {
    Vector3 pos;
    Quaternion q;
  };
  const Case cases[] = {
      // A vertical edge poking 0.11 into the slab's side.
      {Vector3(2.5, 0, 0.3), Degrees(Vector3(0, 0, 1), 15)},
      // Tipped over the rim: A's edge 10 passes outside the slab while the
      // rim pokes into A.
      {Vector3(1.57, 0.72, 0.66), Degrees(Vector3(0, 0, 1), 85) * Degrees(Vector3(0, 1, 0), 30)},
      // Almost swallowed by the slab.
      {Vector3(1.23, -0.13, -0.16), Degrees(Vector3(0, 0, 1), 5) * Degrees(Vector3(0, 1, 0), 85)},
      {Vector3(1.38, 0.76, 0), Degrees(Vector3(0, 0, 1), 75) * Degrees(Vector3(1, 0, 0), 90)},
  };
  enum { kBand, kEndA, kEndB, kDistance, kInside, kRules };
  int only_failing[kRules] = {};
  for (const Case& c : cases) {
    auto A = Box(1, 1, 1, c.pos, c.q);
    auto B = Box(4, 4, 1, Vector3(0, 0, 0));
    const Vector3 normal = SeparatingAxis(A.get(), B.get());
    Vector3 plane;
    const double depth = OverlapDepth(A.get(), B.get(), normal, &plane);
    auto col = Points(A.get(), B.get());
    auto in_band = [&](const Vector3& w) { return std::fabs((w - plane) * normal) < depth + 0.1; };
    for (int i = 0; i < 12; ++i) {
      for (int j = 0; j < 12; ++j) {
        const Edge wa = A->RotationMatrix() * A->edges[i] + A->pos;
        const Edge wb = B->RotationMatrix() * B->edges[j] + B->pos;
        const Vector3 ca = CDetector::ClosestOnEdgeA(wa, wb);
        const Vector3 cb = CDetector::ClosestOnEdgeA(wb, wa);
        bool pass[kRules];
        pass[kBand] = in_band(wa.a) && in_band(wa.b) && in_band(wb.a) && in_band(wb.b);
        pass[kEndA] = !(ca == wa.a || ca == wa.b);
        pass[kEndB] = !(cb == wb.a || cb == wb.b);
        pass[kDistance] = (ca - cb).Length() <= 2 * depth;
        pass[kInside] =
            CDetector::IsPointInside(ca, B.get()) || CDetector::IsPointInside(cb, A.get());
        const int failing = static_cast<int>(std::count(pass, pass + kRules, false));
        for (int r = 0; r < kRules; ++r)
          if (failing == 1 && !pass[r])
            ++only_failing[r];
        EXPECT_EQ(HasEdgePair(*col, i, j), failing == 0) << "edges " << i << ", " << j;
      }
    }
  }
  for (int r = 0; r < kRules; ++r)
    EXPECT_GT(only_failing[r], 0) << "rule " << r;
}

// Seeded random pairs near contact: whatever the geometry, the record keeps
// its layout and order, and the contact rings receive the points in creation
// order.
TEST(GetCollisionPoints, OrderOnRandomPairs) {
  std::mt19937 rng(20240611);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  auto random_turn = [&] { return AxisAngle(Vector3(u(rng), u(rng), u(rng)), 3 * u(rng)); };
  int with_edge_points = 0;
  for (int trial = 0; trial < 3000; ++trial) {
    auto B = Box(2 + u(rng), 1.5 + u(rng), 1 + 0.5 * u(rng), Vector3(0, 0, 0), random_turn());
    auto A = Box(1 + 0.5 * u(rng), 1 + 0.5 * u(rng), 1 + 0.5 * u(rng),
                 Vector3(1.2 * u(rng), 1.2 * u(rng), 1.2 * u(rng)), random_turn());
    if (!CDetector::DetectCollision(A.get(), B.get()))
      continue;
    auto col = Points(A.get(), B.get());
    const Vector3 normal = SeparatingAxis(A.get(), B.get());

    // Corners first in `vertices` order, then edge pairs in (A, B) order.
    long last = -1;
    bool in_edges = false;
    for (const CollisionPoint& cp : col->points[0]) {
      long key;
      if (cp.eA == nullptr) {
        ASSERT_FALSE(in_edges) << "corner after an edge-edge point, trial " << trial;
        key = std::find_if(A->vertices.begin(), A->vertices.end(),
                           [&](const Vector3& v) { return Same(v, cp.p); }) -
              A->vertices.begin();
        EXPECT_TRUE(cp.f == col->points[0][0].f && Same(cp.n, col->points[0][0].n));
      } else {
        in_edges = true;
        key = 100 + (cp.eA - A->edges.data()) * 12 + (cp.eB - B->edges.data());
        EXPECT_TRUE(cp.f == nullptr && Same(cp.n, normal));
      }
      EXPECT_GT(key, last) << "trial " << trial;
      last = key;
    }
    with_edge_points += in_edges;
    last = -1;
    for (const CollisionPoint& cp : col->points[1]) {
      ASSERT_EQ(cp.eA, nullptr);
      long key = std::find_if(B->vertices.begin(), B->vertices.end(),
                              [&](const Vector3& v) { return Same(v, cp.p); }) -
                 B->vertices.begin();
      EXPECT_GT(key, last);
      last = key;
    }
    // Each ring holds the body's last four points, newest just before
    // recent_cols_last.
    for (int i = 0; i < 2; ++i) {
      RBody* body = col->bodies[i];
      const std::vector<CollisionPoint>& made = col->points[i];
      ASSERT_EQ(body->recent_cols_size, static_cast<int>(std::min<std::size_t>(made.size(), 4)));
      for (std::size_t m = 0; m < made.size() && m < 4; ++m) {
        int slot = (body->recent_cols_last + 3 - static_cast<int>(m)) % 4;
        EXPECT_TRUE(Same(body->recent_cols[slot], made[made.size() - 1 - m].p));
      }
    }
  }
  EXPECT_GT(with_edge_points, 50);
}

TEST(RelativeVelocity, SpinAndSign) {
  auto A = Box(1, 1, 1, Vector3(0, 0, 1));
  auto B = Box(1, 1, 1, Vector3(0, 0, 0));
  A->vel = Vector3(0, 0, -2);
  EXPECT_EQ(CDetector::RelativeVelocity(Vector3(0, 0, 0.5), Vector3(0, 0, 1), A.get(), B.get()),
            -2);
  // Spinning about z, material at (1, 0, 0.5) moves along +y: B's spin makes
  // the bodies approach along +y, A's makes them separate.
  A->vel = Vector3(0, 0, 0);
  B->ang_vel = Vector3(0, 0, 3);
  EXPECT_EQ(CDetector::RelativeVelocity(Vector3(1, 0, 0.5), Vector3(0, 1, 0), A.get(), B.get()),
            -3);
  B->ang_vel = Vector3(0, 0, 0);
  A->ang_vel = Vector3(0, 0, 3);
  EXPECT_EQ(CDetector::RelativeVelocity(Vector3(1, 0, 0.5), Vector3(0, 1, 0), A.get(), B.get()), 3);
}

TEST(HighestRelVel, SignedLargestMagnitude) {
  auto A = Box(1, 1, 1, Vector3(0, 0, 1));
  auto B = Box(1, 1, 1, Vector3(0, 0, 0));
  A->vel = Vector3(0, 0, -2);
  Collision col;
  col.bodies[0] = A.get();
  col.bodies[1] = B.get();
  EXPECT_EQ(HighestRelVel(&col), 0.0);

  auto along = [](double nz) {
    CollisionPoint cp;
    cp.n = Vector3(0, 0, nz);
    return cp;
  };
  // (vA - vB) . n: +1 separating, then -2 approaching.
  col.points[0] = {along(-0.5), along(1)};
  EXPECT_EQ(HighestRelVel(&col), -2.0);
  // Equal magnitudes: the first one found stays.
  col.points[0] = {along(-1), along(1)};
  EXPECT_EQ(HighestRelVel(&col), 2.0);
  col.points[0] = {along(1), along(-1)};
  EXPECT_EQ(HighestRelVel(&col), -2.0);
  // A point of the second list is seen from B: (vB - vA) . n = 2 * -1.5.
  col.points[0] = {along(-0.5)};
  col.points[1] = {along(-1.5)};
  EXPECT_EQ(HighestRelVel(&col), -3.0);
}

TEST(CheckAll, EmptyAndSingleBody) {
  std::vector<RBody*> bodies;
  // Left-over records from other code are destroyed, not leaked.
  std::vector<Collision*> collisions{new Collision};
  std::vector<Collision*> contacts{new Collision, new Collision};
  CDetector::CheckAll(&bodies, &collisions, &contacts, 0.0);
  EXPECT_TRUE(collisions.empty());
  EXPECT_TRUE(contacts.empty());

  auto A = Box(1, 1, 1, Vector3(0, 0, 0));
  bodies.push_back(A.get());
  contacts.push_back(new Collision);
  CDetector::CheckAll(&bodies, &collisions, &contacts, 0.0);
  EXPECT_TRUE(collisions.empty());
  EXPECT_TRUE(contacts.empty());
}

TEST(CheckAll, PairOrder) {
  // Body 0 in the middle, 1 on top of it, 2 below it; 1 and 2 are apart.
  // Two static bodies are tested like any other.
  auto mid = Box(1, 1, 1, Vector3(0, 0, 0));
  auto top = Box(1, 1, 1, Vector3(0, 0, 0.99));
  auto low = Box(1, 1, 1, Vector3(0.1, 0, -0.99));
  mid->is_static = true;
  low->is_static = true;
  std::vector<RBody*> bodies{mid.get(), top.get(), low.get()};
  std::vector<Collision*> collisions, contacts;
  CDetector::CheckAll(&bodies, &collisions, &contacts, 0.0);
  EXPECT_TRUE(contacts.empty());
  ASSERT_EQ(collisions.size(), 2u);
  EXPECT_EQ(collisions[0]->bodies[0], mid.get());
  EXPECT_EQ(collisions[0]->bodies[1], top.get());
  EXPECT_EQ(collisions[1]->bodies[0], mid.get());
  EXPECT_EQ(collisions[1]->bodies[1], low.get());
  Clear(&collisions);
}

TEST(CheckAll, AcceptedPairWithoutPointsLeavesNoRecord) {
  auto A = Box(1, 1, 1, Vector3(0, 1.05, 0));
  auto B = Box(1, 1, 1, Vector3(0, 0, 0));
  A->RememberColPoint(Vector3(0, -0.6, 0));
  ASSERT_TRUE(CDetector::DetectCollision(A.get(), B.get()));
  std::vector<RBody*> bodies{A.get(), B.get()};
  std::vector<Collision*> collisions, contacts;
  CDetector::CheckAll(&bodies, &collisions, &contacts, 0.0);
  EXPECT_TRUE(collisions.empty());
  EXPECT_TRUE(contacts.empty());
}

TEST(CheckAll, Threshold) {
  auto A = Box(1, 1, 1, Vector3(0, 0, 0.99));
  auto B = Box(1, 1, 1, Vector3(0, 0, 0));
  std::vector<RBody*> bodies{A.get(), B.get()};
  std::vector<Collision*> collisions, contacts;

  // At rest: kept with eps 0, dropped with anything above.
  CDetector::CheckAll(&bodies, &collisions, &contacts, 0.0);
  ASSERT_EQ(collisions.size(), 1u);
  EXPECT_EQ(HighestRelVel(collisions[0]), 0.0);
  CDetector::CheckAll(&bodies, &collisions, &contacts, 1e-9);
  EXPECT_TRUE(collisions.empty());

  // Approaching at 0.5: kept at eps 0.5, dropped just above.
  A->vel = Vector3(0, 0, -0.5);
  CDetector::CheckAll(&bodies, &collisions, &contacts, 0.5);
  ASSERT_EQ(collisions.size(), 1u);
  EXPECT_EQ(HighestRelVel(collisions[0]), -0.5);
  CDetector::CheckAll(&bodies, &collisions, &contacts, 0.5000001);
  EXPECT_TRUE(collisions.empty());
}

// Passes over an unchanged scene give the same records in the same order, bit
// for bit, whether or not the bodies remember points from an earlier pass.
TEST(CheckAll, RepeatedPassesAgree) {
  auto make_scene = [](std::vector<std::unique_ptr<RBody>>* owned, std::vector<RBody*>* bodies) {
    owned->push_back(Box(10, 10, 1, Vector3(0, 0, -0.5)));
    owned->push_back(Box(1, 1, 1, Vector3(-2, 0, std::sqrt(0.75) - 0.03),
                         AxisAngle(Vector3(1, -1, 0), std::acos(1 / std::sqrt(3.0)))));
    owned->push_back(
        Box(1, 1, 1, Vector3(2, 1, std::sqrt(0.5) - 0.02), Degrees(Vector3(0, 1, 0), 45)));
    owned->push_back(Box(1, 2, 1, Vector3(0, -2, 0.49), AxisAngle(Vector3(0, 0, 1), 0.3)));
    owned->push_back(Box(1, 1, 1, Vector3(0.2, -2.1, 1.47), AxisAngle(Vector3(1, 2, 0.5), 0.4)));
    (*owned)[0]->is_static = true;
    (*owned)[4]->vel = Vector3(0.1, 0, -1);
    for (auto& b : *owned)
      bodies->push_back(b.get());
  };
  std::vector<std::unique_ptr<RBody>> owned;
  std::vector<RBody*> bodies;
  make_scene(&owned, &bodies);

  std::vector<Collision*> first, again, contacts;
  CDetector::CheckAll(&bodies, &first, &contacts, 0.0);
  ASSERT_EQ(first.size(), 4u);
  for (int pass = 0; pass < 2; ++pass) {
    CDetector::CheckAll(&bodies, &again, &contacts, 0.0);
    ExpectSameRecords(first, again, true);
  }
  // A fresh copy of the scene, with empty contact rings.
  std::vector<std::unique_ptr<RBody>> fresh_owned;
  std::vector<RBody*> fresh;
  make_scene(&fresh_owned, &fresh);
  CDetector::CheckAll(&fresh, &again, &contacts, 0.0);
  ExpectSameRecords(first, again, false);
  Clear(&first);
  Clear(&again);
}
