// Applying decoded commands: the sync that sets up a client, and remote key
// changes applied by rewind and replay. A replay must give the same bits as
// the input applied on time.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "app/commands.h"
#include "app/globals.h"
#include "app/scene.h"
#include "app/simulation.h"
#include "net/input_log.h"
#include "net/network.h"
#include "scratch_env.h"

namespace {

using Network::Command;

// Every bit of the state that a later step can depend on.
struct Snapshot {
  uint32_t simulation_time = 0;
  std::vector<RBState> states;
  std::vector<std::deque<RBState>> histories;
  std::vector<std::vector<Vector3>> rings;
  std::vector<int> ring_last, ring_size;
  std::vector<std::array<bool, 4>> flags;
};

Snapshot Take() {
  Snapshot s;
  s.simulation_time = global::simulation_time;
  for (const RBody* b : global::bodies) {
    s.states.push_back(b->State());
    s.histories.push_back(b->past_states);
    s.rings.emplace_back(b->recent_cols, b->recent_cols + 4);
    s.ring_last.push_back(b->recent_cols_last);
    s.ring_size.push_back(b->recent_cols_size);
  }
  for (const Player& p : global::players)
    s.flags.push_back({p.forward, p.backward, p.left, p.right});
  return s;
}

bool SameBits(const Vector3& a, const Vector3& b) {
  return std::memcmp(a.axes, b.axes, sizeof a.axes) == 0;
}

bool SameBits(const RBState& a, const RBState& b) {
  return SameBits(a.pos, b.pos) && SameBits(a.vel, b.vel) && SameBits(a.ang_vel, b.ang_vel) &&
         SameBits(a.ang_pos.v, b.ang_pos.v) &&
         std::memcmp(&a.ang_pos.s, &b.ang_pos.s, sizeof(double)) == 0;
}

// The first difference, or an empty string.
std::string Diff(const Snapshot& a, const Snapshot& b) {
  if (a.simulation_time != b.simulation_time)
    return "simulation_time";
  if (a.states.size() != b.states.size())
    return "body count";
  for (std::size_t i = 0; i < a.states.size(); ++i) {
    if (!SameBits(a.states[i], b.states[i]))
      return "state of body " + std::to_string(i);
    if (a.histories[i].size() != b.histories[i].size())
      return "history length of body " + std::to_string(i);
    for (std::size_t k = 0; k < a.histories[i].size(); ++k)
      if (!SameBits(a.histories[i][k], b.histories[i][k]))
        return "history entry " + std::to_string(k) + " of body " + std::to_string(i);
    if (a.ring_last[i] != b.ring_last[i] || a.ring_size[i] != b.ring_size[i])
      return "contact ring of body " + std::to_string(i);
    for (int k = 0; k < a.ring_size[i]; ++k)
      if (!SameBits(a.rings[i][k], b.rings[i][k]))
        return "contact ring of body " + std::to_string(i);
  }
  if (a.flags != b.flags)
    return "player flags";
  return "";
}

class CommandsTest : public ::testing::Test {
 protected:
  void SetUp() override { Reset(); }
  void TearDown() override { Reset(); }

  static void Reset() {
    ResetSimulation();
    Network::input_log.Clear();
    Network::bodies = &global::bodies;
    Network::players = &global::players;
    Network::host = nullptr;
    Network::peer = nullptr;
    Network::is_server = false;
  }

  // A host with `player_count` players, player 0 its own.
  static void LoadHost(const char* scene, int player_count) {
    Reset();
    std::string path = std::string(BOXSIM_SOURCE_DIR) + "/scenes/" + scene;
    ASSERT_EQ(PrepareScene(path.c_str()), 0);
    global::is_host = true;
    global::player_id = 0;
    for (int i = 0; i < player_count; ++i)
      global::players.push_back(Player(static_cast<unsigned char>(i), global::bodies[i]));
  }

  static void Steps(int n) {
    for (int i = 0; i < n; ++i)
      SimulationStep(0.04);
  }

  // What UpdateControls does for a key change of the own player.
  static void LocalKey(Network::Input in) {
    *Network::InputFlag(&global::players[global::player_id], in) = Network::InputPressed(in);
    Network::SendInput(in, global::simulation_time, global::player_id);
  }

