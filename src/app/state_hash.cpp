#include "app/state_hash.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr uint64_t kFnvPrime = 1099511628211ull;

}  // namespace

void StateHasher::Byte(uint8_t value) {
  h_ ^= value;
  h_ *= kFnvPrime;
}

void StateHasher::Double(double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  for (int i = 0; i < 8; ++i)
    Byte(static_cast<uint8_t>((bits >> (8 * i)) & 0xffu));
}

void StateHasher::Vector(const Vector3& v) {
  Double(v.x());
  Double(v.y());
  Double(v.z());
}

void StateHasher::State(const RBState& s) {
  Vector(s.pos);
  Vector(s.vel);
  Double(s.ang_pos.s);
  Vector(s.ang_pos.v);
  Vector(s.ang_vel);
}

uint64_t StateHash(const std::vector<RBody*>& bodies) {
  StateHasher h;
  for (const RBody* b : bodies)
    h.State(b->State());
  return h.value();
}

std::string StateHashHex(uint64_t hash) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}
