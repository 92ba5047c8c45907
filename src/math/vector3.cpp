#include "math/vector3.h"

#include <cmath>
#include <cstdio>

double& Vector3::operator[](unsigned char i) {
  len_correct = false;
  return axes[i];
}

double Vector3::Length() {
  if (len_correct)
    return len;
  len = std::sqrt(axes[0] * axes[0] + axes[1] * axes[1] + axes[2] * axes[2]);
  len_correct = true;
  return len;
}

Vector3 Vector3::Normalized() const {
  Vector3 result(*this);
  double l = result.Length();
  if (l == 0.0)
    return result;
  result = result / l;
  return result;
}

Vector3 Vector3::operator*(double a) const {
  return Vector3(axes[0] * a, axes[1] * a, axes[2] * a);
}

Vector3 Vector3::operator/(double a) const {
  if (a == 0.0)
    return Vector3(0.0, 0.0, 0.0);
  return Vector3(axes[0] / a, axes[1] / a, axes[2] / a);
}

double Vector3::operator*(const Vector3& v) const {
  return axes[0] * v.axes[0] + axes[1] * v.axes[1] + axes[2] * v.axes[2];
}

Vector3 Vector3::operator+(const Vector3& v) const {
  return Vector3(axes[0] + v.axes[0], axes[1] + v.axes[1], axes[2] + v.axes[2]);
}

Vector3 Vector3::operator-(const Vector3& v) const {
  return Vector3(axes[0] - v.axes[0], axes[1] - v.axes[1], axes[2] - v.axes[2]);
}

Vector3 Vector3::operator^(const Vector3& v) const {
  return Vector3(axes[1] * v.axes[2] - axes[2] * v.axes[1],
                 axes[2] * v.axes[0] - axes[0] * v.axes[2],
                 axes[0] * v.axes[1] - axes[1] * v.axes[0]);
}

Vector3 Vector3::operator=(const Vector3& v) {
  axes[0] = v.axes[0];
  axes[1] = v.axes[1];
  axes[2] = v.axes[2];
  len_correct = false;
  return *this;
}

Vector3 Vector3::operator+=(const Vector3& v) {
  axes[0] += v.axes[0];
  axes[1] += v.axes[1];
  axes[2] += v.axes[2];
  len_correct = false;
  return *this;
}

Vector3 Vector3::operator-=(const Vector3& v) {
  axes[0] -= v.axes[0];
  axes[1] -= v.axes[1];
  axes[2] -= v.axes[2];
  len_correct = false;
  return *this;
}

bool Vector3::operator==(const Vector3& v) const {
  return axes[0] == v.axes[0] && axes[1] == v.axes[1] && axes[2] == v.axes[2];
}

bool Vector3::IsAlmost(const Vector3& v) const {
  for (int i = 0; i < 3; ++i) {
    if (!(v.axes[i] - 0.1 <= axes[i] && axes[i] <= v.axes[i] + 0.1))
      return false;
  }
  return true;
}

void Vector3::Print() const {
  std::printf("vector: %f, %f, %f\n", axes[0], axes[1], axes[2]);
}
