// Real ENet peers on 127.0.0.1, port 1234. Network holds one host, so the clients are raw ENet
// ones serviced by the test between the host's frames (Network against Network: tests/sh).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/commands.h"
#include "app/globals.h"
#include "app/simulation.h"
#include "app/status.h"
#include "helpers.h"
#include "net/input_log.h"

namespace {

using namespace Network;
using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

// A full contact ring whose next write goes to slot 1.
void FillRing(RBody* b) {
  for (int i = 1; i <= 5; ++i)
    b->RememberColPoint(Vector3(i, i, i));
}

// Emptied, write position included, so the host's next contacts land where the client's do.
void ExpectEmptyRing(const RBody* b) {
  EXPECT_EQ(b->recent_cols_size, 0) << "body " << b->id;
  EXPECT_EQ(b->recent_cols_last, 0) << "body " << b->id;
  for (const Vector3& p : b->recent_cols)
    EXPECT_EQ(p, Vector3(0, 0, 0)) << "body " << b->id;
}

// The overlay's connection line.
std::string LinkLine() {
  return Status::StatusLines().at(2);
}

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
      AddBody(1, 1, 1, Vector3(2.0 * i, 0, 0));
    ASSERT_EQ(CreateHost(&global::bodies, &global::players), 0);
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

  static ::testing::AssertionResult Has(const std::string& out, const char* part) {
    if (out.find(part) != out.npos)
      return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no \"" << part << "\" in:\n" << out;
  }

  std::deque<RawClient> clients;
};

TEST_F(ConnectionTest, ClientGetsTheSceneItsPlayerAndTheHeldKeys) {
  StartHost(3);
  global::simulation_time = 321;
  global::players[0].right = true;  // held by the host while the client comes
  for (RBody* b : global::bodies)  // emptied to match the client's bodies
    FillRing(b);
  const Bytes sync = EncodeSyncBodies(global::bodies, 321, 1);
  RawClient& client = clients.emplace_back();
  std::string out = Pump([&] { return client.received.size() >= 2; });
  // The sync, then the held key stamped with the sync's step.
  EXPECT_EQ(client.received, std::vector<Bytes>({sync, EncodeInput(RIGHT_DOWN, 321, 0)}));
  EXPECT_TRUE(Has(out, "A new client connected from 100007f:"));
  EXPECT_TRUE(Has(out, "Sending sync at 321\n"));
  ASSERT_EQ(global::players.size(), 2u);
  EXPECT_EQ(global::players[1].controlled_idx, 1);
  EXPECT_EQ(global::players[1].controlled_body, global::bodies[1]);
  EXPECT_TRUE(IsConnected());
  for (const RBody* b : global::bodies)
    ExpectEmptyRing(b);
  client.Send(EncodeInput(LEFT_DOWN, 321, 1));  // reaches the host and moves player 1
  Pump([&] { return global::players[1].left; });
  // Two messages waiting: one per frame, in order.
  client.Send(EncodeInput(LEFT_UP, 322, 1));
  client.Send(EncodeInput(RIGHT_DOWN, 322, 1));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  Command first = HostLoop(322), second = HostLoop(322);
  EXPECT_EQ(first.input, LEFT_UP);
  EXPECT_EQ(second.input, RIGHT_DOWN);
  EXPECT_EQ(second.type, MSG_SEND_INPUT);
  EXPECT_EQ(second.id, 1u);
  EXPECT_EQ(second.simulation_time, 322u);
  // A malformed message is dropped and a sync from a client refused; the host runs on.
  client.Send(Bytes{1, 2, 3});
  client.Send(sync);
  out = Pump(nullptr, 0.3);
  EXPECT_TRUE(Has(out, "Dropped an input message of 3 bytes"));
  EXPECT_TRUE(Has(out, "Refused a sync message"));
  EXPECT_FALSE(Has(out, "Received new input"));
  EXPECT_EQ(global::bodies.size(), 3u);
}

