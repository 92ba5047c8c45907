#pragma once

#include <enet/enet.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "app/player.h"
#include "body/rbody.h"

namespace Network {

constexpr enet_uint16 kPort = 1234;
// Both sides ask for two channels; all traffic uses channel 0.
constexpr std::size_t kChannels = 2;
// The client waits this long for the host to answer, before the main loop.
constexpr enet_uint32 kConnectWaitMs = 5000;
// The client's bandwidth limits, bytes per second.
constexpr enet_uint32 kClientIncomingBandwidth = 7200;
constexpr enet_uint32 kClientOutgoingBandwidth = 1800;

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
  Input input = FORWARD_UP;      // MSG_SEND_INPUT only
  uint32_t id = 0;               // input: the player; sync: the receiver's player index
};

// Message sizes in bytes. An input is type, step, input, player. A sync is a
// header (type, step, body count), the body records and the receiver's player
// index. The count byte is read as a signed 8-bit value, so a sync carries at
// most 127 bodies.
constexpr std::size_t kInputMessageSize = 10;
constexpr std::size_t kSyncHeaderSize = 6;
constexpr std::size_t kBodyRecordSize = 137;
constexpr std::size_t kSyncTrailerSize = 4;
constexpr int kMaxSyncBodies = 127;
constexpr std::size_t SyncMessageSize(int body_count) {
  return kSyncHeaderSize + kBodyRecordSize * static_cast<std::size_t>(body_count) +
         kSyncTrailerSize;
}

// Why the host ends a connection; travels as the ENet disconnect data.
enum DisconnectReason : enet_uint32 {
  DISCONNECT_NORMAL = 0,
  DISCONNECT_SCENE_TOO_LARGE = 1,
  DISCONNECT_NO_BODY_LEFT = 2,
  DISCONNECT_BUSY = 3
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

// Each reads or writes at *pos and advances *pos by the size. The caller
// guarantees the room; the decoder checks the whole length first.
void WriteDouble(unsigned char* buffer, int* pos, double value);
double ReadDouble(const unsigned char* buffer, int* pos);
void WriteInt(unsigned char* buffer, int* pos, uint32_t value);
uint32_t ReadInt(const unsigned char* buffer, int* pos);
void WriteVector(unsigned char* buffer, int* pos, Vector3 v);
Vector3 ReadVector(const unsigned char* buffer, int* pos);
void WriteQuaternion(unsigned char* buffer, int* pos, Quaternion q);
Quaternion ReadQuaternion(const unsigned char* buffer, int* pos);

// The bytes of the two messages, without sending or printing anything.
std::vector<unsigned char> EncodeInput(Input in, unsigned simulation_time, unsigned controlled_idx);
// Empty when the list holds more bodies than a sync carries.
std::vector<unsigned char> EncodeSyncBodies(const std::vector<RBody*>& body_list,
                                            unsigned simulation_time, unsigned new_id);

// Sends a key change of this instance's player to the peer, and logs it for
// replays (see input_log.h). Sends nothing without a peer, or for a player
// index that is not in the players list.
void SendInput(Input in, unsigned simulation_time, unsigned controlled_idx);
// The whole scene and the receiver's player index, to Network::peer. Returns
// false, having sent nothing, without a peer or when the scene is too large.
bool SendSyncBodies(unsigned simulation_time, unsigned new_id);

// Decodes one message. The length is checked against the type and body count
// before anything is read; a short, oversized, unknown or refused message
// prints one line, appends nothing and returns `command` as passed in (the
// callers pass MSG_NONE). A sync appends its bodies to *Network::bodies.
Command DecodePacket(const unsigned char* data, std::size_t length, Command command = Command());
// DecodePacket on the packet's data. Does not free the packet.
Command ReadPacket(ENetPacket* packet, Command command = Command());

// Both return 0, or -1 after a one-line message when no ENet host could be
// made (the caller ends the program with status 1). A connection that fails
// or an ENet that cannot start is not such a failure: the program runs on.
int CreateHost(std::vector<RBody*>* bodies, std::vector<Player>* players, enet_uint16 port = kPort);
int Connect(const char* address_str, std::vector<RBody*>* bodies, std::vector<Player>* players,
            enet_uint16 port = kPort);
bool IsConnected();
// Both destroy the ENet host (when there is one) and leave the namespace
// without host or peer, so a later CreateHost or Connect starts afresh.
void CloseHost();
void CloseClient();
// One non-blocking service of the network per call, at most one event
// handled; MSG_NONE when nothing arrived or there is no host.
Command HostLoop(unsigned simulation_time);
Command ClientLoop();

}  // namespace Network
