#pragma once

#include <cmath>

// Three doubles with a cached Euclidean length. Serves as point, direction,
// velocity, force or RGB colour.
class Vector3 {
 public:
  double axes[3];
  double len;
  // True only while len is the length of the current axes; every mutator
  // clears it and only Length() sets it.
  bool len_correct;

  Vector3() : axes{0.0, 0.0, 0.0}, len(0.0), len_correct(false) {}
  Vector3(double x, double y, double z) : axes{x, y, z}, len(0.0), len_correct(false) {}
  // A copy carries the cache along; assignment does not (see operator=).
  Vector3(const Vector3&) = default;

  double x() const { return axes[0]; }
  double y() const { return axes[1]; }
  double z() const { return axes[2]; }

  // The caller may write through the reference, so the cache is dropped.
  double& operator[](unsigned char i);

  double Length();
  Vector3 Normalized() const;

  Vector3 operator*(double a) const;
  // Division by exactly 0 gives the zero vector instead of infinities.
  Vector3 operator/(double a) const;
  double operator*(const Vector3& v) const;  // dot product
  Vector3 operator+(const Vector3& v) const;
  Vector3 operator-(const Vector3& v) const;
  Vector3 operator^(const Vector3& v) const;  // cross product this x v

  Vector3 operator=(const Vector3& v);
  Vector3 operator+=(const Vector3& v);
  Vector3 operator-=(const Vector3& v);

  bool operator==(const Vector3& v) const;
  // Within 0.1 per component, closed interval.
  bool IsAlmost(const Vector3& v) const;

  void Print() const;
};

// The small operators are inline: the collision tests call them millions of
// times a step, and inlining changes no result (contraction is switched off).
inline double& Vector3::operator[](unsigned char i) {
  len_correct = false;
  return axes[i];
}

inline Vector3 Vector3::operator*(double a) const {
  return Vector3(axes[0] * a, axes[1] * a, axes[2] * a);
}

inline Vector3 Vector3::operator/(double a) const {
  if (a == 0.0)
    return Vector3(0.0, 0.0, 0.0);
  return Vector3(axes[0] / a, axes[1] / a, axes[2] / a);
}

inline double Vector3::operator*(const Vector3& v) const {
  return axes[0] * v.axes[0] + axes[1] * v.axes[1] + axes[2] * v.axes[2];
}

inline Vector3 Vector3::operator+(const Vector3& v) const {
  return Vector3(axes[0] + v.axes[0], axes[1] + v.axes[1], axes[2] + v.axes[2]);
}

inline Vector3 Vector3::operator-(const Vector3& v) const {
  return Vector3(axes[0] - v.axes[0], axes[1] - v.axes[1], axes[2] - v.axes[2]);
}

inline Vector3 Vector3::operator^(const Vector3& v) const {
  return Vector3(axes[1] * v.axes[2] - axes[2] * v.axes[1],
                 axes[2] * v.axes[0] - axes[0] * v.axes[2],
                 axes[0] * v.axes[1] - axes[1] * v.axes[0]);
}

inline Vector3 Vector3::operator=(const Vector3& v) {
  axes[0] = v.axes[0];
  axes[1] = v.axes[1];
  axes[2] = v.axes[2];
  len_correct = false;
  return *this;
}

inline Vector3 Vector3::operator+=(const Vector3& v) {
  axes[0] += v.axes[0];
  axes[1] += v.axes[1];
  axes[2] += v.axes[2];
  len_correct = false;
  return *this;
}

inline Vector3 Vector3::operator-=(const Vector3& v) {
  axes[0] -= v.axes[0];
  axes[1] -= v.axes[1];
  axes[2] -= v.axes[2];
  len_correct = false;
  return *this;
}

inline double Vector3::Length() {
  if (len_correct)
    return len;
  len = std::sqrt(axes[0] * axes[0] + axes[1] * axes[1] + axes[2] * axes[2]);
  len_correct = true;
  return len;
}

inline Vector3 Vector3::Normalized() const {
  Vector3 result(*this);
  double l = result.Length();
  if (l == 0.0)
    return result;
  result = result / l;
  return result;
}

inline bool Vector3::operator==(const Vector3& v) const {
  return axes[0] == v.axes[0] && axes[1] == v.axes[1] && axes[2] == v.axes[2];
}
