#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "body/rbstate.h"
#include "math/edge.h"
#include "math/matrix3x3.h"
#include "math/quaternion.h"
#include "math/vector3.h"

// One face of a box, body coordinates. Opposite faces list their corners in
// the same order, so take the outward side from n, never from the winding.
struct Face {
  std::vector<Vector3> vertices;
  Vector3 n;
};

// The world corners again, one array per axis, for projections.
struct CornerColumns {
  alignas(32) double x[8];
  alignas(32) double y[8];
  alignas(32) double z[8];
  bool moderate;  // every value below 1e100 in magnitude: no product overflows

  void Set(std::size_t k, const Vector3& v) {
    x[k] = v.axes[0];
    y[k] = v.axes[1];
    z[k] = v.axes[2];
  }
};

// What a rotation alone decides of a box's world geometry (R from
// RotationMatrix()): kept per rotation, so a pose that only moved shares it.
struct TurnGeometry {
  std::array<Vector3, 8> rotated_vertices;     // R v, in `vertices` order
  std::array<Vector3, 6> face_normals;         // R n, outward, in `faces` order
  std::array<Vector3, 6> rotated_face_points;  // R (the face's first corner)
  // R dir of the edges, one per line: a box's four parallel edges share a
  // direction up to sign, so only each line's first edge is kept, in `edges`
  // order.
  std::array<Vector3, 12> edge_lines;
  std::size_t edge_line_count = 0;
  Matrix3x3 rotation;          // RotationMatrix(), body to world
  Matrix3x3 inverse_rotation;  // RotationMatrix().Inverse()
  // Half the box along each body axis, in world directions: before rounding
  // the corners project on an axis a to a.pos +- sum |a.extents[j]|, so a
  // test can bound a projection cheaply and set aside an axis it cannot
  // need.
  std::array<Vector3, 3> extents;
  double extents_norm = 0;  // sum of |component| over the extents
  // Per face: sum |n.extents[j]| of its own normal n, and |n| in the 1-norm.
  std::array<double, 6> face_reach;
  std::array<double, 6> face_norm1;
  // Half the box along each world axis (sum |extents[j]| there), and whether
  // the matrix is a rotation to within 1e-9, which makes the corners a box.
  std::array<double, 3> world_reach;
  bool orthonormal = false;
  // Every coordinate of rotated_vertices below 1e99 in magnitude: with a
  // position below that too, every corner is moderate (see CornerColumns).
  bool rotated_moderate = false;
  // Faces 2k and 2k + 1 have opposite normals, so each face normal here is
  // the other's negated, but where a component is zero.
  bool opposite_faces = false;
};

// A box's geometry in world coordinates at one pose: the very expressions
// the collision tests once evaluated per test, so every value has the same
// bits, made once per pose instead.
struct WorldGeometry {
  std::array<Vector3, 8> corners;      // R v + pos, in `vertices` order
  CornerColumns columns;               // the same values
  std::array<Vector3, 6> face_points;  // pos + R (the face's first corner)
  const TurnGeometry* turn;            // the rotation's part, owned by the body
  // |pos| plus the extents (1-norms): sizes the rounding a bound on a
  // projection must allow for; bounded says such bounds may be used at all.
  double bound_scale;
  bool bounded;
};

// A solid box. Created once on the heap and addressed by pointer; geometry and
// mass never change after construction.
class RBody {
 public:
  static constexpr std::size_t kHistoryLength = 50;

  Quaternion ang_pos;               // body to world, unit length
  std::deque<RBState> past_states;  // oldest first, one per step
  double density;                   // kept for the wire; the mass ignores it
  double width, height, depth;      // full edge lengths along body x, y, z
  Vector3 pos;                      // centre, world
  Vector3 vel;                      // world
  Vector3 ang_vel;                  // world
  Vector3 forces;                   // accumulated this step, world
  Vector3 torque;                   // accumulated this step, world
  double mass;
  bool is_static;
  bool is_frozen;  // set only inside the resting-contact solver
  Matrix3x3 local_inertia;
  Matrix3x3 inv_local_inertia;
  Matrix3x3 rot_matrix;
  bool rot_matrix_valid;
  int recent_cols_last;    // slot the next contact point goes into
  int recent_cols_size;    // filled slots, up to 4
  Vector3 recent_cols[4];  // recent contact points, body coordinates
  Vector3 colour;          // RGB, 0 to 1
  std::string name;
  int id = 0;
  double elasticity;
  double bounding_radius;
  std::vector<Face> faces;
  std::vector<Edge> edges;
  std::vector<Vector3> vertices;
  // Per edge, the corners (indices into vertices) it runs from and to: its
  // a and b are those corners' coordinates, bit for bit.
  std::vector<std::array<std::size_t, 2>> edge_corners;
  // For a set of corners (bit k for corner k), the set of edges (bit e for
  // edge e, of the first twelve) with both ends among them.
  std::array<std::uint16_t, 256> edges_within;
  // The corners again, a column per body axis, so that a test of all eight
  // can take two at a time.
  CornerColumns vertex_columns;
  // The contact ring as it stood at each entry of past_states. A rewind takes
  // it back with the state: the detector accepts a pair early by a remembered
  // point, so a replay that began with the ring of the present could take
  // another path than the steps it recomputes.
  struct ContactRing {
    Vector3 points[4];
    int last;
    int size;
  };
  std::deque<ContactRing> past_cols;
  // Cache behind World(): valid while the rotation matrix has not been
  // remade and pos has the bits it was made at.
  WorldGeometry world_geometry;
  Vector3 world_geometry_pos;
  bool world_geometry_valid = false;

