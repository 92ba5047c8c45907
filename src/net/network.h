#pragma once

#include <enet/enet.h>

#include <cstddef>
#include <cstdint>
#include <string>
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

// The first byte of a message. A peer built to the two messages 0 and 1
// drops every message of 2 and above, so the later ones are extras it can do
// without: the step report, the agreement checksum and the host's repair.
enum PacketType : uint32_t {
  MSG_SYNC_BODIES = 0,
  MSG_SEND_INPUT = 1,
  MSG_NONE = 2,
  MSG_STEP_REPORT = 3,
  MSG_CHECKSUM = 4,
  MSG_REPAIR = 5
};

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

// One body as a repair carries it: everything of it that a step reads.
struct BodySnapshot {
  RBState state;
  RBody::ContactRing ring;
};

// The decoded form of one message.
struct Command {
  PacketType type = MSG_NONE;
  uint32_t simulation_time = 0;  // sender's step counter; report, checksum, repair: the step
  Input input = FORWARD_UP;      // MSG_SEND_INPUT only
  uint32_t id = 0;               // input: the player; sync: the receiver's player index
  uint64_t checksum = 0;               // MSG_CHECKSUM: the whole state of the step
  std::vector<uint16_t> body_sums{};   // MSG_CHECKSUM: one short sum per body
  std::vector<BodySnapshot> snapshot{};  // MSG_REPAIR: every body
  std::vector<uint8_t> key_flags{};      // MSG_REPAIR: per player, bit d = direction d held
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

// Sizes of the extra messages. A step report is type and step. A checksum is
// type, step, the 64-bit sum, a body count and a 16-bit sum per body. A repair
// is type, step, body count, per body its state (13 doubles), its contact
// ring (write slot, filled count, then that many points of 3 doubles) and
// last a player count with one byte of held keys per player.
constexpr std::size_t kStepReportSize = 5;
constexpr std::size_t kChecksumHeaderSize = 14;
constexpr std::size_t ChecksumMessageSize(int body_count) {
  return kChecksumHeaderSize + 2 * static_cast<std::size_t>(body_count);
}
constexpr std::size_t kRepairHeaderSize = 6;
constexpr std::size_t kRepairBodyFixedSize = 13 * 8 + 2;
constexpr std::size_t kRingPointSize = 3 * 8;
constexpr int kMaxRepairPlayers = 255;

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

std::vector<unsigned char> EncodeStepReport(uint32_t step);
std::vector<unsigned char> EncodeChecksum(uint32_t step, uint64_t checksum,
                                          const std::vector<uint16_t>& body_sums);
// Empty when there are more bodies or players than the counts carry.
std::vector<unsigned char> EncodeRepair(uint32_t step, const std::vector<BodySnapshot>& bodies,
                                        const std::vector<uint8_t>& key_flags);

// Sends a key change of this instance's player to the peer, and logs it for
// replays (see input_log.h). Sends nothing without a peer, or for a player
// index that is not in the players list.
void SendInput(Input in, unsigned simulation_time, unsigned controlled_idx);
// The whole scene and the receiver's player index, to Network::peer. Returns
// false, having sent nothing, without a peer or when the scene is too large.
bool SendSyncBodies(unsigned simulation_time, unsigned new_id);

// The extra messages, to Network::peer; false, having sent nothing, without a
// peer. Reports go unreliable on channel 0: ENet hands them over only after
// every reliable message sent before them, so a step report arrives after the
// key changes stamped before it, and a lost one never holds up a key change
// behind it. Checksums go unsequenced, so that no later message makes ENet
// throw one away. The repair is large and goes reliable on channel 1, beside
// the key changes rather than in front of them.
bool SendStepReport(uint32_t step);
bool SendChecksum(uint32_t step, uint64_t checksum, const std::vector<uint16_t>& body_sums);
bool SendRepair(uint32_t step, const std::vector<BodySnapshot>& bodies,
                const std::vector<uint8_t>& key_flags);
// Counts accepted (host) or established (client) connections, so that state
// kept about the peer can tell a new one from the old.
extern uint32_t connection_serial;

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

// What the connection is doing, for the players to see: a host listening for
// a client or connected to one, a client connected or whose connection
// failed, or the other side gone.
enum class Link { kNone, kListening, kConnected, kFailed, kPeerLeft };
extern Link link;
extern enet_uint16 link_port;  // listened on (host) or connected to (client)
extern std::string link_target;  // the host's address as the client was given it
// The other side's address as ip:port, empty without one; the round trip
// ENet measures, 0 without a peer.
std::string PeerAddress();
uint32_t RoundTripMs();
// Both destroy the ENet host (when there is one) and leave the namespace
// without host or peer, so a later CreateHost or Connect starts afresh.
void CloseHost();
void CloseClient();
// One non-blocking service of the network per call, at most one event
// handled; MSG_NONE when nothing arrived or there is no host.
Command HostLoop(unsigned simulation_time);
Command ClientLoop();

}  // namespace Network
