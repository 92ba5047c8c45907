#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cfenv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "collision/cdetector.h"
#include "collision/pair_threads.h"
#include "helpers.h"

namespace {

// A NaN or a division by zero anywhere in the detector fails loudly.
class TrapFloatingPoint : public ::testing::Environment {
 public:
  void SetUp() override { feenableexcept(FE_INVALID | FE_DIVBYZERO); }
};
const auto* const kTrap = ::testing::AddGlobalTestEnvironment(new TrapFloatingPoint);

Quaternion AxisAngle(Vector3 axis, double rad) {
  return Quaternion(std::cos(rad / 2), axis.Normalized() * std::sin(rad / 2));
}
Quaternion Deg(Vector3 axis, double deg) {
  return AxisAngle(axis, deg * 3.14159265358979323846 / 180);
}

std::unique_ptr<Collision> Points(RBody* a, RBody* b) {
  return std::unique_ptr<Collision>(CDetector::GetCollisionPoints(a, b));
}

// The list holds exactly the owner's corners idx, in order, on face f with normal n.
void ExpectCorners(const std::vector<CollisionPoint>& pts, const RBody* owner,
                   const std::vector<int>& idx, const Face* f, const Vector3& n) {
  ASSERT_EQ(pts.size(), idx.size());
  for (std::size_t k = 0; k < idx.size(); ++k) {
    EXPECT_TRUE(SameBits(pts[k].p, owner->vertices[idx[k]])) << "point " << k;
    EXPECT_EQ(pts[k].f, f) << "point " << k;
    EXPECT_EQ(pts[k].eA, nullptr) << "point " << k;
    EXPECT_EQ(pts[k].eB, nullptr) << "point " << k;
    ExpectNear(pts[k].n, n, 0);
  }
}

// Records as exact text (hex floats keep every bit); with ptrs also bodies, edges, faces.
std::string Print(const std::vector<Collision*>& cols, bool ptrs) {
  std::ostringstream s;
  s << std::hexfloat;
  for (const Collision* c : cols) {
    for (int i = 0; i < 2; ++i) {
      s << "\n" << (ptrs ? c->bodies[i] : nullptr) << ":";
      for (const CollisionPoint& cp : c->points[i])
        s << " " << cp.p.x() << "," << cp.p.y() << "," << cp.p.z() << "," << cp.n.x() << ","
          << cp.n.y() << "," << cp.n.z() << (ptrs ? cp.eA : nullptr) << (ptrs ? cp.eB : nullptr)
          << (ptrs ? cp.f : nullptr);
    }
  }
  return s.str();
}

}  // namespace

class Detector : public ::testing::Test {
 protected:
  RBody* Box(double w, double h, double d, Vector3 pos, Quaternion q = Quaternion()) {
    return bodies_.Add(w, h, d, pos, false, q);
  }
  OwnedBodies bodies_;
};

// Two unit cubes, B at the origin and A sunk 0.1 into it from +y.
TEST_F(Detector, UnitCubesSunkOneTenth) {
  RBody *A = Box(1, 1, 1, Vector3(0, 0.9, 0)), *B = Box(1, 1, 1, Vector3(0, 0, 0));
  // Tie with B's face 3: A's face 2 negated comes first and wins (see the zero signs).
  const Vector3 axis = SeparatingAxis(A, B);
  EXPECT_TRUE(SameBits(axis, Vector3(-0.0, 1, -0.0)));
  Vector3 mid;
  EXPECT_NEAR(OverlapDepth(A, B, axis, &mid), 0.1, 1e-12);
  ExpectNear(mid, Vector3(-0.5, 0.45, -0.5));  // A's corner 0 and B's corner 2 attain first
  // Eight corners, no edge-edge point: every edge crossing is at an end point.
  auto col = Points(A, B);
  ExpectCorners(col->points[0], A, {0, 1, 4, 5}, &B->faces[3], Vector3(0, 1, 0));
  ExpectCorners(col->points[1], B, {2, 3, 6, 7}, &A->faces[2], Vector3(0, -1, 0));

  PointEvaluation e = CDetector::EvaluatePoint(col->points[0][0], A, B);
  ExpectNear(e.p, Vector3(-0.5, 0.4, -0.5));
  EXPECT_NEAR(e.depth, 0.1, 1e-12);
  // Corner: the smaller overlap; edge-edge (both edges set) A into B: 0.1 vs 1.9.
  CollisionPoint cp;
  cp.n = Vector3(0, -1, 0);
  EXPECT_NEAR(CDetector::EvaluatePoint(cp, A, B).depth, 0.1, 1e-12);
  cp.eA = &A->edges[0];
  EXPECT_NEAR(CDetector::EvaluatePoint(cp, A, B).depth, 0.1, 1e-12);
  cp.eB = &B->edges[0];
  EXPECT_NEAR(CDetector::EvaluatePoint(cp, A, B).depth, 1.9, 1e-12);
}

