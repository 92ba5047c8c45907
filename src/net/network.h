#pragma once

#include <enet/enet.h>

#include <cstdint>
#include <vector>

#include "app/globals.h"
#include "body/rbody.h"

namespace Network {

constexpr enet_uint16 kPort = 1234;

enum PacketType : uint32_t { MSG_SYNC_BODIES = 0, MSG_SEND_INPUT = 1, MSG_NONE = 2 };

// Even values release a key, odd ones press it; value / 2 is the direction
// (forward, backward, left, right).
enum Input : uint8_t {
  FORWARD_UP = 0,
  FORWARD_DOWN = 1,
  BACKWARD_UP = 2,
  BACKWARD_DOWN = 3,
  LEFT_UP = 4,
  LEFT_DOWN = 5,
  RIGHT_UP = 6,
  RIGHT_DOWN = 7
};

// The decoded form of one message.
struct Command {
  PacketType type = MSG_NONE;
  uint32_t simulation_time = 0;  // sender's step counter
  Input input = FORWARD_UP;  // MSG_SEND_INPUT only
  uint32_t id = 0;  // input: the player; sync: the receiver's player index
};

extern ENetAddress address;
extern ENetHost* host;
extern ENetPeer* peer;
extern bool is_server;
extern std::vector<RBody*>* bodies;
extern std::vector<Player>* players;

// Values travel as the host's in-memory bytes (IEEE-754 doubles, 32-bit
// integers, little-endian), copied through these unions.
extern union BDConvert {
  unsigned char bytes[8];
  double value;
} bdconvert;
extern union BIConvert {
  unsigned char bytes[4];
  uint32_t value;
} biconvert;

void WriteDouble(unsigned char* buffer, int* pos, double value);
double ReadDouble(const unsigned char* buffer, int* pos);
void WriteInt(unsigned char* buffer, int* pos, uint32_t value);
uint32_t ReadInt(const unsigned char* buffer, int* pos);
void WriteVector(unsigned char* buffer, int* pos, Vector3 v);
Vector3 ReadVector(const unsigned char* buffer, int* pos);
void WriteQuaternion(unsigned char* buffer, int* pos, Quaternion q);
Quaternion ReadQuaternion(const unsigned char* buffer, int* pos);

void SendInput(Input in, unsigned simulation_time, unsigned controlled_idx);
void SendSyncBodies(unsigned simulation_time, unsigned new_id);
// Decodes one packet; anything malformed decodes to the command as passed in
// (MSG_NONE) and changes nothing.
Command ReadPacket(ENetPacket* packet, Command command = Command());

void CreateHost(std::vector<RBody*>* bodies, std::vector<Player>* players);
void Connect(const char* address_str, std::vector<RBody*>* bodies, std::vector<Player>* players);
bool IsConnected();
void CloseHost();
void CloseClient();
Command HostLoop(unsigned simulation_time);
Command ClientLoop();

}  // namespace Network
