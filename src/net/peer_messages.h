#pragma once

#include <cstddef>

#include "net/network.h"

namespace Network {

// Decodes a step report, checksum or repair (first byte 3 to 5); the same
// contract as DecodePacket, whose helper this is.
Command DecodeExtra(const unsigned char* data, std::size_t length, Command command);

}  // namespace Network