namespace {

// A point's depth as the corner loop makes it: the spans of both bodies on
// the point's normal, the earliest corner winning ties.
double PlainPointDepth(RBody* A, RBody* B, const Vector3& n) {
  auto span = [&](RBody* X, double* min, double* max) {
    const WorldGeometry& g = X->World();
    for (std::size_t k = 0; k < g.corners.size(); ++k) {
      const Vector3& c = g.corners[k];
      const double d = n.axes[0] * c.axes[0] + n.axes[1] * c.axes[1] + n.axes[2] * c.axes[2];
      if (k == 0 || d < *min)
        *min = d;
      if (k == 0 || d > *max)
        *max = d;
    }
  };
  double a_min, a_max, b_min, b_max;
  span(A, &a_min, &a_max);
  span(B, &b_min, &b_max);
  const double ab = b_max - a_min, ba = a_max - b_min;
  return ba < ab ? ba : ab;
}

double PointDepthOn(RBody* A, RBody* B, const Vector3& n) {
  CollisionPoint cp;
  cp.n = n;
  return CDetector::EvaluatePoint(cp, A, B).depth;
}

}  // namespace

// Unit cubes whose corners lie on zeros of either sign, on axes with zero
// components of either sign: many corners tie at an end of a projection with
// +0 against -0, and the first corner in `vertices` order must win, as in the
// plain loop over the corners. A depth keeps that end's sign.
TEST_F(Detector, ProjectionEndsTiedAtZeroKeepTheFirstCorner) {
  const double places[] = {-0.5, -0.0, 0.5};
  const double parts[] = {1, -1, 0.0, -0.0};
  std::vector<RBody*> boxes;
  for (double x : places)
    for (double y : places)
      for (double z : places)
        boxes.push_back(Box(1, 1, 1, Vector3(x, y, z)));
  int negative_zeros = 0;
  for (double nx : parts) {
    for (double ny : parts) {
      for (double nz : parts) {
        const Vector3 n(nx, ny, nz);
        if (n * n == 0)
          continue;
        for (RBody* A : boxes) {
          for (RBody* B : boxes) {
            const double want = PlainPointDepth(A, B, n);
            const double got = PointDepthOn(A, B, n);
            ASSERT_TRUE(SameBits(got, want))
                << "axis " << nx << "," << ny << "," << nz << " A " << A->id << " B " << B->id
                << ": " << got << " against " << want;
            negative_zeros += want == 0 && std::signbit(want);
          }
        }
      }
    }
  }
  EXPECT_GT(negative_zeros, 0);  // the ties do decide a sign
}

// Axes so long that products overflow and their sums make NaNs: the corner
// loop's answer, NaN and all, not the two-lane tree's.
TEST_F(Detector, ProjectionsOnHugeAxesKeepTheCornerLoopsNaNs) {
  const int traps = fegetexcept();  // NaNs on purpose: the trap is off here
  fedisableexcept(FE_ALL_EXCEPT);
  struct Restore {
    int traps;
    ~Restore() { feenableexcept(traps); }
  } restore{traps};
  int nans = 0;
  for (double nx : {1e308, -1e308}) {
    for (double ny : {1e308, -1e308}) {
      const Vector3 n(nx, ny, 0.5);
      for (double x : {-1.5, 1.5}) {
        RBody* A = Box(1, 1, 1, Vector3(x, -x, 0));
        RBody* B = Box(1, 1, 1, Vector3(x, x, 0));
        const double want = PlainPointDepth(A, B, n);
        EXPECT_TRUE(SameBits(PointDepthOn(A, B, n), want))
            << "axis " << nx << "," << ny << " at " << x;
        nans += std::isnan(want);
      }
    }
  }
  EXPECT_GT(nans, 0);
}

// Records made on one thread and given back on another, as the pair threads
// do, in both directions at once: each comes out empty, none twice at a time,
// and a thread that ends with records of its own frees them (the sanitizer
// build's leak check).
TEST(Records, PassBetweenThreads) {
  constexpr int kRecords = 20000;
  std::mutex mutex;
  std::vector<Collision*> to_main, to_thread;
  std::set<Collision*> out;  // handed out and not yet given back
  auto make = [&](std::vector<Collision*>* to) {
    Collision* c = CDetector::NewCollision();
    EXPECT_TRUE(c->points[0].empty() && c->points[1].empty() && c->bodies[0] == nullptr);
    c->points[0].resize(3);
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_TRUE(out.insert(c).second);
    to->push_back(c);
  };
  auto give_back = [&](std::vector<Collision*>* from) {
    std::vector<Collision*> taken;
    {
      std::lock_guard<std::mutex> lock(mutex);
      taken.swap(*from);
      for (Collision* c : taken)
        out.erase(c);
    }
    for (Collision* c : taken)
      CDetector::Recycle(c);
  };
  std::thread other([&] {
    for (int k = 0; k < kRecords; ++k) {
      make(&to_main);
      if (k % 7 == 0)
        give_back(&to_thread);
    }
  });
  for (int k = 0; k < kRecords; ++k) {
    make(&to_thread);
    if (k % 5 == 0)
      give_back(&to_main);
  }
  other.join();
  give_back(&to_main);
  give_back(&to_thread);
  EXPECT_TRUE(out.empty());
}