  RBody(double dens, double x_size, double y_size, double z_size, const std::string& str);
  RBody(const RBody&) = delete;
  RBody& operator=(const RBody&) = delete;

  Face GetFace(int i) const { return faces[i]; }
  int FaceNum() const { return static_cast<int>(faces.size()); }

  RBState State() const;
  void ApplyPos(const RBState& s);
  void ApplyVel(const RBState& s);
  void ApplyState(const RBState& s);
  Quaternion GetAngPos() const { return ang_pos; }
  void SetAngPos(const Quaternion& q);

  // Zero for static and frozen bodies; the state is not consulted.
  Vector3 Forces(const RBState& s) const;
  Vector3 Torque(const RBState& s) const;
  void ResetForceTorque();
  RBState StateDerivative(const RBState& s) const;

  // Inline: nearly every call finds the matrix made.
  Matrix3x3 RotationMatrix() { return rot_matrix_valid ? rot_matrix : RemakeRotationMatrix(); }
  // Remade only when the pose changed; a box has 8 corners, 6 faces, 12 edges.
  const WorldGeometry& World() {
    // Bits, not ==: a -0.0 position gives other corner bits than +0.0.
    if (rot_matrix_valid && world_geometry_valid &&
        std::memcmp(world_geometry_pos.axes, pos.axes, sizeof pos.axes) == 0)
      return world_geometry;
    return RemakeWorld();
  }
  static Matrix3x3 RotationMatrix(const Quaternion& q);

  Vector3 PointLocalToGlobal(const Vector3& v);
  Vector3 VectorLocalToGlobal(const Vector3& v);
  Vector3 PointGlobalToLocal(const Vector3& v);
  Vector3 VectorGlobalToLocal(const Vector3& v);
  Matrix3x3 InertiaTensor();
  Matrix3x3 InvInertiaTensor();
  // The same, where the body keeps it: it holds until the body turns.
  const Matrix3x3& KeptInvInertiaTensor();

  // r (r * inv_local_inertia) r^T, the world inverse inertia at rotation r.
  const Matrix3x3& InvInertiaFor(const Matrix3x3& r) const;

  void RememberColPoint(const Vector3& p);
  // Every remembered point within the box grown by margin on each side.
  bool RingWithin(double margin) const;
  void PushState();
  void RevertState(int backward_count);

 private:
  // What a rotation alone decides, kept for the last few rotation matrices
  // by their bits: a pose that only moved, or came back (a step visits the
  // present, predicted and trial rotations, then the next), finds its
  // rotated geometry made.
  struct RotationPart {
    Matrix3x3 r;
    bool valid = false;
    unsigned used = 0;  // when last looked up, for replacing the stalest
    bool has_geometry = false;
    bool has_inertia = false;
    TurnGeometry geometry;
    Matrix3x3 inv_inertia;
    Matrix3x3 inv_inertia_of;  // the inv_local_inertia it was made from
  };
  RotationPart& RotationSlot(const Matrix3x3& r) const;
  // The slot of rotation r, its world inverse inertia made.
  RotationPart& InertiaSlot(const Matrix3x3& r) const;
  const WorldGeometry& RemakeWorld();
  // The world geometry of rotation part t at pos.
  const WorldGeometry& PlaceWorld(const TurnGeometry& t);
  Matrix3x3 RemakeRotationMatrix();

  // Which of the box's local values share their bits, found once: a new
  // rotation then rotates each distinct value once, and the copies and sums
  // that make the rest are the very products R v would have made.
  struct Layout {
    // Corner k is (x, y, z) with each coordinate lo or hi by its bit of k
    // (x the highest), as the constructor lists them.
    bool split_corners = false;
    double lo[3], hi[3];
    int face_corner[6];           // the corner with faces[i].vertices[0]'s bits, or -1
    std::size_t edge_first[12];   // the first edge whose dir has these bits
    bool opposite_faces = false;  // see TurnGeometry
  };
  void MakeLayout();
  Layout layout_;

  mutable RotationPart rotation_parts_[4];
  // The slot world_geometry points into: never the one replaced.
  std::size_t world_slot_ = 4;
  mutable unsigned rotation_clock_ = 0;
  mutable std::size_t rotation_last_ = 0;
  // InvInertiaTensor's last answer, in its slot: for rot_matrix while that
  // stays valid and the slot is not replaced (both clear it).
  mutable const RotationPart* inv_inertia_now_ = nullptr;
};

// Inline: the pair tests ask it for nearly every pair of neighbours.
inline bool RBody::RingWithin(double margin) const {
  const double half[3] = {width / 2 + margin, height / 2 + margin, depth / 2 + margin};
  // Bitwise, not short-circuit: no branch per coordinate. A NaN fails.
  bool within = true;
  for (int i = 0; i < recent_cols_size; ++i) {
    const double* p = recent_cols[i].axes;
    within &=
        (std::fabs(p[0]) <= half[0]) & (std::fabs(p[1]) <= half[1]) & (std::fabs(p[2]) <= half[2]);
  }
  return within;
}
