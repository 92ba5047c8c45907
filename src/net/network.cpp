// The ENet host and the one remote peer: start-up as host or client, and one
// non-blocking service per frame.

#include "net/network.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "net/input_log.h"

namespace Network {

ENetAddress address;
ENetHost* host = nullptr;
ENetPeer* peer = nullptr;
bool is_server = false;
std::vector<RBody*>* bodies = nullptr;
std::vector<Player>* players = nullptr;
uint32_t connection_serial = 0;
Link link = Link::kNone;
enet_uint16 link_port = 0;
std::string link_target;

namespace {

// enet_deinitialize only after an enet_initialize that succeeded.
bool enet_ready = false;
// The player of the connected client, whose keys the host lets go when it
// leaves: its release messages can no longer arrive.
uint32_t client_player = 0;

// Sends one message and flushes, so that it leaves now; reliable on channel 0
// unless told otherwise.
bool Send(const std::vector<unsigned char>& data, enet_uint8 channel = 0,
          enet_uint32 flags = ENET_PACKET_FLAG_RELIABLE) {
  if (peer == nullptr || host == nullptr || data.empty())
    return false;
  ENetPacket* packet = enet_packet_create(data.data(), data.size(), flags);
  if (packet == nullptr) {
    std::printf("Could not send a message of %zu bytes: no memory for the packet.\n", data.size());
    return false;
  }
  // ENet refuses a peer that is not (or no longer) connected and leaves the
  // packet to us.
  if (enet_peer_send(peer, channel, packet) < 0) {
    enet_packet_destroy(packet);
    std::printf("Could not send a message: the peer is not connected.\n");
    return false;
  }
  enet_host_flush(host);
  return true;
}

// The quit key ends the process at once. Without a word to the peer it would
// only notice after ENet's timeout, half a minute in which a host refuses the
// next client.
void SayGoodbye() {
  if (host != nullptr && peer != nullptr && peer->state == ENET_PEER_STATE_CONNECTED)
    enet_peer_disconnect_now(peer, DISCONNECT_NORMAL);
}

bool Initialise() {
  if (enet_ready)
    return true;
  if (enet_initialize() != 0) {
    std::printf("An error occurred while initializing ENet.\n");
    return false;
  }
  enet_ready = true;
  static bool goodbye_registered = false;
  if (!goodbye_registered)
    goodbye_registered = std::atexit(SayGoodbye) == 0;
  return true;
}

void Close() {
  if (host != nullptr)
    enet_host_destroy(host);
  host = nullptr;
  peer = nullptr;
  link = Link::kNone;
  if (enet_ready)
    enet_deinitialize();
  enet_ready = false;
}

// ENet thins out unreliable messages when round trips vary, as they do with
// jitter; step reports and checksums are few and small, so none is dropped
// on purpose (a lost one is replaced by the next).
void KeepUnreliableMessages(ENetPeer* p) {
  enet_peer_throttle_configure(p, ENET_PEER_PACKET_THROTTLE_INTERVAL,
                               ENET_PEER_PACKET_THROTTLE_ACCELERATION, 0);
}

// Turns the client away, telling it why (the ENet disconnect data) and saying
// so here.
void Refuse(ENetPeer* client, DisconnectReason reason, const std::string& why) {
  std::printf("Refused the client from %x:%u: %s.\n", client->address.host, client->address.port,
              why.c_str());
  enet_peer_disconnect(client, reason);
}

// A client arrived: it gets the next player index, the body of that index and
// the whole scene as it stands at this step.
void AcceptClient(ENetPeer* client, unsigned simulation_time) {
  std::printf("A new client connected from %x:%u.\n", client->address.host, client->address.port);
  if (peer != nullptr && peer != client && peer->state == ENET_PEER_STATE_CONNECTED) {
    Refuse(client, DISCONNECT_BUSY, "another client is connected");
    return;
  }
  if (bodies == nullptr || players == nullptr) {
    Refuse(client, DISCONNECT_NO_BODY_LEFT, "there is no scene");
    return;
  }
  if (bodies->size() > static_cast<std::size_t>(kMaxSyncBodies)) {
    Refuse(client, DISCONNECT_SCENE_TOO_LARGE,
           "the scene has " + std::to_string(bodies->size()) + " bodies, a sync carries " +
               std::to_string(kMaxSyncBodies));
    return;
  }
  // Player i pushes body i, so a new player needs a body of its own.
  const std::size_t index = players->size();
  if (index >= bodies->size()) {
    Refuse(client, DISCONNECT_NO_BODY_LEFT,
           "no body left for a new player (" + std::to_string(bodies->size()) + " bodies, " +
               std::to_string(players->size()) + " players)");
    return;
  }

  peer = client;
  link = Link::kConnected;
  client_player = static_cast<uint32_t>(index);
  ++connection_serial;
  KeepUnreliableMessages(client);
  // The contact ring is not on the wire, and the detector accepts a pair
  // early by a remembered point. The client's bodies arrive with empty rings,
  // so the host empties its own: both then step on from the same bodies.
  for (RBody* b : *bodies) {
    b->recent_cols_last = 0;
    b->recent_cols_size = 0;
    for (Vector3& p : b->recent_cols)
      p = Vector3(0, 0, 0);
  }
  SendSyncBodies(simulation_time, static_cast<unsigned>(index));
  players->push_back(Player(static_cast<unsigned char>(index), (*bodies)[index]));
  // The sync carries no key state: keys held now reach the client as
  // presses at this step, in the same order as the sync.
  for (std::size_t i = 0; i < index; ++i) {
    Player& p = (*players)[i];
    for (int d = 0; d < 4; ++d) {
      Input press = static_cast<Input>(d * 2 + 1);
      if (*InputFlag(&p, press))
        Send(EncodeInput(press, simulation_time, static_cast<unsigned>(i)));
    }
  }
}

void ReleaseKeys(uint32_t player_index, unsigned simulation_time) {
  if (players == nullptr || player_index >= players->size())
    return;
  Player& p = (*players)[player_index];
  for (int d = 0; d < 4; ++d) {
    Input release = static_cast<Input>(d * 2);
    bool* flag = InputFlag(&p, release);
    if (*flag) {
      *flag = false;
      input_log.Record(KeyChange{simulation_time, player_index, release});
    }
  }
}

const char* DisconnectText(enet_uint32 reason) {
  switch (reason) {
    case DISCONNECT_SCENE_TOO_LARGE:
      return ": its scene has more bodies than a sync carries.";
    case DISCONNECT_NO_BODY_LEFT:
      return ": it has no body left for a new player.";
    case DISCONNECT_BUSY:
      return ": another client is connected.";
    default:
      return ".";
  }
}

// One non-blocking service: true when it brought an event. After a failed
// ENet start there is no host to service.
bool ServiceOnce(ENetEvent* event) {
  if (host == nullptr)
    return false;
  int result = enet_host_service(host, event, 0);
  if (result < 0)
    std::printf("Servicing the network failed; trying again next frame.\n");
  return result > 0;
}

}  // namespace

void SendInput(Input in, unsigned simulation_time, unsigned controlled_idx) {
  if (players == nullptr || controlled_idx >= players->size())
    return;
  input_log.Record(KeyChange{simulation_time, controlled_idx, in});
  if (peer == nullptr)
    return;
  Send(EncodeInput(in, simulation_time, controlled_idx));
}

bool SendSyncBodies(unsigned simulation_time, unsigned new_id) {
  if (peer == nullptr || host == nullptr || bodies == nullptr)
    return false;
  std::vector<unsigned char> data = EncodeSyncBodies(*bodies, simulation_time, new_id);
  if (data.empty())
    return false;
  std::printf("Sending sync at %i\n", static_cast<int>(simulation_time));
  for (const RBody* b : *bodies) {
    b->vel.Print();
    b->pos.Print();
    b->ang_vel.Print();
    b->GetAngPos().Print();
  }
  bool sent = Send(data);
  std::fflush(stdout);
  return sent;
}

bool SendStepReport(uint32_t step) {
  return Send(EncodeStepReport(step), 0, 0);
}

bool SendChecksum(uint32_t step, uint64_t checksum, const std::vector<uint16_t>& body_sums) {
  return Send(EncodeChecksum(step, checksum, body_sums), 0, ENET_PACKET_FLAG_UNSEQUENCED);
}

bool SendRepair(uint32_t step, const std::vector<BodySnapshot>& snapshot,
                const std::vector<uint8_t>& key_flags) {
  return Send(EncodeRepair(step, snapshot, key_flags), 1, ENET_PACKET_FLAG_RELIABLE);
}

int CreateHost(std::vector<RBody*>* body_list, std::vector<Player>* player_list,
               enet_uint16 port) {
  bodies = body_list;
  players = player_list;
  is_server = true;
  // Without ENet the host runs on alone, as it always has.
  if (!Initialise())
    return 0;
  address.host = ENET_HOST_ANY;
  address.port = port;
  // One client at a time; no bandwidth limits.
  host = enet_host_create(&address, 1, kChannels, 0, 0);
  if (host == nullptr) {
    std::printf("An error occurred while trying to create an ENet server host.\n");
    std::fflush(stdout);
    return -1;
  }
  link = Link::kListening;
  link_port = port;
  return 0;
}

int Connect(const char* address_str, std::vector<RBody*>* body_list,
            std::vector<Player>* player_list, enet_uint16 port) {
  bodies = body_list;
  players = player_list;
  is_server = false;
  link_target = address_str;
  link_port = port;
  if (!Initialise())
    return 0;
  host =
      enet_host_create(nullptr, 1, kChannels, kClientIncomingBandwidth, kClientOutgoingBandwidth);
  if (host == nullptr) {
    std::printf("An error occurred while trying to create an ENet client host.\n");
    std::fflush(stdout);
    return -1;
  }
  if (enet_address_set_host(&address, address_str) != 0) {
    std::printf("Cannot resolve the host address %s.\n", address_str);
    std::printf("Connection to %s:%d failed.\n", address_str, port);
    std::fflush(stdout);
    link = Link::kFailed;
    return 0;
  }
  address.port = port;
  peer = enet_host_connect(host, &address, kChannels, 0);
  if (peer == nullptr) {
    std::printf("No available peers for initiating an ENet connection.\n");
    std::fflush(stdout);
    enet_host_destroy(host);
    host = nullptr;
    return -1;
  }
  ENetEvent event;
  if (enet_host_service(host, &event, kConnectWaitMs) > 0 &&
      event.type == ENET_EVENT_TYPE_CONNECT) {
    std::printf("Connection to %s:%d succeeded.\n", address_str, port);
    link = Link::kConnected;
    ++connection_serial;
    KeepUnreliableMessages(peer);
  } else {
    enet_peer_reset(peer);
    // A reset peer is no connection: nothing is sent to it, and IsConnected
    // says so.
    peer = nullptr;
    link = Link::kFailed;
    std::printf("Connection to %s:%d failed.\n", address_str, port);
  }
  std::fflush(stdout);
  return 0;
}

std::string PeerAddress() {
  if (peer == nullptr)
    return "";
  char ip[64];
  if (enet_address_get_host_ip(&peer->address, ip, sizeof ip) != 0)
    return "?";
  return std::string(ip) + ":" + std::to_string(peer->address.port);
}

uint32_t RoundTripMs() {
  return peer != nullptr && host != nullptr ? peer->roundTripTime : 0;
}

bool IsConnected() {
  return host != nullptr && peer != nullptr;
}

void CloseHost() {
  Close();
}

void CloseClient() {
  Close();
}

Command HostLoop(unsigned simulation_time) {
  Command command;
  command.type = MSG_NONE;
  ENetEvent event;
  if (!ServiceOnce(&event))
    return command;
  switch (event.type) {
    case ENET_EVENT_TYPE_CONNECT:
      AcceptClient(event.peer, simulation_time);
      break;
    case ENET_EVENT_TYPE_RECEIVE:
      if (event.peer == peer)
        command = ReadPacket(event.packet, command);
      else
        std::printf("Dropped a message from %x:%u, which is not the connected client.\n",
                    event.peer->address.host, event.peer->address.port);
      enet_packet_destroy(event.packet);
      break;
    case ENET_EVENT_TYPE_DISCONNECT:
      std::printf("%x:%u disconnected.\n", event.peer->address.host, event.peer->address.port);
      event.peer->data = nullptr;
      if (event.peer == peer) {
        // Its player stays, so a later client gets the next index; its held
        // keys are let go, since their release can no longer arrive.
        ReleaseKeys(client_player, simulation_time);
        peer = nullptr;
        link = Link::kPeerLeft;
      }
      break;
    case ENET_EVENT_TYPE_NONE:
      break;
  }
  std::fflush(stdout);
  return command;
}

Command ClientLoop() {
  Command command;
  command.type = MSG_NONE;
  ENetEvent event;
  if (!ServiceOnce(&event))
    return command;
  switch (event.type) {
    case ENET_EVENT_TYPE_RECEIVE:
      command = ReadPacket(event.packet, command);
      enet_packet_destroy(event.packet);
      break;
    case ENET_EVENT_TYPE_DISCONNECT:
      if (event.peer == peer) {
        std::printf("The host closed the connection%s\n", DisconnectText(event.data));
        peer = nullptr;
        link = Link::kPeerLeft;
      }
      break;
    default:
      break;
  }
  std::fflush(stdout);
  return command;
}

}  // namespace Network