// A record given back is handed out again with nothing of its pair left.
TEST_F(Detector, ReturnedRecordsComeBackEmpty) {
  RBody *A = Box(1, 1, 1, Vector3(0, 0.9, 0)), *B = Box(1, 1, 1, Vector3(0, 0, 0));
  Collision* record = CDetector::GetCollisionPoints(A, B, false);
  // As the contact solver leaves a record it keeps evaluations for.
  record->keep_evaluations = true;
  record->has_evaluations = true;
  record->evaluated_at[1][11] = 1;
  record->evaluations[1].resize(record->points[1].size());
  ASSERT_FALSE(record->points[1].empty());
  CDetector::Recycle(record);
  std::unique_ptr<Collision> again(CDetector::NewCollision());
  const Collision fresh{};
  EXPECT_EQ(again->bodies[0], nullptr);
  EXPECT_EQ(again->bodies[1], nullptr);
  EXPECT_FALSE(again->keep_evaluations);
  EXPECT_FALSE(again->has_evaluations);
  EXPECT_EQ(std::memcmp(again->evaluated_at, fresh.evaluated_at, sizeof fresh.evaluated_at), 0);
  for (int i = 0; i < 2; ++i) {
    EXPECT_TRUE(again->points[i].empty());
    EXPECT_TRUE(again->evaluations[i].empty());
  }
}

TEST_F(Detector, DetectCollisionStages) {
  RBody *B = Box(1, 1, 1, Vector3(0, 0, 0)), *A = Box(1, 1, 1, Vector3(0, 1, 0));
  EXPECT_TRUE(CDetector::DetectCollision(A, B));  // touching; zero axes of parallel edges
  A->pos = Vector3(1, 1, 1);  // corners touch, centres exactly the two radii apart
  ASSERT_EQ((A->pos - B->pos).Length(), A->bounding_radius + B->bounding_radius);
  EXPECT_TRUE(CDetector::DetectCollision(A, B));
  A->pos = Vector3(1, 1, 1.000001);
  EXPECT_FALSE(CDetector::DetectCollision(A, B));
  A->pos = Vector3(0, 1.05, 0);  // a face axis separates them inside the spheres
  EXPECT_FALSE(CDetector::DetectCollision(A, B));
  // Crossed ridges 0.036 apart: only the cross product of the ridge edges separates them.
  RBody* R = Box(4, 1, 1, Vector3(0, 0, 1.45), Deg(Vector3(1, 0, 0), 45));
  RBody* S = Box(1, 4, 1, Vector3(0, 0, 0), Deg(Vector3(0, 1, 0), 45));
  EXPECT_FALSE(CDetector::DetectCollision(R, S));
  R->pos = Vector3(0, 0, 0);  // centred: the first pair's x cross -y, as deep either way, wins
  const Vector3 axis = SeparatingAxis(R, S);
  ExpectNear(axis, Vector3(0, 0, -1), 0);
  EXPECT_EQ(OverlapDepth(R, S, axis, nullptr), OverlapDepth(R, S, axis * -1.0, nullptr));

  // A remembered point (any partner's) inside the other body accepts a separated pair.
  RBody *in = Box(1, 1, 1, Vector3(0, 1.05, 0)), *out = Box(1, 1, 1, Vector3(0, 1.05, 0));
  in->RememberColPoint(Vector3(0, -0.6, 0));
  out->RememberColPoint(Vector3(0, -0.5, 0));
  EXPECT_TRUE(CDetector::DetectCollision(in, B));
  EXPECT_FALSE(CDetector::DetectCollision(out, B));
  B->RememberColPoint(Vector3(0, 0.6, 0));  // the second body's point inside the first
  EXPECT_TRUE(CDetector::DetectCollision(out, B));
  RBody* far = Box(1, 1, 1, Vector3(0, 5, 0));  // the sphere stage still comes first
  far->RememberColPoint(Vector3(0, -5, 0));
  EXPECT_FALSE(CDetector::DetectCollision(far, B));
  // Accepted that way but yielding no points: CheckAll keeps no record.
  std::vector<RBody*> bodies{in, B};
  std::vector<Collision*> collisions, contacts;
  CDetector::CheckAll(&bodies, &collisions, &contacts, 0.0);
  EXPECT_TRUE(collisions.empty());
  EXPECT_TRUE(contacts.empty());
}

