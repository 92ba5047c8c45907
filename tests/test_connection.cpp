// Real ENet peers on 127.0.0.1, port 1234. Network holds one host, so the clients are raw ENet
// ones serviced by the test between the host's frames (Network against Network: tests/sh).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/globals.h"
#include "app/commands.h"
#include "app/simulation.h"
#include "net/input_log.h"
#include "scratch_env.h"

namespace {

using namespace Network;
using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

// A plain ENet client that connects at once and keeps what it saw.
struct RawClient {
  ENetHost* host = enet_host_create(nullptr, 1, 2, 0, 0);
  ENetAddress loopback{ENET_HOST_TO_NET_32(0x7f000001), kPort};
  ENetPeer* peer = enet_host_connect(host, &loopback, 2, 0);
  int disconnect_reason = -1;  // none yet
  std::vector<Bytes> received;

  ~RawClient() { enet_host_destroy(host); }
  void Service() {
    for (ENetEvent e; enet_host_service(host, &e, 0) > 0;) {
      disconnect_reason = e.type == ENET_EVENT_TYPE_DISCONNECT ? e.data : disconnect_reason;
      if (e.type == ENET_EVENT_TYPE_RECEIVE) {
        received.emplace_back(e.packet->data, e.packet->data + e.packet->dataLength);
        enet_packet_destroy(e.packet);
      }
    }
  }
  void Send(const Bytes& d) {
    enet_peer_send(peer, 0, enet_packet_create(d.data(), d.size(), ENET_PACKET_FLAG_RELIABLE));
    enet_host_flush(host);
  }
};

class ConnectionTest : public ::testing::Test {
 protected:
  // Port 1234 is fixed: whoever binds it holds this lock meanwhile.
  int lock_ = open("/tmp/boxsim-port-1234.lock", O_CREAT | O_RDWR, 0666);
  void SetUp() override { ASSERT_EQ(flock(lock_, LOCK_EX), 0); }
  ~ConnectionTest() override { close(lock_); }
  void TearDown() override {
    CloseHost();
    ResetSimulation();
    input_log.Clear();
  }

  static void StartHost(int n) {
    for (int i = 0; i < n; ++i)
      global::bodies.push_back(new RBody(1, 1, 1, 1, "box"));
    CreateHost(&global::bodies, &global::players);
    global::players.push_back(Player(0, global::bodies[0]));
  }

  // Frames of the host (commands applied) and services of the clients until
  // `done` holds (expected) or, without it, `seconds` pass. Returns the output.
  std::string Pump(std::function<bool()> done, double seconds = 3.0) {
    testing::internal::CaptureStdout();
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end && !(done && done())) {
      HandleCommand(HostLoop(global::simulation_time));
      for (RawClient& r : clients)
        r.Service();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(!done || done()) << out;
    return out;
  }

  static bool Has(const std::string& out, const char* part) { return out.find(part) != out.npos; }

