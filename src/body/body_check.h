#pragma once

#include "math/quaternion.h"
#include "math/vector3.h"

// What makes a body the step can use, for every reader of bodies from outside
// (scene files, sync messages): the constructor derives mass and inverse
// inertia from the sizes, and the step normalises the orientation.
namespace BodyCheck {

// Finite and above 0.
bool UsableSize(double size);
// Every component finite.
bool Finite(const Vector3& v);
// Every component finite and not all of them 0.
bool UsableOrientation(const Quaternion& q);

}  // namespace BodyCheck