// Two spheres a lane: the same pairs as one SpheresApart at a time, in order,
// at odd counts and starts, at the bound's last ulps, and with values that
// are not finite.
TEST(Spheres, ColumnsSetApartWhatOneAtATimeDoes) {
  // NaNs on purpose here: the trap is off for this test.
  const int traps = fegetexcept();
  fedisableexcept(FE_ALL_EXCEPT);
  struct Restore {
    int traps;
    ~Restore() { feenableexcept(traps); }
  } restore{traps};
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> u(-2, 2);
  const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
  // Scales at which the groups' margins matter: far out, tiny, and past the
  // bound where groups are never passed over.
  const double scales[] = {1, 1, 1, 1e6, 1e-200, 1e149, 1e151};
  int near = 0, checked = 0;
  for (int trial = 0; trial < 6000; ++trial) {
    // Mostly several groups, spread over a few clusters so that some are
    // cleared whole.
    const std::size_t n = rng() % 2 ? rng() % 10 : rng() % 40;
    const double scale = scales[rng() % std::size(scales)];
    std::vector<CDetector::Sphere> list(n);
    CDetector::SphereColumns columns;
    columns.Resize(n);
    CDetector::Sphere a{{u(rng) * scale, u(rng) * scale, u(rng) * scale}, 0.5 * scale};
    if (rng() % 20 == 0)
      a.centre[rng() % 3] = rng() % 2 ? nan : inf;
    if (rng() % 20 == 0)
      a.radius = rng() % 2 ? -a.radius : inf;
    for (std::size_t j = 0; j < n; ++j) {
      CDetector::Sphere& s = list[j];
      const double cluster = 4.0 * static_cast<double>(j / 8 % 3);
      s = CDetector::Sphere{{(u(rng) + cluster) * scale, u(rng) * scale, u(rng) * scale},
                            std::fabs(u(rng)) * scale};
      const auto kind = rng() % 7;
      switch (kind) {
        case 0:    // on the bound in some direction, a few ulps either way
        case 1: {  // or along a world axis, where only the groups' margins hold
          Vector3 d = Vector3(u(rng), u(rng), u(rng)).Normalized();
          if (kind == 1) {
            d = Vector3(0, 0, 0);
            d.axes[rng() % 3] = rng() % 2 ? 1 : -1;
          }
          const double reach = (a.radius + s.radius) * std::sqrt(1 + 1e-12);
          for (int i = 0; i < 3; ++i) {
            s.centre[i] = a.centre[i] + d.axes[i] * reach;
            for (int k = static_cast<int>(rng() % 5) - 2; k != 0; k += k > 0 ? -1 : 1)
              s.centre[i] = std::nextafter(s.centre[i], k > 0 ? inf : -inf);
          }
          break;
        }
        case 2:
          s.centre[rng() % 3] = rng() % 2 ? nan : -inf;
          break;
        case 3:
          s.radius = rng() % 3 == 0 ? inf : rng() % 2 ? -s.radius : 0;
          break;
      }
      columns.Set(j, s);
    }
    columns.Group();
    const std::size_t from = n == 0 ? 0 : rng() % n, skip = rng() % (n + 1);
    std::vector<std::size_t> expected, got;
    for (std::size_t j = from; j < n; ++j)
      if (j != skip && !CDetector::SpheresApart(a, list[j]))
        expected.push_back(j);
    columns.ForNear(a, from, skip, [&](std::size_t j) { got.push_back(j); });
    ASSERT_EQ(got, expected) << trial;
    near += static_cast<int>(expected.size());
    checked += static_cast<int>(n - from);
  }
  EXPECT_GT(near, checked / 8);
  EXPECT_LT(near, checked * 7 / 8);
}

TEST_F(Detector, ClosestOnEdgeA) {
  Edge a(Vector3(1, 0, 0), Vector3(0, 0, 0), Vector3(2, 0, 0));
  Edge b(Vector3(0, 1, 0), Vector3(1, -1, 1), Vector3(1, 1, 1));
  EXPECT_TRUE(SameBits(CDetector::ClosestOnEdgeA(a, b), Vector3(1, 0, 0)));
  EXPECT_TRUE(SameBits(CDetector::ClosestOnEdgeA(b, a), Vector3(1, 0, 1)));
  // Clamped to an end: that end itself, as 0.2 + (0.9 - 0.2) is not 0.9.
  Edge s(Vector3(1, 0, 0), Vector3(0.2, 0, 0), Vector3(0.9, 0, 0));
  ASSERT_NE(s.a.x() + (s.b.x() - s.a.x()), s.b.x());
  for (double x : {0.9, 1.7, 0.2, -3.0}) {
    Edge across(Vector3(0, 1, 0), Vector3(x, -1, 1), Vector3(x, 1, 1));
    EXPECT_TRUE(SameBits(CDetector::ClosestOnEdgeA(s, across), x > 0.5 ? s.b : s.a)) << x;
  }
  // |U x V| < 0.001 (unnormalised: lengths 2 and 1 yes, 20 and 10 no) gives A's first end.
  Edge par(Vector3(1, 0, 0), Vector3(-5, 0.01, 0), Vector3(5, 0.01, 0));
  Edge slant(Vector3(1, 0, 0), Vector3(0.5, -0.0002, 1), Vector3(1.5, 0.0002, 1));
  EXPECT_TRUE(SameBits(CDetector::ClosestOnEdgeA(a, par), a.a));
  EXPECT_TRUE(SameBits(CDetector::ClosestOnEdgeA(a, slant), a.a));
  Edge long_a(Vector3(1, 0, 0), Vector3(0, 0, 0), Vector3(20, 0, 0));
  Edge long_slant(Vector3(1, 0, 0), Vector3(5, -0.002, 1), Vector3(15, 0.002, 1));
  EXPECT_NEAR(CDetector::ClosestOnEdgeA(long_a, long_slant).x(), 10, 1e-9);
}