TEST_F(ConnectionTest, ReconnectGetsTheNextIndexAndRefusalsTellWhy) {
  StartHost(3);
  EXPECT_EQ(LinkLine(), "Waiting for a client on port 1234");
  RawClient& first = clients.emplace_back();
  std::string out = Pump([&] { return !first.received.empty(); });
  EXPECT_EQ(first.received, std::vector<Bytes>{EncodeSyncBodies(global::bodies, 0, 1)});
  char client_address[32];
  std::snprintf(client_address, sizeof client_address, "127.0.0.1:%u",
                Network::peer->address.port);
  EXPECT_EQ(LinkLine().rfind(std::string("Connected to ") + client_address + ", round trip ", 0),
            0u)
      << LinkLine();
  // A second client is refused while one is connected, then given up.
  RawClient& busy = clients.emplace_back();
  out += Pump(nullptr, 2.0);
  EXPECT_NE(busy.peer->state, ENET_PEER_STATE_CONNECTED);
  EXPECT_TRUE(busy.received.empty());
  EXPECT_EQ(out.find("A new client connected"), out.rfind("A new client connected")) << out;
  enet_peer_reset(busy.peer);
  // The departing client holds a key; its release can never arrive.
  first.Send(EncodeInput(BACKWARD_DOWN, 0, 1));
  Pump([&] { return global::players[1].backward; });
  enet_peer_disconnect(first.peer, 0);
  out = Pump([&] { return Network::peer == nullptr; });
  EXPECT_TRUE(Has(out, "100007f:"));  // by its address
  EXPECT_TRUE(Has(out, " disconnected.\n"));
  EXPECT_EQ(LinkLine(), "The other player left; waiting on port 1234");
  EXPECT_EQ(global::players.size(), 2u);  // stays, keys up
  EXPECT_FALSE(global::players[1].backward);
  // The reconnect empties the rings again, also those filled since.
  for (RBody* b : global::bodies)
    FillRing(b);
  RawClient& second = clients.emplace_back();
  Pump([&] { return !second.received.empty(); });
  EXPECT_EQ(second.received, std::vector<Bytes>{EncodeSyncBodies(global::bodies, 0, 2)});
  ASSERT_EQ(global::players.size(), 3u);
  EXPECT_EQ(global::players[2].controlled_body, global::bodies[2]);
  for (const RBody* b : global::bodies)
    ExpectEmptyRing(b);
  enet_peer_disconnect(second.peer, 0);
  Pump([&] { return Network::peer == nullptr; });
  // Refusals tell why: three bodies and three players leave no body for a
  // further client, and 128 bodies do not fit a sync.
  const std::pair<DisconnectReason, const char*> refusals[] = {
      {DISCONNECT_NO_BODY_LEFT, "no body left for a new player (3 bodies, 3 players)."},
      {DISCONNECT_SCENE_TOO_LARGE, "the scene has 128 bodies, a sync carries 127."}};
  FillRing(global::bodies[0]);
  for (auto [reason, line] : refusals) {
    RawClient& late = clients.emplace_back();
    out = Pump([&] { return late.disconnect_reason >= 0; });
    EXPECT_TRUE(Has(out, line));
    EXPECT_EQ(late.disconnect_reason, static_cast<int>(reason));
    EXPECT_TRUE(late.received.empty());
    EXPECT_EQ(global::players.size(), 3u);
    EXPECT_EQ(Network::peer, nullptr);
    EXPECT_EQ(global::bodies[0]->recent_cols_size, 4) << "a refusal keeps the rings";
    while (global::bodies.size() < 128)
      global::bodies.push_back(new RBody(1, 1, 1, 1, "box"));
  }
}

TEST_F(ConnectionTest, ConnectWithoutAHostFailsAndTheProgramRunsOn) {
  EXPECT_EQ(HostLoop(0).type, MSG_NONE);  // no host yet
  EXPECT_EQ(ClientLoop().type, MSG_NONE);
  auto start = Clock::now();
  EXPECT_EQ(Stdout([] { EXPECT_EQ(Connect("127.0.0.1", &global::bodies, &global::players), 0); }),
            "Connection to 127.0.0.1:1234 failed.\n");
  EXPECT_EQ(LinkLine(), "Connection to 127.0.0.1:1234 failed");
  EXPECT_GE(std::chrono::duration<double>(Clock::now() - start).count(), 4.5);
  for (int i = 0; i < 3; ++i)  // frames find nothing, key changes go nowhere
    HandleCommand(ClientLoop());
  SendInput(FORWARD_DOWN, 0, 0);
  EXPECT_FALSE(IsConnected());
  EXPECT_TRUE(global::bodies.empty());
  EXPECT_TRUE(global::players.empty());
  CloseClient();
  // An address that cannot be resolved fails at once.
  EXPECT_EQ(Stdout([] { Connect("", &global::bodies, &global::players); }),
            "Cannot resolve the host address .\nConnection to :1234 failed.\n");
  EXPECT_FALSE(IsConnected());
  EXPECT_EQ(ClientLoop().type, MSG_NONE);
}

// No ENet host: -1 after one line, for the caller to end the program with status 1.
TEST(NoENetHost, CreateHostOnATakenPort) {
  ASSERT_EQ(enet_initialize(), 0);
  ENetAddress any{ENET_HOST_ANY, 0};
  ENetHost* holder = enet_host_create(&any, 1, 2, 0, 0);
  ASSERT_NE(holder, nullptr);
  ASSERT_EQ(enet_socket_get_address(holder->socket, &any), 0);
  std::vector<RBody*> bodies;
  std::vector<Player> players;
  int result = 0;
  EXPECT_EQ(Stdout([&] { result = CreateHost(&bodies, &players, any.port); }),
            "An error occurred while trying to create an ENet server host.\n");
  EXPECT_EQ(result, -1);
  EXPECT_EQ(Network::host, nullptr);
  CloseHost();
  enet_host_destroy(holder);
  enet_deinitialize();
}

TEST(NoENetHost, ConnectWithoutAFreeFileDescriptor) {
  std::vector<RBody*> bodies;
  std::vector<Player> players;
  int result = 0;
  const std::string out = Stdout([&] {
    rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    const int lowest_free = dup(0);  // below it every descriptor is taken
    ASSERT_GE(lowest_free, 0);
    close(lowest_free);
    rlimit low = old;
    low.rlim_cur = static_cast<rlim_t>(lowest_free);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    result = Connect("127.0.0.1", &bodies, &players, 0);
    std::fflush(stdout);
    setrlimit(RLIMIT_NOFILE, &old);
  });
  EXPECT_EQ(out, "An error occurred while trying to create an ENet client host.\n");
  EXPECT_EQ(result, -1);
  EXPECT_FALSE(IsConnected());
  CloseClient();
}

}  // namespace
