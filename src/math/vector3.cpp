#include "math/vector3.h"

#include <cstdio>

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