// Corners against a 4x4x1 slab: a box sunk 0.05 flat, one on an edge sunk
// 0.02 (that edge crosses no slab edge), one on its corner 0 sunk 0.03.
TEST_F(Detector, CornersIntoASlab) {
  const Quaternion on_edge = Deg(Vector3(1, 0, 0), 45);
  const Quaternion on_corner = AxisAngle(Vector3(1, -1, 0), std::acos(1 / std::sqrt(3.0)));
  const double r2 = std::sqrt(0.5), r3 = std::sqrt(0.75);
  struct Case {
    Vector3 pos;
    Quaternion q;
    std::vector<int> corners;
    double depth, tol;
  };
  for (const Case& c : {Case{Vector3(0, 0, 0.95), Quaternion(), {0, 2, 4, 6}, 0.05, 1e-12},
                        Case{Vector3(0.3, -0.2, 0.5 + r2 - 0.02), on_edge, {0, 4}, 0.02, 1e-9},
                        Case{Vector3(-0.4, 0.7, 0.5 + r3 - 0.03), on_corner, {0}, 0.03, 1e-9}}) {
    RBody *A = Box(1, 1, 1, c.pos, c.q), *B = Box(4, 4, 1, Vector3(0, 0, 0));
    auto col = Points(A, B);
    ExpectCorners(col->points[0], A, c.corners, &B->faces[1], Vector3(0, 0, 1));
    EXPECT_TRUE(col->points[1].empty());
    for (const CollisionPoint& cp : col->points[0])
      EXPECT_NEAR(CDetector::EvaluatePoint(cp, A, B).depth, c.depth, c.tol);
  }
}

TEST_F(Detector, EdgesApartAndTouching) {
  {  // crossed 45-degree boxes, A's lowest edge 4 across B's highest edge 2, ~0.014 deep
    RBody* A = Box(4, 1, 1, Vector3(0, 0, 1.4), Deg(Vector3(1, 0, 0), 45));
    RBody* B = Box(1, 4, 1, Vector3(0, 0, 0), Deg(Vector3(0, 1, 0), 45));
    auto col = Points(A, B);
    ASSERT_EQ(col->points[0].size(), 1u);
    EXPECT_TRUE(col->points[1].empty());
    const CollisionPoint& cp = col->points[0][0];
    EXPECT_EQ(cp.eA, &A->edges[4]);
    EXPECT_EQ(cp.eB, &B->edges[2]);
    EXPECT_EQ(cp.f, nullptr);
    ExpectNear(cp.n, Vector3(0, 0, 1));
    ExpectNear(cp.p, Vector3(0, -0.5, -0.5), 1e-9);
    EXPECT_NEAR(CDetector::EvaluatePoint(cp, A, B).depth, std::sqrt(2.0) - 1.4, 1e-9);
  }
  // Ridge on ridge, (nearly) parallel: A's edge 4 is 0.014 into B's edge 7, no pair.
  for (double tilt : {0.0, 1e-5}) {
    const Quaternion q = Deg(Vector3(1, 0, 0), 45);
    RBody* A = Box(2, 1, 1, Vector3(0, 0, 1.4), AxisAngle(Vector3(0, 0, 1), tilt) * q);
    RBody* B = Box(4, 1, 1, Vector3(0, 0, 0), q);
    auto col = Points(A, B);
    ASSERT_GE(col->points[0].size(), 2u) << "tilt " << tilt;  // A's ridge ends
    for (const CollisionPoint& cp : col->points[0])
      EXPECT_FALSE(cp.eA == &A->edges[4] && cp.eB == &B->edges[7]) << "tilt " << tilt;
  }
  // Touching faces: four points each at depth 0; apart by the 0.1 band or more: none.
  for (double y : {1.0, 1.1, 1.25, 3.0}) {
    RBody *A = Box(1, 1, 1, Vector3(0, y, 0)), *B = Box(1, 1, 1, Vector3(0, 0, 0));
    auto col = Points(A, B);
    const std::size_t n = y == 1.0 ? 4 : 0;
    EXPECT_EQ(col->points[0].size(), n) << y;
    EXPECT_EQ(col->points[1].size(), n) << y;
    EXPECT_EQ(A->recent_cols_size + B->recent_cols_size, static_cast<int>(2 * n));
    for (const CollisionPoint& cp : col->points[0])
      EXPECT_NEAR(CDetector::EvaluatePoint(cp, A, B).depth, 0.0, 1e-12);
  }
}