  static Command Input(uint32_t time, Network::Input in, uint32_t player) {
    Command c;
    c.type = Network::MSG_SEND_INPUT;
    c.simulation_time = time;
    c.input = in;
    c.id = player;
    return c;
  }
};

TEST_F(CommandsTest, NoneChangesNothing) {
  LoadHost("default.txt", 2);
  Steps(5);
  Snapshot before = Take();
  HandleCommand(Command());
  EXPECT_EQ(Diff(before, Take()), "");
}

TEST_F(CommandsTest, InputAtTheCurrentStepSetsTheFlagOnly) {
  LoadHost("default.txt", 2);
  Steps(5);
  Snapshot before = Take();
  HandleCommand(Input(5, Network::LEFT_DOWN, 1));
  EXPECT_TRUE(global::players[1].left);
  EXPECT_EQ(global::simulation_time, 5u);
  before.flags[1][2] = true;
  EXPECT_EQ(Diff(before, Take()), "");
}

TEST_F(CommandsTest, InputFromTheFutureCatchesUpFirst) {
  LoadHost("default.txt", 2);
  Steps(5);
  HandleCommand(Input(12, Network::FORWARD_DOWN, 1));
  EXPECT_EQ(global::simulation_time, 12u);
  EXPECT_TRUE(global::players[1].forward);
  Snapshot got = Take();

  // The same as stepping to 12 and then taking the input on time.
  LoadHost("default.txt", 2);
  Steps(12);
  global::players[1].forward = true;
  EXPECT_EQ(Diff(got, Take()), "");
}

// The heart of rollback: an input k steps late, replayed, gives every bit of
// every state (history and contact rings included) as if it had been applied
// on time.
TEST_F(CommandsTest, InputFromThePastReplaysToTheSameBits) {
  for (const char* scene : {"default.txt", "pile.txt"}) {
    const uint32_t stamp = 20;
    for (uint32_t k = 1; k <= 50; ++k) {
      LoadHost(scene, 2);
      Steps(static_cast<int>(stamp));
      global::players[1].right = true;  // on time
      Steps(static_cast<int>(k));
      Snapshot on_time = Take();

      LoadHost(scene, 2);
      Steps(static_cast<int>(stamp + k));
      HandleCommand(Input(stamp, Network::RIGHT_DOWN, 1));  // k steps late
      ASSERT_EQ(Diff(on_time, Take()), "") << scene << ", " << k << " steps late";
    }
  }
}

// A replay gives the local player the flags it had in each replayed step: a
// key pressed here after the remote input's stamp does not push earlier.
TEST_F(CommandsTest, ReplayKeepsTheLocalKeysOfEachStep) {
  LoadHost("pile.txt", 2);
  Steps(30);
  global::players[1].forward = true;  // remote, at 30
  Steps(4);
  LocalKey(Network::RIGHT_DOWN);  // local, at 34
  Steps(3);
  LocalKey(Network::RIGHT_UP);  // local, at 37
  Steps(5);
  Snapshot on_time = Take();

  LoadHost("pile.txt", 2);
  Steps(34);
  LocalKey(Network::RIGHT_DOWN);
  Steps(3);
  LocalKey(Network::RIGHT_UP);
  Steps(5);
  HandleCommand(Input(30, Network::FORWARD_DOWN, 1));
  EXPECT_EQ(Diff(on_time, Take()), "");

  // A second late input replays over the first replay just as well.
  LoadHost("pile.txt", 2);
  Steps(30);
  global::players[1].forward = true;
  Steps(4);
  LocalKey(Network::RIGHT_DOWN);
  Steps(2);
  global::players[1].forward = false;  // remote release at 36
  Steps(1);
  LocalKey(Network::RIGHT_UP);
  Steps(5);
  on_time = Take();

  LoadHost("pile.txt", 2);
  Steps(34);
  LocalKey(Network::RIGHT_DOWN);
  Steps(3);
  LocalKey(Network::RIGHT_UP);
  Steps(5);
  HandleCommand(Input(30, Network::FORWARD_DOWN, 1));
  HandleCommand(Input(36, Network::FORWARD_UP, 1));
  EXPECT_EQ(Diff(on_time, Take()), "");
}

TEST_F(CommandsTest, InputOlderThanTheHistoryTakesEffectFromTheOldestStep) {
  // A release 60 steps late: the history reaches 50 back, so the key counts
  // as released from step 70 - 50 = 20 on, never as still held.
  LoadHost("default.txt", 2);
  Steps(10);
  global::players[1].backward = true;
  Steps(10);
  global::players[1].backward = false;
  Steps(50);
  Snapshot expected = Take();

  LoadHost("default.txt", 2);
  Steps(10);
  HandleCommand(Input(10, Network::BACKWARD_DOWN, 1));
  Steps(60);
  HandleCommand(Input(10, Network::BACKWARD_UP, 1));
  EXPECT_FALSE(global::players[1].backward);
  EXPECT_EQ(global::simulation_time, 70u);
  EXPECT_EQ(Diff(expected, Take()), "");
}

TEST_F(CommandsTest, InputTooFarAheadIsAppliedNow) {
  LoadHost("default.txt", 2);
  Steps(5);
  // 250 ahead is caught up with; 251 is not.
  HandleCommand(Input(5 + 250, Network::LEFT_DOWN, 1));
  EXPECT_EQ(global::simulation_time, 255u);
  HandleCommand(Input(255 + 251, Network::LEFT_UP, 1));
  EXPECT_EQ(global::simulation_time, 255u);
  EXPECT_FALSE(global::players[1].left);
}

TEST_F(CommandsTest, InputWithoutBodiesIsAppliedNow) {
  Reset();
  global::players.push_back(Player(0, nullptr));
  global::players.push_back(Player(1, nullptr));
  global::simulation_time = 3;
  HandleCommand(Input(40, Network::FORWARD_DOWN, 1));  // future
  EXPECT_EQ(global::simulation_time, 3u);
  EXPECT_TRUE(global::players[1].forward);
  HandleCommand(Input(1, Network::FORWARD_UP, 1));  // past
  EXPECT_EQ(global::simulation_time, 3u);
  EXPECT_FALSE(global::players[1].forward);
}

TEST_F(CommandsTest, InputValuesOfEightAndAboveReplayButSetNoFlag) {
  LoadHost("default.txt", 2);
  Steps(8);
  Snapshot expected = Take();
  LoadHost("default.txt", 2);
  Steps(8);
  HandleCommand(Input(3, static_cast<Network::Input>(8), 1));
  EXPECT_EQ(Diff(expected, Take()), "");
}

TEST_F(CommandsTest, RefusedInputsChangeNothing) {
  LoadHost("default.txt", 2);
  Steps(6);
  Snapshot before = Take();
  {  // player index past the players list
    testing::internal::CaptureStdout();
    HandleCommand(Input(2, Network::FORWARD_DOWN, 2));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Refused input for player 2: there are 2 players.\n");
    EXPECT_EQ(Diff(before, Take()), "");
  }
  {  // far past the players list
    testing::internal::CaptureStdout();
    HandleCommand(Input(2, Network::FORWARD_DOWN, 0xffffffffu));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(Diff(before, Take()), "");
  }
  {  // this instance's own player
    testing::internal::CaptureStdout();
    HandleCommand(Input(2, Network::FORWARD_DOWN, 0));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Refused input for player 0: that is this instance's own player.\n");
    EXPECT_EQ(Diff(before, Take()), "");
  }
}

TEST_F(CommandsTest, SyncSetsUpClockAndPlayers) {
  Reset();
  for (int i = 0; i < 4; ++i)
    global::bodies.push_back(new RBody(1, 1, 1, 1, "body"));
  global::time_acc = 3.5;  // piled up while waiting for the scene
  Command sync;
  sync.type = Network::MSG_SYNC_BODIES;
  sync.simulation_time = 1234;
  sync.id = 2;
  HandleCommand(sync);
  EXPECT_EQ(global::simulation_time, 1234u);
  EXPECT_EQ(global::player_id, 2u);
  ASSERT_EQ(global::players.size(), 3u);
  for (unsigned i = 0; i < 3; ++i) {
    EXPECT_EQ(global::players[i].controlled_body, global::bodies[i]);
    EXPECT_EQ(global::players[i].controlled_idx, i);
    EXPECT_FALSE(global::players[i].forward || global::players[i].backward ||
                 global::players[i].left || global::players[i].right);
  }
  EXPECT_EQ(global::time_acc, 0.0);

  {  // a second sync is refused
    testing::internal::CaptureStdout();
    sync.id = 0;
    HandleCommand(sync);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Refused sync: the players are already set up.\n");
    EXPECT_EQ(global::players.size(), 3u);
    EXPECT_EQ(global::player_id, 2u);
  }
}

TEST_F(CommandsTest, SyncIdPastTheBodiesIsRefused) {
  Reset();
  for (int i = 0; i < 2; ++i)
    global::bodies.push_back(new RBody(1, 1, 1, 1, "body"));
  Command sync;
  sync.type = Network::MSG_SYNC_BODIES;
  sync.simulation_time = 77;
  sync.id = 2;
  testing::internal::CaptureStdout();
  HandleCommand(sync);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Refused sync: player index 2 names none of the 2 bodies.\n");
  EXPECT_TRUE(global::players.empty());
  EXPECT_EQ(global::simulation_time, 0u);
}

// The log keeps what a rewind can reach and no more.
TEST_F(CommandsTest, InputLogStaysBounded) {
  LoadHost("default.txt", 2);
  for (int i = 0; i < 400; ++i) {
    LocalKey(i % 2 ? Network::FORWARD_UP : Network::FORWARD_DOWN);
    Steps(1);
    HandleCommand(Command());
  }
  EXPECT_LE(Network::input_log.size(), RBody::kHistoryLength + 2);
}

}  // namespace
