#pragma once

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

  Matrix3x3 RotationMatrix();
  static Matrix3x3 RotationMatrix(const Quaternion& q);

  Vector3 PointLocalToGlobal(const Vector3& v);
  Vector3 VectorLocalToGlobal(const Vector3& v);
  Vector3 PointGlobalToLocal(const Vector3& v);
  Vector3 VectorGlobalToLocal(const Vector3& v);
  Matrix3x3 InertiaTensor();
  Matrix3x3 InvInertiaTensor();

  void RememberColPoint(const Vector3& p);
  void PushState();
  void RevertState(int backward_count);
};