// The two-pass pair tests of large scenes split DetectCollision and
// GetCollisionPoints: the axis verdict, then the rings; the record, then
// remembering its points. Together they must answer as the whole calls, on
// pairs whose rings hold points on, near and off the surfaces.
TEST_F(Detector, SplitPairTestsAnswerAsTheWholeOnes) {
  std::mt19937 rng(20261208);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  auto turn = [&] { return AxisAngle(Vector3(u(rng), u(rng), u(rng)), 3 * u(rng)); };
  auto fill_ring = [&](RBody* X) {
    for (int k = 0; k < 1 + static_cast<int>(rng() % 4); ++k)
      X->RememberColPoint(Vector3(X->width, X->height, X->depth * (1 + 0.3 * u(rng))) *
                          (0.5 * u(rng)));
  };
  int verdicts[3] = {0, 0, 0};
  for (int trial = 0; trial < 3000; ++trial) {
    const Vector3 pos(1.6 * u(rng), 1.6 * u(rng), 1.6 * u(rng));
    const Quaternion qa = turn(), qb = turn();
    RBody* B = Box(2, 1.5, 1, Vector3(0, 0, 0), qb);
    RBody* A = Box(1, 1, 0.5, pos, qa);
    fill_ring(A);
    fill_ring(B);
    double gap;
    const CDetector::AxisVerdict verdict = CDetector::TestAxes(A, B, &gap);
    ++verdicts[static_cast<int>(verdict)];
    const bool whole = CDetector::DetectCollision(A, B);
    switch (verdict) {
      case CDetector::AxisVerdict::kApart:
        EXPECT_FALSE(whole) << trial;
        break;
      case CDetector::AxisVerdict::kSeparated: {
        EXPECT_EQ(CDetector::RingsAccept(A, B, gap), whole) << trial;
        const bool clear = CDetector::GapClearsRings(A, B, gap) && CDetector::RingsWithin(A, B);
        EXPECT_EQ(!clear && CDetector::RecentPointInside(A, B), whole) << trial;
        break;
      }
      case CDetector::AxisVerdict::kOverlapping:
        EXPECT_TRUE(whole) << trial;
        break;
    }
    if (!whole)
      continue;
    // The same pair again, with the same rings.
    RBody* B2 = Box(2, 1.5, 1, Vector3(0, 0, 0), qb);
    RBody* A2 = Box(1, 1, 0.5, pos, qa);
    for (auto [from, to] : {std::pair{A, A2}, std::pair{B, B2}}) {
      std::copy(std::begin(from->recent_cols), std::end(from->recent_cols), to->recent_cols);
      to->recent_cols_last = from->recent_cols_last;
      to->recent_cols_size = from->recent_cols_size;
    }
    const int lasts[2] = {A2->recent_cols_last, B2->recent_cols_last};
    auto made = Points(A, B);
    std::unique_ptr<Collision> quiet(CDetector::GetCollisionPoints(A2, B2, false));
    EXPECT_EQ(A2->recent_cols_last, lasts[0]) << trial;
    EXPECT_EQ(B2->recent_cols_last, lasts[1]) << trial;
    CDetector::RememberPoints(*quiet);
    for (auto [at, were] : {std::pair{A2, A}, std::pair{B2, B}}) {
      ASSERT_EQ(at->recent_cols_size, were->recent_cols_size) << trial;
      ASSERT_EQ(at->recent_cols_last, were->recent_cols_last) << trial;
      for (int k = 0; k < 4; ++k)
        EXPECT_TRUE(SameBits(at->recent_cols[k], were->recent_cols[k])) << trial;
    }
    for (int i = 0; i < 2; ++i)
      EXPECT_EQ(made->points[i].size(), quiet->points[i].size()) << trial;
    if (verdict != CDetector::AxisVerdict::kOverlapping)
      continue;
    // The contact search with the axis tests' edge axes: the same record.
    CDetector::PairAxes edges;
    ASSERT_EQ(CDetector::TestAxes(A2, B2, &gap, &edges), verdict) << trial;
    ASSERT_TRUE(edges.filled) << trial;
    std::unique_ptr<Collision> reused(CDetector::GetCollisionPoints(A2, B2, false, edges));
    std::unique_ptr<Collision> fresh(CDetector::GetCollisionPoints(A2, B2, false));
    EXPECT_TRUE(SamePoints(*reused, *fresh)) << trial;
  }
  for (int v : verdicts)
    EXPECT_GT(v, 100);
}

// A pass's kept ring answers stay RingsWithin's while it forgets each body
// whose ring it changes, points inside and outside the margin alike.
TEST_F(Detector, RingsWithinPassAnswersAsRingsWithin) {
  std::mt19937 rng(20261208);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<RBody*> boxes;
  for (int k = 0; k < 5; ++k)
    boxes.push_back(Box(1 + k * 0.1, 0.5, 0.3, Vector3(k * 2.0, 0, 0)));
  CDetector::RingsWithinPass pass;
  pass.Reset(boxes.size());
  int outside = 0;
  for (int step = 0; step < 400; ++step) {
    const std::size_t i = rng() % boxes.size(), j = rng() % boxes.size();
    EXPECT_EQ(pass.Within(i, boxes[i], j, boxes[j]), CDetector::RingsWithin(boxes[i], boxes[j]))
        << step;
    if (rng() % 3 == 0) {
      RBody* X = boxes[i];
      // Up to a margin's worth beyond the faces, or well beyond.
      const double reach = 0.5 + (rng() % 2 ? 0 : CDetector::kRingMargin * u(rng) * 4);
      X->RememberColPoint(Vector3(X->width * reach, X->height * 0.5 * u(rng), 0));
      outside += !X->RingWithin(CDetector::kRingMargin);
      pass.Forget(i);
    }
  }
  EXPECT_GT(outside, 10);
}

