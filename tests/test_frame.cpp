// The frame loop's time accounting, driven with chosen wall-clock times.
#include <gtest/gtest.h>

#include <cmath>

#include "app/controls.h"
#include "app/frame.h"
#include "app/globals.h"
#include "app/simulation.h"
#include "scratch_env.h"

namespace {

class FrameTest : public ::testing::Test {
 protected:
  void SetUp() override { Reset(); }
  void TearDown() override { Reset(); }

  static void Reset() {
    ResetSimulation();
    // A host that never created its ENet host: servicing the network finds
    // nothing and the frame goes on.
    global::is_host = true;
    for (int i = 0; i < 256; ++i)
      global::new_keys[i] = global::old_keys[i] = false;
  }

  // A box floating alone: steps touch nothing else.
  static RBody* AddBody() {
    RBody* b = new RBody(1, 1, 1, 1, "box");
    b->id = static_cast<int>(global::bodies.size());
    global::bodies.push_back(b);
    return b;
  }

  // Runs one frame at time t and returns the steps it ran.
  static uint32_t Frame(double t) {
    uint32_t before = global::simulation_time;
    RunFrame(t);
    return global::simulation_time - before;
  }
};

TEST_F(FrameTest, FramesATenthApartRunTwoOrThreeStepsCarryingTheRest) {
  AddBody();
  global::old_state.push_back(global::bodies[0]->State());
  uint32_t total = 0;
  for (int i = 1; i <= 20; ++i) {
    uint32_t steps = Frame(0.1 * i);
    EXPECT_TRUE(steps == 2 || steps == 3) << "frame " << i << " ran " << steps;
    total += steps;
    // Never dropped, never overdrawn: less than one step is carried.
    EXPECT_GE(global::time_acc, -1e-12);
    EXPECT_LT(global::time_acc, 0.04);
  }
  // 2 s at 25 steps a second; rounding may leave the last step in time_acc.
  EXPECT_TRUE(total == 50 || total == 49) << total;
  EXPECT_DOUBLE_EQ(global::GLUT_time, 2.0);
}

TEST_F(FrameTest, AccumulatedTimeEqualToOneStepRunsIt) {
  AddBody();
  global::GLUT_time = 5.0;
  global::time_acc = 0.04;
  EXPECT_EQ(Frame(5.0), 1u);
  EXPECT_EQ(global::time_acc, 0.0);
}

TEST_F(FrameTest, StallIsWorkedOffTenStepsPerFrame) {
  AddBody();
  // The first frame accounts for all time since start: a 2 s stall, a backlog
  // of 50 steps. Frames with no new time work it off at the cap.
  uint32_t total = 0;
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(Frame(2.0), 10u) << "frame " << i;
    total += 10;
  }
  uint32_t fifth = Frame(2.0);
  total += fifth;
  // Rounding in time_acc may leave the 50th step short by a hair.
  EXPECT_TRUE(fifth == 10u || fifth == 9u) << fifth;
  EXPECT_EQ(Frame(2.0), 0u);
  EXPECT_LT(global::time_acc, 0.04);
  // Time after the stall is counted as usual: nothing was dropped.
  total += Frame(2.2);
  EXPECT_NEAR(static_cast<double>(total), 2.2 / 0.04, 1.0);
}

TEST_F(FrameTest, SpeedZeroStopsTimeAndKeepsTheRemainder) {
  AddBody();
  global::GLUT_time = 1.0;
  global::time_acc = 0.03;

  // The pause key.
  Keyboard(' ', 0, 0);
  ASSERT_EQ(global::speed, 0.0);
  EXPECT_EQ(Frame(1.5), 0u);
  EXPECT_EQ(Frame(9.0), 0u);
  EXPECT_EQ(global::time_acc, 0.03);
  EXPECT_EQ(global::GLUT_time, 9.0);

  // Resumed, the remainder counts: 0.03 + 0.02 makes one step.
  Keyboard(' ', 0, 0);
  ASSERT_EQ(global::speed, 1.0);
  EXPECT_EQ(Frame(9.02), 1u);
  EXPECT_NEAR(global::time_acc, 0.01, 1e-12);
}

TEST_F(FrameTest, SpeedScalesStepLengthNotStepCount) {
  RBody* b = AddBody();
  global::speed = 0.5;
  // One second of wall time is 0.5 s simulated in steps of 0.02 s: still 25.
  uint32_t total = 0;
  for (int i = 1; i <= 10; ++i)
    total += Frame(0.1 * i);
  EXPECT_TRUE(total == 25u || total == 24u) << total;
  // Free fall under the single-precision gravity, in steps of 0.02 s.
  EXPECT_NEAR(b->vel.z(), total * 0.02 * -9.8f, 1e-9);
}

TEST_F(FrameTest, WithoutBodiesTimePilesUpUntilTheyArrive) {
  // A client before its sync.
  global::is_host = false;
  EXPECT_EQ(Frame(1.0), 0u);
  EXPECT_EQ(Frame(1.2), 0u);
  EXPECT_DOUBLE_EQ(global::time_acc, 1.2);
  EXPECT_TRUE(global::old_state.empty());

  // Bodies arrive: old_state is rebuilt from their states in that frame, and
  // the backlog is worked off at the cap.
  RBody* b = AddBody();
  b->pos = Vector3(1, 2, 3);
  EXPECT_EQ(Frame(1.2), 10u);
  ASSERT_EQ(global::old_state.size(), 1u);
  EXPECT_EQ(Frame(1.2), 10u);
  // 30 steps in all; rounding may leave the last one in time_acc.
  uint32_t third = Frame(1.2);
  EXPECT_TRUE(third == 10u || third == 9u) << third;
  EXPECT_EQ(Frame(1.2), 0u);
}

TEST_F(FrameTest, KeySeenInAFramePushesFromItsFirstStep) {
  RBody* b = AddBody();
  global::players.push_back(Player(0, b));
  global::GLUT_time = 1.0;
  global::time_acc = 0.0;

  Keyboard('w', 0, 0);
  EXPECT_EQ(Frame(1.04), 1u);
  EXPECT_TRUE(global::players[0].forward);
  // One Euler step: velocity += 0.04 * (force / mass), force = -20 * mass
  // along y.
  double ay = -(static_cast<double>(kPushAcceleration) * b->mass) / b->mass;
  EXPECT_DOUBLE_EQ(b->vel.y(), 0.04 * ay);
  EXPECT_DOUBLE_EQ(b->pos.y(), 0.04 * (0.04 * ay));
  EXPECT_EQ(b->vel.x(), 0.0);

  KeyboardUp('w', 0, 0);
  EXPECT_EQ(Frame(1.08), 1u);
  EXPECT_FALSE(global::players[0].forward);
  EXPECT_DOUBLE_EQ(b->vel.y(), 0.04 * ay);
}

}  // namespace
