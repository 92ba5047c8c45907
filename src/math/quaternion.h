#pragma once

#include "math/vector3.h"

// Orientation as scalar part s and vector part v; unit length for rotations.
class Quaternion {
 public:
  double s;
  Vector3 v;

  Quaternion() : s(1.0), v(0.0, 0.0, 0.0) {}
  Quaternion(double a_s, const Vector3& a_v) : s(a_s), v(a_v) {}
  // Scalar part first: scene files and the wire list s, x, y, z in this order.
  Quaternion(double x, double y, double z, double w) : s(x), v(y, z, w) {}
  Quaternion(const Quaternion&) = default;

  Quaternion operator*(const Quaternion& q) const;  // Hamilton product
  Quaternion operator+(const Quaternion& q) const;
  Quaternion operator*(double a) const;
  Quaternion operator/(double a) const;
  Quaternion operator=(const Quaternion& q);

  // A new, unit-length quaternion; the receiver is left as it is.
  Quaternion Normalize() const;

  void Print() const;
};