// Boxes resting flush or nearly so, where the axis tests measure the face
// depths the contact search then reuses: the same record as a search that
// measures everything itself, to the zero signs of the winning normal.
TEST_F(Detector, ReusedAxesGiveTheSameRecord) {
  int reused_faces = 0, lists_filled[2] = {0, 0};
  // The small box on the large one and the other way round, so that both
  // lists get corners (B's corners take the bounds from A's side).
  const double small[3] = {1, 1, 0.5}, large[3] = {2, 1.5, 1};
  for (bool small_on_top : {true, false})
    for (double sink : {0.0, 1e-13, 1e-3})
      for (double dx : {0.0, 0.3, -0.7})
        for (double turn : {0.0, 0.5, 1.5707963267948966}) {
          const double* top = small_on_top ? small : large;
          const double* low = small_on_top ? large : small;
          RBody* B = Box(low[0], low[1], low[2], Vector3(0, 0, 0));
          RBody* A = Box(top[0], top[1], top[2], Vector3(dx, 0.2, (top[2] + low[2]) / 2 - sink),
                         AxisAngle(Vector3(0, 0, 1), turn));
          double gap;
          CDetector::PairAxes axes;
          if (CDetector::TestAxes(A, B, &gap, &axes) != CDetector::AxisVerdict::kOverlapping)
            continue;
          ASSERT_TRUE(axes.filled);
          for (bool measured : axes.face_measured)
            reused_faces += measured;
          std::unique_ptr<Collision> reused(CDetector::GetCollisionPoints(A, B, false, axes));
          std::unique_ptr<Collision> fresh(CDetector::GetCollisionPoints(A, B, false));
          for (int i = 0; i < 2; ++i)
            lists_filled[i] += !fresh->points[i].empty();
          EXPECT_TRUE(SamePoints(*reused, *fresh))
              << small_on_top << " " << sink << " " << dx << " " << turn;
        }
  EXPECT_GT(reused_faces, 0);
  EXPECT_GT(lists_filled[0], 0);
  EXPECT_GT(lists_filled[1], 0);
}

TEST_F(Detector, RelativeVelocityAndHighest) {
  RBody *A = Box(1, 1, 1, Vector3(0, 0, 1)), *B = Box(1, 1, 1, Vector3(0, 0, 0));
  // Spinning about z, material at (1, 0, 0.5) moves along +y: 3 for A, 1 for B.
  A->ang_vel = Vector3(0, 0, 3);
  B->ang_vel = Vector3(0, 0, 1);
  EXPECT_EQ(CDetector::RelativeVelocity(Vector3(1, 0, 0.5), Vector3(0, 1, 0), A, B), 2);

  // HighestRelVel: the signed value of the largest magnitude; the first on a tie.
  A->vel = Vector3(0, 0, -2);
  Collision col;
  col.bodies[0] = A;
  col.bodies[1] = B;
  EXPECT_EQ(HighestRelVel(&col), 0.0);
  auto along = [](double nz) {
    CollisionPoint cp;
    cp.n = Vector3(0, 0, nz);
    return cp;
  };
  col.points[0] = {along(-0.5), along(1)};  // +1 separating, then -2 approaching
  EXPECT_EQ(HighestRelVel(&col), -2.0);
  col.points[0] = {along(-1), along(1)};
  EXPECT_EQ(HighestRelVel(&col), 2.0);
  col.points[0] = {along(1), along(-1)};
  EXPECT_EQ(HighestRelVel(&col), -2.0);
  col.points[0] = {along(-0.5)};
  col.points[1] = {along(-1.5)};  // seen from B: (vB - vA) . n = 2 * -1.5
  EXPECT_EQ(HighestRelVel(&col), -3.0);
}

// A slab; boxes on a corner, on an edge, static and flat, and falling onto that one.
TEST_F(Detector, CheckAll) {
  auto scene = [this] {
    std::vector<RBody*> bodies{
        Box(10, 10, 1, Vector3(0, 0, -0.5)),
        Box(1, 1, 1, Vector3(-2, 0, std::sqrt(0.75) - 0.03),
            AxisAngle(Vector3(1, -1, 0), std::acos(1 / std::sqrt(3.0)))),
        Box(1, 1, 1, Vector3(2, 1, std::sqrt(0.5) - 0.02), Deg(Vector3(0, 1, 0), 45)),
        Box(1, 2, 1, Vector3(0, -2, 0.49), AxisAngle(Vector3(0, 0, 1), 0.3)),
        Box(1, 1, 1, Vector3(0.2, -2.1, 1.47), AxisAngle(Vector3(1, 2, 0.5), 0.4))};
    bodies[0]->is_static = bodies[3]->is_static = true;
    bodies[4]->vel = Vector3(0.1, 0, -1);
    return bodies;
  };
  std::vector<RBody*> bodies = scene(), fresh = scene(), none;
  // Left-over records are destroyed, not leaked (the sanitizer build checks).
  std::vector<Collision*> first{new Collision}, again, contacts{new Collision};
  CDetector::CheckAll(&bodies, &first, &contacts, 0.0);
  EXPECT_TRUE(contacts.empty());
  // Pairs (i, j > i) in order; two static bodies are tested like any other.
  const int pairs[][2] = {{0, 1}, {0, 2}, {0, 3}, {3, 4}};
  ASSERT_EQ(first.size(), 4u);
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(first[k]->bodies[0], bodies[pairs[k][0]]) << "record " << k;
    EXPECT_EQ(first[k]->bodies[1], bodies[pairs[k][1]]) << "record " << k;
  }

  // Repeated passes, with or without remembered points: same records, same order, same bits.
  for (int pass = 0; pass < 2; ++pass) {
    CDetector::CheckAll(&bodies, &again, &contacts, 0.0);
    EXPECT_EQ(Print(again, true), Print(first, true)) << "pass " << pass;
  }
  CDetector::CheckAll(&fresh, &again, &contacts, 0.0);
  EXPECT_EQ(Print(again, false), Print(first, false));

  // At rest: kept with eps 0 only; the falling box is kept up to eps = |v|.
  const double v = std::fabs(HighestRelVel(first[3]));
  ASSERT_GT(v, 0.5);
  CDetector::CheckAll(&bodies, &again, &contacts, 1e-9);
  EXPECT_EQ(again.size(), 1u);
  CDetector::CheckAll(&bodies, &again, &contacts, v);
  EXPECT_EQ(again.size(), 1u);
  CDetector::CheckAll(&bodies, &again, &contacts, std::nextafter(v, 2 * v));
  EXPECT_TRUE(again.empty());
  CDetector::CheckAll(&none, &first, &again, 0.0);  // frees both lists
}

