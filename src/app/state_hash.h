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
// 16 lower-case hex digits.
std::string StateHashHex(uint64_t hash);
