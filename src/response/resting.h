#pragma once

#include <vector>

#include "body/rbody.h"

struct Collision;
struct RestingBody;

// One end of a contact edge of the resting graph. The same record is
// referenced from both ends and owned by neither.
struct RestingCollision {
  Collision* collision;
  RestingBody* body;  // the node at the other end
};

// One node of the resting graph.
struct RestingBody {
  RBody* body;  // not owned
  // -2: no static body reaches it; -1: static; k >= 0: k contacts away from
  // the nearest static body, 0 touching one.
  int level;
  std::vector<RestingCollision> collisions;  // in the order found
};

namespace Resting {
// Rebuilds the contact graph, levels it from the static bodies upwards and
// corrects velocities (three impulse passes) and positions (two separation
// passes) level by level. Bodies no static body reaches are left alone.
// delta_time is used only for the trial steps that find the contacts.
void SolveAll(std::vector<RBody*>* bodies, double delta_time);
}  // namespace Resting

// Pushes the pair apart by 1 % of the depth of its deepest approaching point,
// sharing the push by mass; static and frozen bodies do not move. Positions
// only.
void Separation(Collision* collision);