namespace {

void Spin(std::chrono::microseconds span) {
  const auto until = std::chrono::steady_clock::now() + span;
  while (std::chrono::steady_clock::now() < until) {
  }
}

// A round of 40 items that wait rather than work: two threads finish them in
// about half the time of one, however busy the cores are. True if the helper
// ran any.
bool WaitingRoundShared() {
  const std::thread::id caller = std::this_thread::get_id();
  std::atomic<bool> elsewhere{false};
  PairThreads::Run(40, [&](std::size_t) {
    if (std::this_thread::get_id() != caller)
      elsewhere.store(true);
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  });
  return elsewhere.load();
}

}  // namespace

// Every item of a round runs once, whichever way its step goes; and timed
// steps take both ways, so that neither way's time goes stale.
TEST(PairThreads, TimedStepsRunEveryItemOnceAndTryBothWays) {
  const std::thread::id caller = std::this_thread::get_id();
  int steps_alone = 0, steps_shared = 0;
  for (int step = 0; step < 600; ++step) {
    const PairThreads::TimedStep timed;
    std::vector<std::atomic<int>> runs(97);
    std::atomic<bool> elsewhere{false};
    PairThreads::Run(runs.size(), [&](std::size_t k) {
      runs[k].fetch_add(1);
      if (std::this_thread::get_id() != caller)
        elsewhere.store(true);
      Spin(std::chrono::microseconds(2));  // long enough that a waiting helper joins in
    });
    for (std::size_t k = 0; k < runs.size(); ++k)
      ASSERT_EQ(runs[k].load(), 1) << "item " << k << " in step " << step;
    ++(elsewhere.load() ? steps_shared : steps_alone);
  }
  // Whichever way is faster here, four steps of every 64 or 256 go the
  // other: the first cycle's four and the next's, at least.
  EXPECT_GE(steps_alone, 8);
  EXPECT_GE(steps_shared, 1);
}

// A step's rounds differ: one gains from the helper, another loses by it
// (here its items are slow on the helper, as short items touching much memory
// are on a machine that passes memory slowly between cores). Each goes its
// own way, trials apart.
TEST(PairThreads, EachRoundOfASharedStepGoesItsOwnWay) {
  const std::thread::id caller = std::this_thread::get_id();
  int gaining_shared = 0, losing_shared = 0;
  // The steps' own timings, from whatever ran before, first settle.
  constexpr int kSteps = 300, kSettle = 300;
  for (int step = -kSettle; step < kSteps; ++step) {
    if (step == 0)
      gaining_shared = losing_shared = 0;
    const PairThreads::TimedStep timed;
    gaining_shared += WaitingRoundShared() ? 1 : 0;
    std::atomic<bool> elsewhere{false};
    PairThreads::Run(40, [&](std::size_t) {
      if (std::this_thread::get_id() != caller) {
        elsewhere.store(true);
        std::this_thread::sleep_for(std::chrono::microseconds(400));
        return;
      }
      Spin(std::chrono::microseconds(20));  // long enough that a waiting helper joins in
    });
    losing_shared += elsewhere.load() ? 1 : 0;
  }
  // The first round misses the helper in the steps' and its own trials, and
  // in the odd step the helper joined too late on a busy machine; the second
  // has it only in its own trials of sharing.
  EXPECT_GE(gaining_shared, kSteps - 30);
  EXPECT_LE(losing_shared, 12);
}

TEST(PairThreads, StepsWithoutRoundsLeaveTheTimingsAlone) {
  // A small scene's steps run no round. Were they timed, both ways would
  // start a larger scene at a few microseconds, and the first trial of going
  // alone would look faster than sharing, for a whole long cycle.
  for (int step = 0; step < 1000; ++step)
    const PairThreads::TimedStep timed;
  int steps_alone = 0;
  for (int step = 0; step < 300; ++step) {
    const PairThreads::TimedStep timed;
    steps_alone += WaitingRoundShared() ? 0 : 1;
  }
  // The trials alone, four a cycle, and the odd shared step the helper did
  // not join in time on a busy machine.
  EXPECT_LE(steps_alone, 16);
}
