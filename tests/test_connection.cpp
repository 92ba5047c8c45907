// Real ENet peers on 127.0.0.1, port 1234. The Network namespace holds one
// host, so the other peers are raw ENet clients serviced by the test between
// the host's frames (Network against Network runs in tests/sh, as two
// processes). Every test holds the port lock while it runs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "app/commands.h"
#include "app/globals.h"
#include "app/simulation.h"
#include "net/input_log.h"
#include "net/network.h"
#include "scratch_env.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

// Port 1234 is fixed: whoever binds it holds this lock meanwhile.
class PortLock {
 public:
  PortLock() {
    fd_ = open("/tmp/boxsim-port-1234.lock", O_CREAT | O_RDWR, 0666);
    if (fd_ >= 0)
      flock(fd_, LOCK_EX);
  }
  ~PortLock() {
    if (fd_ >= 0) {
      flock(fd_, LOCK_UN);
      close(fd_);
    }
  }
  bool held() const { return fd_ >= 0; }

 private:
  int fd_;
};

// What a raw client saw: events in order, with packet bytes copied.
struct Seen {
  ENetEventType type;
  Bytes data;
  enet_uint32 event_data;
};

// A plain ENet client, serviced by the test between the host's frames.
class RawClient {
 public:
  RawClient() { host_ = enet_host_create(nullptr, 1, 2, 0, 0); }
  ~RawClient() {
    if (host_ != nullptr)
      enet_host_destroy(host_);
  }
  void Connect() {
    ENetAddress a;
    enet_address_set_host(&a, "127.0.0.1");
    a.port = Network::kPort;
    peer_ = enet_host_connect(host_, &a, 2, 0);
  }
  void Service() {
    ENetEvent e;
    while (enet_host_service(host_, &e, 0) > 0) {
      Seen s{e.type, {}, e.data};
      if (e.type == ENET_EVENT_TYPE_RECEIVE) {
        s.data.assign(e.packet->data, e.packet->data + e.packet->dataLength);
        enet_packet_destroy(e.packet);
      }
      seen.push_back(s);
    }
  }
  void Send(const Bytes& data) {
    enet_peer_send(peer_, 0,
                   enet_packet_create(data.data(), data.size(), ENET_PACKET_FLAG_RELIABLE));
    enet_host_flush(host_);
  }
  void Disconnect() { enet_peer_disconnect(peer_, 0); }
  bool Saw(ENetEventType type) const {
    for (const Seen& s : seen)
      if (s.type == type)
        return true;
    return false;
  }
  std::vector<Bytes> Received() const {
    std::vector<Bytes> out;
    for (const Seen& s : seen)
      if (s.type == ENET_EVENT_TYPE_RECEIVE)
        out.push_back(s.data);
    return out;
  }

  std::vector<Seen> seen;

 private:
  ENetHost* host_ = nullptr;
  ENetPeer* peer_ = nullptr;
};

class ConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lock_.held());
    ResetSimulation();
    Network::input_log.Clear();
  }
  void TearDown() override {
    Network::CloseHost();
    ResetSimulation();
  }

  // A host of `n` boxes far apart, with its own player 0.
  static void StartHost(int n) {
    for (int i = 0; i < n; ++i) {
      RBody* b = new RBody(1, 1, 1, 1, "box");
      b->id = i;
      b->pos = Vector3(3.0 * i, 0, 10);
      global::bodies.push_back(b);
    }
    global::is_host = true;
    global::player_id = 0;
    Network::CreateHost(&global::bodies, &global::players);
    ASSERT_NE(Network::host, nullptr);
    global::players.push_back(Player(0, global::bodies[0]));
  }

  // Frames of the host and services of the clients until `done` holds or
  // `seconds` pass. Commands the host decodes are applied and kept.
  template <class Done>
  bool Pump(Done done, std::vector<RawClient*> clients, double seconds = 3.0) {
    auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
      Network::Command c = Network::HostLoop(global::simulation_time);
      if (c.type != Network::MSG_NONE)
        commands.push_back(c);
      HandleCommand(c);
      for (RawClient* r : clients)
        r->Service();
      if (done())
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }

  std::vector<Network::Command> commands;

 private:
  PortLock lock_;
};

