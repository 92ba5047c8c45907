#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "body/rbody.h"

// FNV-1a (64 bit) over the exact bits of every body's pos, vel, ang_pos
// (s, x, y, z) and ang_vel, bodies in list order. Each double is fed as its
// IEEE-754 bit pattern, least significant byte first, so the value does not
// depend on the machine's byte order. Two runs agree on it only when every
// bit of every state agrees.
uint64_t StateHash(const std::vector<RBody*>& bodies);

// The same hash, fed piece by piece, for sums over more than the states.
class StateHasher {
 public:
  void Byte(uint8_t value);
  void Double(double value);
  void Vector(const Vector3& v);
  // pos, vel, ang_pos (s, x, y, z), ang_vel: StateHash's order.
  void State(const RBState& s);
  uint64_t value() const { return h_; }

 private:
  uint64_t h_ = 14695981039346656037ull;
};
// 16 lower-case hex digits.
std::string StateHashHex(uint64_t hash);
