#include "math/quaternion.h"

#include <cmath>
#include <cstdio>

Quaternion Quaternion::operator*(const Quaternion& q) const {
  return Quaternion(s * q.s - v * q.v, (v * q.s + q.v * s) + (v ^ q.v));
}

Quaternion Quaternion::operator+(const Quaternion& q) const {
  return Quaternion(s + q.s, v + q.v);
}

Quaternion Quaternion::operator*(double a) const {
  return Quaternion(s * a, v * a);
}

// The scalar part is not guarded; the vector part follows the Vector3 rule.
Quaternion Quaternion::operator/(double a) const {
  return Quaternion(s / a, v / a);
}

Quaternion Quaternion::operator=(const Quaternion& q) {
  s = q.s;
  v = q.v;
  return *this;
}

Quaternion Quaternion::Normalize() const {
  double len = std::sqrt(s * s + v.x() * v.x() + v.y() * v.y() + v.z() * v.z());
  return Quaternion(s / len, v / len);
}

void Quaternion::Print() const {
  std::printf("quaternion: %f, %f, %f, %f\n", s, v.x(), v.y(), v.z());
}
