#include "body/body_check.h"

#include <cmath>

namespace BodyCheck {

bool UsableSize(double size) {
  return std::isfinite(size) && size > 0;
}

bool Finite(const Vector3& v) {
  return std::isfinite(v.x()) && std::isfinite(v.y()) && std::isfinite(v.z());
}

bool UsableOrientation(const Quaternion& q) {
  if (!std::isfinite(q.s) || !Finite(q.v))
    return false;
  return q.s != 0 || q.v.x() != 0 || q.v.y() != 0 || q.v.z() != 0;
}

}  // namespace BodyCheck
