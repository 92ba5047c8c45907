#include "math/vector3.h"

#include <cmath>
#include <cstdio>

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
