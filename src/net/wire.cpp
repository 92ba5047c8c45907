// Byte layout of the two messages. Every field is written and read on its own,
// at a fixed position, through the conversion unions: there is no padding and
// no struct is sent raw.

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "body/body_check.h"
#include "net/network.h"
#include "net/peer_messages.h"

namespace Network {

BDConvert bdconvert;
BIConvert biconvert;

void WriteDouble(unsigned char* buffer, int* pos, double value) {
  bdconvert.value = value;
  std::memcpy(buffer + *pos, bdconvert.bytes, sizeof bdconvert.bytes);
  *pos += sizeof bdconvert.bytes;
}

double ReadDouble(const unsigned char* buffer, int* pos) {
  std::memcpy(bdconvert.bytes, buffer + *pos, sizeof bdconvert.bytes);
  *pos += sizeof bdconvert.bytes;
  return bdconvert.value;
}

void WriteInt(unsigned char* buffer, int* pos, uint32_t value) {
  biconvert.value = value;
  std::memcpy(buffer + *pos, biconvert.bytes, sizeof biconvert.bytes);
  *pos += sizeof biconvert.bytes;
}

uint32_t ReadInt(const unsigned char* buffer, int* pos) {
  std::memcpy(biconvert.bytes, buffer + *pos, sizeof biconvert.bytes);
  *pos += sizeof biconvert.bytes;
  return biconvert.value;
}

void WriteVector(unsigned char* buffer, int* pos, Vector3 v) {
  WriteDouble(buffer, pos, v.x());
  WriteDouble(buffer, pos, v.y());
  WriteDouble(buffer, pos, v.z());
}

Vector3 ReadVector(const unsigned char* buffer, int* pos) {
  double x = ReadDouble(buffer, pos);
  double y = ReadDouble(buffer, pos);
  double z = ReadDouble(buffer, pos);
  return Vector3(x, y, z);
}

void WriteQuaternion(unsigned char* buffer, int* pos, Quaternion q) {
  WriteDouble(buffer, pos, q.s);
  WriteVector(buffer, pos, q.v);
}

Quaternion ReadQuaternion(const unsigned char* buffer, int* pos) {
  double s = ReadDouble(buffer, pos);
  Vector3 v = ReadVector(buffer, pos);
  return Quaternion(s, v);
}

std::vector<unsigned char> EncodeInput(Input in, unsigned simulation_time,
                                       unsigned controlled_idx) {
  std::vector<unsigned char> data(kInputMessageSize);
  int pos = 0;
  data[pos++] = static_cast<unsigned char>(MSG_SEND_INPUT);
  WriteInt(data.data(), &pos, simulation_time);
  data[pos++] = static_cast<unsigned char>(in);
  WriteInt(data.data(), &pos, controlled_idx);
  return data;
}

std::vector<unsigned char> EncodeSyncBodies(const std::vector<RBody*>& body_list,
                                            unsigned simulation_time, unsigned new_id) {
  if (body_list.size() > static_cast<std::size_t>(kMaxSyncBodies))
    return {};
  const int count = static_cast<int>(body_list.size());
  std::vector<unsigned char> data(SyncMessageSize(count));
  int pos = 0;
  data[pos++] = static_cast<unsigned char>(MSG_SYNC_BODIES);
  WriteInt(data.data(), &pos, simulation_time);
  data[pos++] = static_cast<unsigned char>(count);
  for (const RBody* b : body_list) {
    WriteDouble(data.data(), &pos, b->density);
    WriteDouble(data.data(), &pos, b->width);
    WriteDouble(data.data(), &pos, b->height);
    WriteDouble(data.data(), &pos, b->depth);
    // Velocity before position, as the record has always been laid out.
    WriteVector(data.data(), &pos, b->vel);
    WriteVector(data.data(), &pos, b->pos);
    WriteVector(data.data(), &pos, b->ang_vel);
    WriteQuaternion(data.data(), &pos, b->GetAngPos());
    data[pos++] = b->is_static ? 1 : 0;
  }
  WriteInt(data.data(), &pos, new_id);
  return data;
}

namespace {

// One body record as it came off the wire.
struct BodyRecord {
  double density, width, height, depth;
  Vector3 vel, pos, ang_vel;
  Quaternion ang_pos;
  bool is_static;

