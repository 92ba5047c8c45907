#include "app/state_hash.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr uint64_t kFnvOffsetBasis = 14695981039346656037ull;
constexpr uint64_t kFnvPrime = 1099511628211ull;

void HashDouble(uint64_t& h, double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  for (int i = 0; i < 8; ++i) {
    h ^= (bits >> (8 * i)) & 0xffu;
    h *= kFnvPrime;
  }
}

void HashVector(uint64_t& h, const Vector3& v) {
  HashDouble(h, v.x());
  HashDouble(h, v.y());
  HashDouble(h, v.z());
}

}  // namespace

uint64_t StateHash(const std::vector<RBody*>& bodies) {
  uint64_t h = kFnvOffsetBasis;
  for (const RBody* b : bodies) {
    HashVector(h, b->pos);
    HashVector(h, b->vel);
    HashDouble(h, b->ang_pos.s);
    HashVector(h, b->ang_pos.v);
    HashVector(h, b->ang_vel);
  }
  return h;
}

std::string StateHashHex(uint64_t hash) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}
