// The frame loop's time accounting, driven with chosen wall-clock times. The
// bodies are boxes floating alone, so steps touch nothing else.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "app/frame.h"
#include "app/globals.h"
#include "app/input.h"
#include "app/simulation.h"
#include "helpers.h"
#include "net/input_log.h"
#include "net/network.h"

namespace {

class FrameTest : public ::testing::Test {
 protected:
  // A host that never created its ENet host: the network has nothing to say.
  void SetUp() override {
    ResetSimulation();
    global::is_host = true;
    for (int i = 0; i < 256; ++i)
      global::new_keys[i] = global::old_keys[i] = false;
  }
  void TearDown() override {
    Network::CloseHost();
    Network::input_log.Clear();
    ResetSimulation();
  }

  // Runs one frame at time t and returns the steps it ran.
  static uint32_t Frame(double t) {
    uint32_t before = global::simulation_time;
    RunFrame(t);
    return global::simulation_time - before;
  }

  // Runs frames at time t until `owed` steps are worked off: each runs the cap
  // of 10, but rounding in time_acc may leave the last one short.
  static void WorkOff(double t, uint32_t owed) {
    uint32_t total = 0, steps = 0;
    for (int i = 0; i < 20 && (steps = Frame(t)) == 10u; ++i)
      total += steps;
    EXPECT_TRUE(steps == 0u || (steps == 9u && Frame(t) == 0u)) << "frame ran " << steps;
    EXPECT_TRUE(total + steps == owed || total + steps == owed - 1) << total + steps;
  }
};

TEST_F(FrameTest, FramesATenthApartRunTwoOrThreeStepsCarryingTheRest) {
  global::bodies.push_back(new RBody(1, 1, 1, 1, "box"));
  uint32_t total = 0;
  for (int i = 1; i <= 20; ++i) {
    uint32_t steps = Frame(0.1 * i);
    EXPECT_TRUE(steps == 2 || steps == 3) << "frame " << i << " ran " << steps;
    total += steps;
    EXPECT_GE(global::time_acc, -1e-12);  // never overdrawn,
    EXPECT_LT(global::time_acc, 0.04);    // nor more than a step carried
  }
  // 2.5 steps a frame; rounding may leave the last step in time_acc.
  EXPECT_TRUE(total == 50 || total == 49) << total;
}

TEST_F(FrameTest, StepBoundaryKeysAndPause) {
  RBody* b = new RBody(1, 1, 1, 1, "box");
  global::bodies.push_back(b);
  global::players.push_back(Player(0, b));
  // time_acc of exactly one step runs it, and a key seen in the frame pushes
  // (along world -y) from that step on.
  global::GLUT_time = 5.0;
  global::time_acc = 0.04;
  Keyboard('w', 0, 0);
  EXPECT_EQ(Frame(5.0), 1u);
  EXPECT_EQ(global::time_acc, 0.0);
  EXPECT_LT(b->vel.y(), 0.0);

  // Paused by the space key: no step, no time, the remainder kept.
  global::time_acc = 0.03;
  Keyboard(' ', 0, 0);
  EXPECT_EQ(Frame(5.5), 0u);
  EXPECT_EQ(Frame(9.0), 0u);
  EXPECT_EQ(global::time_acc, 0.03);
  // Resumed by a second space, the remainder counts: 0.03 + 0.02 is one step.
  Keyboard(' ', 0, 0);
  EXPECT_EQ(Frame(9.02), 1u);
  EXPECT_NEAR(global::time_acc, 0.01, 1e-12);
}

TEST_F(FrameTest, BacklogIsWorkedOffTenStepsPerFrame) {
  // A 2 s stall (the first frame counts all time since start): 50 steps owed.
  global::bodies.push_back(new RBody(1, 1, 1, 1, "box"));
  WorkOff(2.0, 50);

  // A client without bodies (before its sync): time piles up, and is worked
  // off once they arrive, with old_state rebuilt from them.
  SetUp();
  global::is_host = false;
  EXPECT_EQ(Frame(1.0), 0u);
  EXPECT_EQ(Frame(1.2), 0u);
  EXPECT_DOUBLE_EQ(global::time_acc, 1.2);
  global::bodies.push_back(new RBody(1, 1, 1, 1, "box"));
  WorkOff(1.2, 30);
  EXPECT_EQ(global::old_state.size(), 1u);
}

// A frame takes the own keys first, then one network command: a late remote
// input that arrives in the frame of a local key change rewinds over the step
// of that change, and the change must survive the replay. Real ENet peers on
// a port of their own.
TEST_F(FrameTest, LocalKeyChangeSurvivesALateInputOfTheSameFrame) {
  global::players.push_back(Player(0, AddBody(1, 1, 1, Vector3(0, 0, 0))));
  AddBody(1, 1, 1, Vector3(10, 0, 0));
  ASSERT_EQ(Network::CreateHost(&global::bodies, &global::players, 0), 0);
  ENetAddress bound;
  ASSERT_EQ(enet_socket_get_address(Network::host->socket, &bound), 0);
  RawClient client(bound.port);
  const std::string out = Stdout([&] {
    for (int i = 0; i < 3000 && global::players.size() < 2; ++i) {
      RunFrame(0);  // no time passes: no steps
      client.Service();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  ASSERT_EQ(global::players.size(), 2u) << out;
  RunFrame(0.4);
  const uint32_t now = global::simulation_time;
  ASSERT_GE(now, 8u);
  client.Send(Network::EncodeInput(Network::LEFT_DOWN, now - 5, 1));
  // Received but not yet handed out, so that the next frame's command is it.
  for (int i = 0; i < 500 && enet_list_empty(&Network::host->dispatchQueue); ++i)
    enet_host_service(Network::host, nullptr, 10);
  ASSERT_FALSE(enet_list_empty(&Network::host->dispatchQueue));
  Keyboard('w', 0, 0);
  Stdout([] { RunFrame(0.4); });
  EXPECT_EQ(global::simulation_time, now);  // replayed back to the present
  EXPECT_TRUE(global::players[1].left);
  EXPECT_TRUE(global::players[0].forward);
  // The replay cost no wall-clock time: the time owed is as before it.
  EXPECT_NEAR(global::time_acc, 0.4 - 0.04 * now, 1e-9);
  const double vy = global::bodies[0]->vel.y();
  EXPECT_GE(Frame(1.0), 1u);
  EXPECT_LT(global::bodies[0]->vel.y(), vy);  // and pushes from then on
}

}  // namespace