  // A body the constructor can build and the step can move: positive, finite
  // size (the mass and the inverse inertia come from it), finite state and an
  // orientation that is not zero.
  bool Valid() const {
    if (!std::isfinite(density))
      return false;
    for (double size : {width, height, depth})
      if (!BodyCheck::UsableSize(size))
        return false;
    return BodyCheck::Finite(vel) && BodyCheck::Finite(pos) && BodyCheck::Finite(ang_vel) &&
           BodyCheck::UsableOrientation(ang_pos);
  }
};

Command DecodeSync(const unsigned char* data, std::size_t length, Command command) {
  if (length < SyncMessageSize(0)) {
    std::printf("Dropped a sync message of %zu bytes: its header and player index need %zu.\n",
                length, SyncMessageSize(0));
    return command;
  }
  int pos = 1;
  uint32_t time = ReadInt(data, &pos);
  // The count byte is signed on the wire; 128 and above read as negative.
  int count = static_cast<signed char>(data[pos++]);
  if (count < 0) {
    std::printf("Dropped a sync message with a negative body count (%d).\n", count);
    return command;
  }
  if (length != SyncMessageSize(count)) {
    std::printf("Dropped a sync message of %zu bytes: %d bodies make %zu.\n", length, count,
                SyncMessageSize(count));
    return command;
  }
  if (is_server) {
    std::printf("Refused a sync message: the scene comes from the host, not from a client.\n");
    return command;
  }
  if (bodies == nullptr) {
    std::printf("Refused a sync message: there is no body list to receive it.\n");
    return command;
  }
  // Appending to a scene already there would shift every index away from
  // the host's.
  if (!bodies->empty()) {
    std::printf("Refused a sync message: the scene has already been received.\n");
    return command;
  }

  std::vector<BodyRecord> records(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    BodyRecord& r = records[static_cast<std::size_t>(i)];
    r.density = ReadDouble(data, &pos);
    r.width = ReadDouble(data, &pos);
    r.height = ReadDouble(data, &pos);
    r.depth = ReadDouble(data, &pos);
    r.vel = ReadVector(data, &pos);
    r.pos = ReadVector(data, &pos);
    r.ang_vel = ReadVector(data, &pos);
    r.ang_pos = ReadQuaternion(data, &pos);
    r.is_static = data[pos++] != 0;
    if (!r.Valid()) {
      std::printf("Refused a sync message: body %d has an unusable size or state.\n", i);
      return command;
    }
  }
  uint32_t new_id = ReadInt(data, &pos);
  if (new_id >= static_cast<uint32_t>(count)) {
    std::printf("Refused a sync message: player index %u names none of its %d bodies.\n", new_id,
                count);
    return command;
  }

  command.type = MSG_SYNC_BODIES;
  command.simulation_time = time;
  std::printf("Received sync at %i, %i bodies\n", static_cast<int>(time), count);
  for (int i = 0; i < count; ++i) {
    const BodyRecord& r = records[static_cast<std::size_t>(i)];
    auto body = std::make_unique<RBody>(r.density, r.width, r.height, r.depth, "body");
    body->id = i;
    body->vel = r.vel;
    body->pos = r.pos;
    body->ang_vel = r.ang_vel;
    // The host's orientation bit for bit: renormalising a quaternion that is
    // already of unit length can change its last bit, and the peers would
    // then drift apart.
    body->ang_pos = r.ang_pos;
    body->rot_matrix_valid = false;
    body->is_static = r.is_static;
    body->vel.Print();
    body->pos.Print();
    body->ang_vel.Print();
    body->GetAngPos().Print();
    bodies->push_back(body.release());
  }
  command.id = new_id;
  return command;
}

}  // namespace

Command DecodePacket(const unsigned char* data, std::size_t length, Command command) {
  if (data == nullptr || length == 0) {
    std::printf("Dropped an empty packet.\n");
    return command;
  }
  switch (data[0]) {
    case MSG_SYNC_BODIES:
      return DecodeSync(data, length, command);
    case MSG_SEND_INPUT: {
      if (length != kInputMessageSize) {
        std::printf("Dropped an input message of %zu bytes: it must have %zu.\n", length,
                    kInputMessageSize);
        return command;
      }
      std::printf("Received new input.\n");
      int pos = 1;
      command.type = MSG_SEND_INPUT;
      command.simulation_time = ReadInt(data, &pos);
      command.input = static_cast<Input>(data[pos++]);
      command.id = ReadInt(data, &pos);
      return command;
    }
    default:
      return DecodeExtra(data, length, command);
  }
}

Command ReadPacket(ENetPacket* packet, Command command) {
  if (packet == nullptr)
    return command;
  return DecodePacket(packet->data, packet->dataLength, command);
}

}  // namespace Network
