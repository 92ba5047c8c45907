#pragma once

#include "math/vector3.h"

// A segment of a box outline; dir is the unit direction from b towards a.
struct Edge {
  Vector3 dir;
  Vector3 a;
  Vector3 b;

  Edge() = default;
  Edge(const Vector3& d, const Vector3& ea, const Vector3& eb) : dir(d), a(ea), b(eb) {}

  // Translation moves the end points only; a direction has no position.
  Edge operator+(const Vector3& v) const { return Edge(dir, a + v, b + v); }
};