TEST_F(ConnectionTest, ClientGetsTheSceneItsPlayerAndTheHeldKeys) {
  StartHost(3);
  global::simulation_time = 321;
  global::players[0].right = true;  // held by the host while the client comes
  global::bodies[2]->RememberColPoint(Vector3(0.5, 0.5, 0.5));
  const Bytes expected_sync = Network::EncodeSyncBodies(global::bodies, 321, 1);

  RawClient client;
  client.Connect();
  testing::internal::CaptureStdout();
  bool got = Pump([&] { return client.Received().size() >= 2; }, {&client});
  std::string out = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(got) << out;

  EXPECT_NE(out.find("A new client connected from 100007f:"), std::string::npos) << out;
  EXPECT_NE(out.find("Sending sync at 321\n"), std::string::npos);
  std::vector<Bytes> received = client.Received();
  EXPECT_EQ(received[0], expected_sync);
  // The held key follows the sync, stamped with the sync's step.
  EXPECT_EQ(received[1], Network::EncodeInput(Network::RIGHT_DOWN, 321, 0));

  ASSERT_EQ(global::players.size(), 2u);
  EXPECT_EQ(global::players[1].controlled_idx, 1);
  EXPECT_EQ(global::players[1].controlled_body, global::bodies[1]);
  EXPECT_TRUE(Network::IsConnected());
  // The client's bodies arrive with empty contact rings; the host's are
  // emptied to match.
  EXPECT_EQ(global::bodies[2]->recent_cols_size, 0);

  {  // the client's key change reaches the host as a command
    client.Send(Network::EncodeInput(Network::LEFT_DOWN, 321, 1));
    testing::internal::CaptureStdout();
    bool decoded = Pump([&] { return !commands.empty(); }, {&client});
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(decoded);
    EXPECT_EQ(commands[0].type, Network::MSG_SEND_INPUT);
    EXPECT_EQ(commands[0].simulation_time, 321u);
    EXPECT_EQ(commands[0].input, Network::LEFT_DOWN);
    EXPECT_EQ(commands[0].id, 1u);
    EXPECT_TRUE(global::players[1].left);
  }
  {  // two messages waiting: one per frame, in order
    client.Send(Network::EncodeInput(Network::LEFT_UP, 322, 1));
    client.Send(Network::EncodeInput(Network::RIGHT_DOWN, 322, 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    testing::internal::CaptureStdout();
    Network::Command first = Network::HostLoop(322);
    Network::Command second = Network::HostLoop(322);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(first.input, Network::LEFT_UP);
    EXPECT_EQ(second.input, Network::RIGHT_DOWN);
    EXPECT_EQ(second.type, Network::MSG_SEND_INPUT);
  }
  {  // the host's key change reaches the client, 10 bytes
    Network::SendInput(Network::FORWARD_DOWN, 400, 0);
    ASSERT_TRUE(Pump([&] { return client.Received().size() >= 3; }, {&client}));
    EXPECT_EQ(client.Received()[2], Network::EncodeInput(Network::FORWARD_DOWN, 400, 0));
  }
  {  // a malformed message is dropped and the host runs on
    client.Send(Bytes{1, 2, 3});
    testing::internal::CaptureStdout();
    Pump([] { return false; }, {&client}, 0.3);
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Dropped an input message of 3 bytes"), std::string::npos) << out;
    EXPECT_EQ(commands.size(), 1u);
  }
  {  // a sync from a client is refused: the scene comes from the host
    client.Send(expected_sync);
    testing::internal::CaptureStdout();
    Pump([] { return false; }, {&client}, 0.3);
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Refused a sync message"), std::string::npos) << out;
    EXPECT_EQ(global::bodies.size(), 3u);
  }
}

TEST_F(ConnectionTest, NoTrafficGivesNone) {
  StartHost(2);
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(Network::HostLoop(0).type, Network::MSG_NONE);
  EXPECT_FALSE(Network::IsConnected());
}

TEST_F(ConnectionTest, ReconnectGetsTheNextIndexAndAFullSceneIsRefused) {
  StartHost(3);
  testing::internal::CaptureStdout();
  {
    RawClient first;
    first.Connect();
    ASSERT_TRUE(Pump([&] { return !first.Received().empty(); }, {&first}));
    EXPECT_EQ(first.Received()[0].back(), 0);  // new_id 1, last byte of 4
    EXPECT_EQ(first.Received()[0][first.Received()[0].size() - 4], 1);
    // The departing client holds a key; its release can never arrive.
    first.Send(Network::EncodeInput(Network::BACKWARD_DOWN, 0, 1));
    ASSERT_TRUE(Pump([&] { return global::players[1].backward; }, {&first}));
    first.Disconnect();
    ASSERT_TRUE(Pump([&] { return Network::peer == nullptr; }, {&first}));
  }
  std::string out = testing::internal::GetCapturedStdout();
  // The disconnect line names the peer by its address.
  EXPECT_NE(out.find("100007f:"), std::string::npos);
  EXPECT_NE(out.find(" disconnected.\n"), std::string::npos) << out;
  EXPECT_FALSE(global::players[1].backward);
  ASSERT_EQ(global::players.size(), 2u);  // the departed player stays

  testing::internal::CaptureStdout();
  RawClient second;
  second.Connect();
  ASSERT_TRUE(Pump([&] { return !second.Received().empty(); }, {&second}));
  testing::internal::GetCapturedStdout();
  const Bytes sync = second.Received()[0];
  EXPECT_EQ(sync[sync.size() - 4], 2);  // the next index
  ASSERT_EQ(global::players.size(), 3u);
  EXPECT_EQ(global::players[2].controlled_body, global::bodies[2]);

  // Three bodies, three players: a further client has no body to push.
  second.Disconnect();
  testing::internal::CaptureStdout();
  ASSERT_TRUE(Pump([&] { return Network::peer == nullptr; }, {&second}));
  RawClient third;
  third.Connect();
  bool refused = Pump([&] { return third.Saw(ENET_EVENT_TYPE_DISCONNECT); }, {&second, &third});
  out = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(refused) << out;
  EXPECT_NE(out.find("no body left for a new player (3 bodies, 3 players)."), std::string::npos)
      << out;
  EXPECT_EQ(third.seen.back().event_data, Network::DISCONNECT_NO_BODY_LEFT);
  EXPECT_TRUE(third.Received().empty());
  EXPECT_EQ(global::players.size(), 3u);
  EXPECT_EQ(Network::peer, nullptr);
}

TEST_F(ConnectionTest, SecondClientIsRefusedWhileOneIsConnected) {
  StartHost(3);
  testing::internal::CaptureStdout();
  RawClient first, second;
  first.Connect();
  ASSERT_TRUE(Pump([&] { return !first.Received().empty(); }, {&first}));
  second.Connect();
  Pump([] { return false; }, {&first, &second}, 2.0);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_FALSE(second.Saw(ENET_EVENT_TYPE_CONNECT));
  EXPECT_TRUE(second.Received().empty());
  EXPECT_EQ(global::players.size(), 2u);
  EXPECT_EQ(out.find("A new client connected"), out.rfind("A new client connected")) << out;
}

TEST_F(ConnectionTest, SceneTooLargeForASyncRefusesTheClient) {
  StartHost(128);
  testing::internal::CaptureStdout();
  RawClient client;
  client.Connect();
  bool refused = Pump([&] { return client.Saw(ENET_EVENT_TYPE_DISCONNECT); }, {&client});
  std::string out = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(refused) << out;
  EXPECT_NE(out.find("the scene has 128 bodies, a sync carries 127."), std::string::npos) << out;
  EXPECT_EQ(client.seen.back().event_data, Network::DISCONNECT_SCENE_TOO_LARGE);
  EXPECT_EQ(global::players.size(), 1u);
}

TEST_F(ConnectionTest, ConnectWithoutAHostFailsAfterTheWait) {
  testing::internal::CaptureStdout();
  auto start = Clock::now();
  Network::Connect("127.0.0.1", &global::bodies, &global::players);
  double waited = std::chrono::duration<double>(Clock::now() - start).count();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "Connection to 127.0.0.1:1234 failed.\n");
  EXPECT_GE(waited, 4.5);
  EXPECT_FALSE(Network::IsConnected());
  // The program runs on: frames find nothing, key changes go nowhere.
  for (int i = 0; i < 3; ++i) {
    Network::Command c = Network::ClientLoop();
    EXPECT_EQ(c.type, Network::MSG_NONE);
    HandleCommand(c);
  }
  Network::SendInput(Network::FORWARD_DOWN, 0, 0);
  EXPECT_TRUE(global::bodies.empty());
  Network::CloseClient();
}

TEST_F(ConnectionTest, ConnectToAnAddressThatCannotBeResolvedFailsAtOnce) {
  testing::internal::CaptureStdout();
  Network::Connect("", &global::bodies, &global::players);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "Cannot resolve the host address .\nConnection to :1234 failed.\n");
  EXPECT_FALSE(Network::IsConnected());
  EXPECT_EQ(Network::ClientLoop().type, Network::MSG_NONE);
  Network::CloseClient();
}

TEST_F(ConnectionTest, LoopsWithoutAHostDoNothing) {
  EXPECT_EQ(Network::HostLoop(0).type, Network::MSG_NONE);
  EXPECT_EQ(Network::ClientLoop().type, Network::MSG_NONE);
  Network::CloseHost();
}

}  // namespace