  std::deque<RawClient> clients;
};

TEST_F(ConnectionTest, ClientGetsTheSceneItsPlayerAndTheHeldKeys) {
  StartHost(3);
  global::simulation_time = 321;
  global::players[0].right = true;  // held by the host while the client comes
  global::bodies[2]->RememberColPoint(Vector3(0.5, 0.5, 0.5));  // emptied to match the client
  const Bytes sync = EncodeSyncBodies(global::bodies, 321, 1);
  RawClient& client = clients.emplace_back();
  std::string out = Pump([&] { return client.received.size() >= 2; });
  // The sync, then the held key stamped with the sync's step.
  EXPECT_EQ(client.received, std::vector<Bytes>({sync, EncodeInput(RIGHT_DOWN, 321, 0)}));
  EXPECT_TRUE(Has(out, "A new client connected from 100007f:") && Has(out, "Sending sync at 321\n"))
      << out;
  EXPECT_TRUE(global::players.size() == 2u && global::players[1].controlled_idx == 1 &&
              global::players[1].controlled_body == global::bodies[1] && IsConnected() &&
              global::bodies[2]->recent_cols_size == 0);
  client.Send(EncodeInput(LEFT_DOWN, 321, 1));  // reaches the host and moves player 1
  Pump([&] { return global::players[1].left; });
  // Two messages waiting: one per frame, in order.
  client.Send(EncodeInput(LEFT_UP, 322, 1));
  client.Send(EncodeInput(RIGHT_DOWN, 322, 1));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  Command first = HostLoop(322), second = HostLoop(322);
  EXPECT_TRUE(first.input == LEFT_UP && second.input == RIGHT_DOWN &&
              second.type == MSG_SEND_INPUT && second.id == 1 && second.simulation_time == 322);
  // A malformed message is dropped and a sync from a client refused; the host runs on.
  client.Send(Bytes{1, 2, 3});
  client.Send(sync);
  out = Pump(nullptr, 0.3);
  EXPECT_TRUE(Has(out, "Dropped an input message of 3 bytes") &&
              Has(out, "Refused a sync message") && !Has(out, "Received new input") &&
              global::bodies.size() == 3u)
      << out;
}

TEST_F(ConnectionTest, ReconnectGetsTheNextIndexAndRefusalsTellWhy) {
  StartHost(3);
  RawClient& first = clients.emplace_back();
  std::string out = Pump([&] { return !first.received.empty(); });
  EXPECT_EQ(first.received, std::vector<Bytes>{EncodeSyncBodies(global::bodies, 0, 1)});
  // A second client is refused while one is connected, then given up.
  RawClient& busy = clients.emplace_back();
  out += Pump(nullptr, 2.0);
  EXPECT_TRUE(busy.peer->state != ENET_PEER_STATE_CONNECTED && busy.received.empty());
  EXPECT_EQ(out.find("A new client connected"), out.rfind("A new client connected")) << out;
  enet_peer_reset(busy.peer);
  // The departing client holds a key; its release can never arrive.
  first.Send(EncodeInput(BACKWARD_DOWN, 0, 1));
  Pump([&] { return global::players[1].backward; });
  enet_peer_disconnect(first.peer, 0);
  out = Pump([&] { return Network::peer == nullptr; });
  EXPECT_TRUE(Has(out, "100007f:") && Has(out, " disconnected.\n")) << out;   // by its address
  EXPECT_TRUE(global::players.size() == 2u && !global::players[1].backward);  // stays, keys up
  RawClient& second = clients.emplace_back();
  Pump([&] { return !second.received.empty(); });
  EXPECT_EQ(second.received, std::vector<Bytes>{EncodeSyncBodies(global::bodies, 0, 2)});
  EXPECT_TRUE(global::players.size() == 3u &&
              global::players[2].controlled_body == global::bodies[2]);
  enet_peer_disconnect(second.peer, 0);
  Pump([&] { return Network::peer == nullptr; });
  // Refusals tell why: three bodies and three players leave no body for a
  // further client, and 128 bodies do not fit a sync.
  const std::pair<DisconnectReason, const char*> refusals[] = {
      {DISCONNECT_NO_BODY_LEFT, "no body left for a new player (3 bodies, 3 players)."},
      {DISCONNECT_SCENE_TOO_LARGE, "the scene has 128 bodies, a sync carries 127."}};
  for (auto [reason, line] : refusals) {
    RawClient& late = clients.emplace_back();
    out = Pump([&] { return late.disconnect_reason >= 0; });
    EXPECT_TRUE(Has(out, line) && late.disconnect_reason == static_cast<int>(reason)) << out;
    EXPECT_TRUE(late.received.empty() && global::players.size() == 3u && Network::peer == nullptr);
    while (global::bodies.size() < 128)
      global::bodies.push_back(new RBody(1, 1, 1, 1, "box"));
  }
}

TEST_F(ConnectionTest, ConnectWithoutAHostFailsAndTheProgramRunsOn) {
  EXPECT_TRUE(HostLoop(0).type == MSG_NONE && ClientLoop().type == MSG_NONE);  // no host yet
  testing::internal::CaptureStdout();
  auto start = Clock::now();
  Connect("127.0.0.1", &global::bodies, &global::players);
  EXPECT_GE(std::chrono::duration<double>(Clock::now() - start).count(), 4.5);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Connection to 127.0.0.1:1234 failed.\n");
  for (int i = 0; i < 3; ++i)  // frames find nothing, key changes go nowhere
    HandleCommand(ClientLoop());
  SendInput(FORWARD_DOWN, 0, 0);
  EXPECT_TRUE(!IsConnected() && global::bodies.empty() && global::players.empty());
  CloseClient();
  testing::internal::CaptureStdout();  // an address that cannot be resolved fails at once
  Connect("", &global::bodies, &global::players);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Cannot resolve the host address .\nConnection to :1234 failed.\n");
  EXPECT_TRUE(!IsConnected() && ClientLoop().type == MSG_NONE);
}

}  // namespace
