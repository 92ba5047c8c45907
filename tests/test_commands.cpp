// Applying decoded commands: the sync that sets up a client, and remote key
// changes applied by rewind and replay, bit for bit as if applied on time.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "app/globals.h"
#include "app/commands.h"
#include "app/scene.h"
#include "app/simulation.h"
#include "helpers.h"
#include "net/input_log.h"

namespace {

using namespace Network;

// Every bit that a later step can depend on, by part: each body's state,
// history and contact ring, the clock, the flags.
using Snapshot = std::map<std::string, std::string>;
Snapshot Take() {
  auto put = [](std::string* to, const double* d, std::size_t n) {
    to->append(reinterpret_cast<const char*>(d), n * sizeof(double));
  };
  Snapshot s{{"simulation_time", std::to_string(global::simulation_time)}};
  for (std::size_t i = 0; i < global::bodies.size(); ++i) {
    const RBody* b = global::bodies[i];
    std::vector<RBState> states(b->past_states.begin(), b->past_states.end());
    states.push_back(b->State());
    std::string& part = s["body " + std::to_string(i)];
    for (const RBState& st : states) {
      for (const Vector3* v : {&st.pos, &st.vel, &st.ang_vel, &st.ang_pos.v})
        put(&part, v->axes, 3);
      put(&part, &st.ang_pos.s, 1);
    }
    part += std::to_string(b->recent_cols_last) + "," + std::to_string(b->recent_cols_size);
    for (int k = 0; k < b->recent_cols_size; ++k)
      put(&part, b->recent_cols[k].axes, 3);
  }
  for (const Player& p : global::players)
    s["player flags"] += {p.forward, p.backward, p.left, p.right};
  return s;
}

// The first part that differs, or an empty string.
std::string Diff(const Snapshot& a, const Snapshot& b) {
  for (const auto& [part, bits] : a)
    if (b.count(part) == 0 || b.at(part) != bits)
      return part;
  return a.size() == b.size() ? "" : "body count";
}

Command Cmd(uint32_t time, Input in, uint32_t player) {
  return {MSG_SEND_INPUT, time, in, player};
}

void Reset() {
  ResetSimulation();
  input_log.Clear();
  Network::players = &global::players;
}

// A key change at its step: a flag of player 1 set directly (the truth), a
// command for player 1 handed over after the last step (late), or a key of
// the own player 0 as UpdateControls makes it.
enum Mode { kFlag, kLate, kLocal };
using Key = std::tuple<int, Input, Mode>;

// A host with two players, player 0 its own, run to step `end` with a
// HandleCommand every step as in the frame loop; `late` makes flags late,
// and those arrive when the speed factor is `speed`. A body that arrives
// late joins before step `add_body_at`.
Snapshot Play(const char* scene, const std::vector<Key>& keys, int end, bool late = false,
              double speed = 1.0, int add_body_at = -1) {
  Reset();
  EXPECT_EQ(PrepareScene(ScenePath(scene).c_str()), 0);
  global::is_host = true;
  global::players = {Player(0, global::bodies[0]), Player(1, global::bodies[1])};
  for (int t = 0; t <= end; ++t) {
    if (t == add_body_at)
      AddBody(1, 1, 1, Vector3(40, 0, 5));
    for (auto [step, in, mode] : keys) {
      if (step == t && mode != kLate && !(late && mode == kFlag))
        *InputFlag(&global::players[mode == kLocal ? 0 : 1], in) = InputPressed(in);
      if (step == t && mode == kLocal)
        SendInput(in, global::simulation_time, 0);
    }
    HandleCommand(Command());
    if (t < end)
      SimulationStep(0.04);
  }
  global::speed = speed;
  for (auto [step, in, mode] : keys)
    if (mode == kLate || (late && mode == kFlag))
      HandleCommand(Cmd(step, in, 1));
  return Take();
}

class CommandsTest : public ::testing::Test {
  void SetUp() override { Reset(); }
  void TearDown() override { Reset(); }  // the bodies are freed before exit
};

// The heart of rollback: an input from 7 steps ahead (caught up with) to 50
// steps late (replayed) gives every bit of every state, history and contact
// rings included, as if it had been applied on time.
TEST_F(CommandsTest, InputsGiveTheBitsOfOnTime) {
  const Key key{20, RIGHT_DOWN, kFlag};
  for (const char* scene : {"default.txt", "pile.txt"})
    for (int k = -7; k <= 50; ++k)
      ASSERT_EQ(Diff(Play(scene, {key}, std::max(20, 20 + k)), Play(scene, {key}, 20 + k, true)),
                "")
          << scene << ", " << k << " steps late";

  // 250 steps ahead are caught up with; 251 are applied at the current step.
  Play("default.txt", {{250, LEFT_DOWN, kFlag}}, 0, true);
  EXPECT_EQ(global::simulation_time, 250u);
  Play("default.txt", {{251, LEFT_DOWN, kFlag}}, 0, true);
  EXPECT_EQ(global::simulation_time, 0u);
  EXPECT_TRUE(global::players[1].left);

  // Replayed steps keep the local keys of their own time, not those of the
  // present, and a second late input replays over the first replay.
  std::vector<Key> keys = {{30, FORWARD_DOWN, kFlag}, {34, RIGHT_DOWN, kLocal}};
  for (Key more : {Key{37, RIGHT_UP, kLocal}, Key{36, FORWARD_UP, kFlag}}) {
    keys.push_back(more);
    EXPECT_EQ(Diff(Play("pile.txt", keys, 42), Play("pile.txt", keys, 42, true)), "");
  }

  // Input values of 8 and above replay but set no flag.
  EXPECT_EQ(Diff(Play("default.txt", {}, 8), Play("default.txt", {{3, Input(8), kLate}}, 8)), "");

  // A release 60 steps late, older than the 50 steps of history, must not be
  // lost: it counts from step 70 - 50 = 20 on.
  EXPECT_EQ(Diff(Play("default.txt", {{10, BACKWARD_DOWN, kFlag}, {20, BACKWARD_UP, kFlag}}, 70),
                 Play("default.txt", {{10, BACKWARD_DOWN, kFlag}, {10, BACKWARD_UP, kLate}}, 70)),
            "");
}

// Catch-up and replay steps last kBaseStepLength whatever the speed factor
// here: the peer ran them so. Paused (0) or slowed, 4 steps ahead or 6 late.
TEST_F(CommandsTest, CatchUpAndReplayStepsKeepTheBaseLength) {
  for (double speed : {0.0, 0.5})
    for (int k : {-4, 6})
      EXPECT_EQ(Diff(Play("pile.txt", {{20, RIGHT_DOWN, kFlag}}, std::max(20, 20 + k)),
                     Play("pile.txt", {{20, RIGHT_DOWN, kFlag}}, 20 + k, true, speed)),
                "")
          << "speed " << speed << ", " << k << " steps late";
}

// A press and a release stamped at one step: the later wins, for a remote
// player (in arrival order) and for the own one (in the order made), also
// when a later replay runs over that step.
TEST_F(CommandsTest, SameStepPressAndReleaseTheLaterWins) {
  const Key replay{5, LEFT_DOWN, kLate};
  const Snapshot released = Play("default.txt", {replay}, 20);
  for (Mode mode : {kLate, kLocal})
    EXPECT_EQ(Diff(Play("default.txt", {{12, RIGHT_DOWN, mode}, {12, RIGHT_UP, mode}, replay}, 20),
                   released),
              "")
        << (mode == kLate ? "remote" : "own");
  const Snapshot held = Play("default.txt", {{12, RIGHT_DOWN, kFlag}}, 20);
  EXPECT_EQ(Diff(Play("default.txt", {{12, RIGHT_UP, kLate}, {12, RIGHT_DOWN, kLate}}, 20), held),
            "");
  EXPECT_TRUE(global::players[1].right);
}

// A body that arrived 10 steps ago has 10 steps of history: an input 15
// late rewinds every body 10 steps, not the others further, and counts from there.
TEST_F(CommandsTest, RewindGoesNoFurtherThanTheShortestHistory) {
  const Snapshot truth = Play("default.txt", {{20, RIGHT_DOWN, kFlag}}, 30, false, 1.0, 20);
  Play("default.txt", {}, 30, false, 1.0, 20);
  const std::string out = Stdout([] { HandleCommand(Cmd(15, RIGHT_DOWN, 1)); });
  EXPECT_EQ(out, "Input for player 1 stamped at step 15, before the history (step 20 on); "
                 "applied from step 20.\n");
  EXPECT_EQ(Diff(truth, Take()), "");
}

TEST_F(CommandsTest, RefusedInputsChangeNothing) {
  Snapshot before = Play("default.txt", {}, 6);
  const std::pair<uint32_t, const char*> refusals[] = {
      {2, "Refused input for player 2: there are 2 players.\n"},
      {0xffffffffu, "Refused input for player 4294967295: there are 2 players.\n"},
      {0, "Refused input for player 0: that is this instance's own player.\n"}};
  for (auto [player, message] : refusals) {
    EXPECT_EQ(Stdout([p = player] { HandleCommand(Cmd(2, FORWARD_DOWN, p)); }), message);
    EXPECT_EQ(Diff(before, Take()), "") << player;
  }
}

TEST_F(CommandsTest, SyncSetsUpClockAndPlayersOnce) {
  for (int i = 0; i < 4; ++i)
    global::bodies.push_back(new RBody(1, 1, 1, 1, "body"));
  global::time_acc = 3.5;  // piled up while waiting for the scene
  const std::pair<uint32_t, std::string> syncs[] = {
      {4, "Refused sync: player index 4 names none of the 4 bodies.\n"},
      {2, ""},
      {0, "Refused sync: the players are already set up.\n"}};
  for (auto [id, message] : syncs) {
    EXPECT_EQ(Stdout([i = id] { HandleCommand(Command{MSG_SYNC_BODIES, 1234, FORWARD_UP, i}); }),
              message);
    EXPECT_EQ(global::simulation_time, id == 4 ? 0u : 1234u);
    EXPECT_EQ(global::players.size(), id == 4 ? 0u : 3u);
  }
  EXPECT_EQ(global::player_id, 2u);
  EXPECT_EQ(global::time_acc, 0.0);
  for (unsigned i = 0; i < 3; ++i) {
    EXPECT_EQ(global::players[i].controlled_body, global::bodies[i]) << i;
    EXPECT_EQ(global::players[i].controlled_idx, i) << i;
  }
}

// The log keeps what a rewind can reach and no more.
TEST_F(CommandsTest, InputLogStaysBounded) {
  std::vector<Key> keys;
  for (int t = 0; t < 400; ++t)
    keys.emplace_back(t, t % 2 ? FORWARD_UP : FORWARD_DOWN, kLocal);
  Play("default.txt", keys, 400);
  EXPECT_LE(input_log.size(), RBody::kHistoryLength + 2);
}

}  // namespace
