// Byte layout of the extra messages: step report, checksum and repair. The
// same conversion unions as the two base messages, field by field.

#include "net/peer_messages.h"

#include <cstdio>

#include "body/body_check.h"

namespace Network {

namespace {

void WriteState(unsigned char* buffer, int* pos, const RBState& s) {
  WriteVector(buffer, pos, s.pos);
  WriteVector(buffer, pos, s.vel);
  WriteQuaternion(buffer, pos, s.ang_pos);
  WriteVector(buffer, pos, s.ang_vel);
}

RBState ReadState(const unsigned char* buffer, int* pos) {
  RBState s;
  s.pos = ReadVector(buffer, pos);
  s.vel = ReadVector(buffer, pos);
  s.ang_pos = ReadQuaternion(buffer, pos);
  s.ang_vel = ReadVector(buffer, pos);
  return s;
}

Command DecodeRepair(const unsigned char* data, std::size_t length, Command command) {
  if (length < kRepairHeaderSize) {
    std::printf("Dropped a repair message of %zu bytes: its header needs %zu.\n", length,
                kRepairHeaderSize);
    return command;
  }
  int pos = 1;
  const uint32_t step = ReadInt(data, &pos);
  const int count = data[pos++];
  std::vector<BodySnapshot> bodies(static_cast<std::size_t>(count));
  const auto room = [&](std::size_t need) { return length - static_cast<std::size_t>(pos) >= need; };
  for (int i = 0; i < count; ++i) {
    BodySnapshot& b = bodies[static_cast<std::size_t>(i)];
    if (!room(kRepairBodyFixedSize)) {
      std::printf("Dropped a repair message of %zu bytes: it ends inside body %d.\n", length, i);
      return command;
    }
    b.state = ReadState(data, &pos);
    b.ring.last = data[pos++];
    b.ring.size = data[pos++];
    if (b.ring.last > 3 || b.ring.size > 4) {
      std::printf("Dropped a repair message: body %d has a contact ring of slot %d, size %d.\n", i,
                  b.ring.last, b.ring.size);
      return command;
    }
    if (!BodyCheck::Finite(b.state.pos) || !BodyCheck::Finite(b.state.vel) ||
        !BodyCheck::Finite(b.state.ang_vel) || !BodyCheck::UsableOrientation(b.state.ang_pos)) {
      std::printf("Dropped a repair message: body %d has an unusable state.\n", i);
      return command;
    }
    if (!room(kRingPointSize * static_cast<std::size_t>(b.ring.size))) {
      std::printf("Dropped a repair message of %zu bytes: it ends inside body %d.\n", length, i);
      return command;
    }
    for (int k = 0; k < 4; ++k)
      b.ring.points[k] = k < b.ring.size ? ReadVector(data, &pos) : Vector3(0, 0, 0);
    for (int k = 0; k < b.ring.size; ++k)
      if (!BodyCheck::Finite(b.ring.points[k])) {
        std::printf("Dropped a repair message: body %d has an unusable contact point.\n", i);
        return command;
      }
  }
  if (!room(1)) {
    std::printf("Dropped a repair message of %zu bytes: it ends before its player count.\n",
                length);
    return command;
  }
  const std::size_t players = data[pos++];
  if (length - static_cast<std::size_t>(pos) != players) {
    std::printf("Dropped a repair message of %zu bytes: %zu players need %zu more, not %zu.\n",
                length, players, players, length - static_cast<std::size_t>(pos));
    return command;
  }
  command.type = MSG_REPAIR;
  command.simulation_time = step;
  command.snapshot = std::move(bodies);
  command.key_flags.assign(data + pos, data + length);
  return command;
}

}  // namespace

std::vector<unsigned char> EncodeStepReport(uint32_t step) {
  std::vector<unsigned char> data(kStepReportSize);
  int pos = 0;
  data[pos++] = static_cast<unsigned char>(MSG_STEP_REPORT);
  WriteInt(data.data(), &pos, step);
  return data;
}

std::vector<unsigned char> EncodeChecksum(uint32_t step, uint64_t checksum,
                                          const std::vector<uint16_t>& body_sums) {
  if (body_sums.size() > 255)
    return {};
  std::vector<unsigned char> data(ChecksumMessageSize(static_cast<int>(body_sums.size())));
  int pos = 0;
  data[pos++] = static_cast<unsigned char>(MSG_CHECKSUM);
  WriteInt(data.data(), &pos, step);
  WriteInt(data.data(), &pos, static_cast<uint32_t>(checksum));
  WriteInt(data.data(), &pos, static_cast<uint32_t>(checksum >> 32));
  data[pos++] = static_cast<unsigned char>(body_sums.size());
  for (uint16_t sum : body_sums) {
    data[pos++] = static_cast<unsigned char>(sum & 0xff);
    data[pos++] = static_cast<unsigned char>(sum >> 8);
  }
  return data;
}

std::vector<unsigned char> EncodeRepair(uint32_t step, const std::vector<BodySnapshot>& bodies,
                                        const std::vector<uint8_t>& key_flags) {
  if (bodies.size() > 255 || key_flags.size() > static_cast<std::size_t>(kMaxRepairPlayers))
    return {};
  std::size_t size = kRepairHeaderSize + 1 + key_flags.size();
  for (const BodySnapshot& b : bodies)
    size += kRepairBodyFixedSize + kRingPointSize * static_cast<std::size_t>(b.ring.size);
  std::vector<unsigned char> data(size);
  int pos = 0;
  data[pos++] = static_cast<unsigned char>(MSG_REPAIR);
  WriteInt(data.data(), &pos, step);
  data[pos++] = static_cast<unsigned char>(bodies.size());
  for (const BodySnapshot& b : bodies) {
    WriteState(data.data(), &pos, b.state);
    data[pos++] = static_cast<unsigned char>(b.ring.last);
    data[pos++] = static_cast<unsigned char>(b.ring.size);
    // Slots past the filled count are never read by the detector.
    for (int k = 0; k < b.ring.size; ++k)
      WriteVector(data.data(), &pos, b.ring.points[k]);
  }
  data[pos++] = static_cast<unsigned char>(key_flags.size());
  for (uint8_t f : key_flags)
    data[pos++] = f;
  return data;
}

Command DecodeExtra(const unsigned char* data, std::size_t length, Command command) {
  switch (data[0]) {
    case MSG_STEP_REPORT: {
      if (length != kStepReportSize) {
        std::printf("Dropped a step report of %zu bytes: it must have %zu.\n", length,
                    kStepReportSize);
        return command;
      }
      int pos = 1;
      command.type = MSG_STEP_REPORT;
      command.simulation_time = ReadInt(data, &pos);
      return command;
    }
    case MSG_CHECKSUM: {
      if (length < kChecksumHeaderSize || length != ChecksumMessageSize(data[13])) {
        std::printf("Dropped a checksum message of %zu bytes: its body count needs %zu.\n", length,
                    length < kChecksumHeaderSize ? kChecksumHeaderSize
                                                 : ChecksumMessageSize(data[13]));
        return command;
      }
      int pos = 1;
      command.type = MSG_CHECKSUM;
      command.simulation_time = ReadInt(data, &pos);
      const uint64_t low = ReadInt(data, &pos);
      const uint64_t high = ReadInt(data, &pos);
      command.checksum = low | (high << 32);
      const int count = data[pos++];
      command.body_sums.resize(static_cast<std::size_t>(count));
      for (uint16_t& sum : command.body_sums) {
        sum = static_cast<uint16_t>(data[pos] | (data[pos + 1] << 8));
        pos += 2;
      }
      return command;
    }
    case MSG_REPAIR:
      return DecodeRepair(data, length, command);
    default:
      std::printf("Dropped a packet of unknown type %u (%zu bytes).\n", data[0], length);
      return command;
  }
}

}  // namespace Network
