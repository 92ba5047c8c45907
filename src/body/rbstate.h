#pragma once

#include "math/quaternion.h"
#include "math/vector3.h"

// Kinematic state of one body, all in world coordinates. Also carries a state
// derivative: velocity, acceleration, quaternion rate, angular acceleration.
struct RBState {
  Vector3 pos;
  Vector3 vel;
  Quaternion ang_pos;
  Vector3 ang_vel;

  RBState() = default;
  RBState(const Vector3& p, const Vector3& v, const Quaternion& q, const Vector3& w)
      : pos(p), vel(v), ang_pos(q), ang_vel(w) {}

  // Field by field; the orientation is not renormalised.
  RBState operator+(const RBState& s) const;
  RBState operator*(double a) const;
  RBState operator/(double a) const;
};
