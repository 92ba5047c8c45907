#include "body/rbstate.h"

RBState RBState::operator+(const RBState& s) const {
  return RBState(pos + s.pos, vel + s.vel, ang_pos + s.ang_pos, ang_vel + s.ang_vel);
}

RBState RBState::operator*(double a) const {
  return RBState(pos * a, vel * a, ang_pos * a, ang_vel * a);
}

RBState RBState::operator/(double a) const {
  return RBState(pos / a, vel / a, ang_pos / a, ang_vel / a);
}
