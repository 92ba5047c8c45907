// The extra messages (step report, checksum, repair): their bytes, the
// decoder's checks on hostile ones, the checksum of a step, and a client
// taking the host's repair.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "app/agreement.h"
#include "app/commands.h"
#include "app/globals.h"
#include "app/scene.h"
#include "app/simulation.h"
#include "app/status.h"
#include "helpers.h"
#include "net/input_log.h"
#include "net/network.h"

namespace {

using namespace Network;
using Bytes = std::vector<unsigned char>;

std::pair<Command, std::string> Decode(const Bytes& data) {
  testing::internal::CaptureStdout();
  Command c = DecodePacket(Bytes(data).data(), data.size());
  return {c, testing::internal::GetCapturedStdout()};
}

std::vector<BodySnapshot> TwoBodies() {
  std::vector<BodySnapshot> b(2);
  b[0].state = RBState(Vector3(1, 2, 3), Vector3(-1, 0.5, 0), Quaternion(0.6, 0.8, 0, 0),
                       Vector3(0, 0, 0.25));
  b[0].ring = RBody::ContactRing{{Vector3(0.5, 0.5, -0.5), Vector3(-0.5, 0.5, -0.5)}, 2, 2};
  b[1].state = RBState(Vector3(0, 0, -0.5), Vector3(), Quaternion(1, 0, 0, 0), Vector3());
  b[1].ring = RBody::ContactRing{{}, 0, 0};
  return b;
}

TEST(ExtraMessages, BytesAndRoundTrip) {
  const Bytes report = EncodeStepReport(0x01020304);
  EXPECT_EQ(report, (Bytes{3, 4, 3, 2, 1}));
  EXPECT_EQ(Decode(report).first.type, MSG_STEP_REPORT);
  EXPECT_EQ(Decode(report).first.simulation_time, 0x01020304u);

  const Bytes sum = EncodeChecksum(75, 0x1122334455667788ull, {0xabcd, 0x0102});
  EXPECT_EQ(sum, (Bytes{4, 75, 0, 0, 0, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 2, 0xcd,
                        0xab, 0x02, 0x01}));
  const Command c = Decode(sum).first;
  EXPECT_EQ(c.type, MSG_CHECKSUM);
  EXPECT_EQ(c.simulation_time, 75u);
  EXPECT_EQ(c.checksum, 0x1122334455667788ull);
  EXPECT_EQ(c.body_sums, (std::vector<uint16_t>{0xabcd, 0x0102}));

  const std::vector<BodySnapshot> bodies = TwoBodies();
  const Bytes repair = EncodeRepair(300, bodies, {0x5, 0x0});
  // Header, two bodies (the second with an empty ring), two players.
  EXPECT_EQ(repair.size(), kRepairHeaderSize + 2 * kRepairBodyFixedSize + 2 * kRingPointSize + 3);
  const Command r = Decode(repair).first;
  ASSERT_EQ(r.type, MSG_REPAIR);
  EXPECT_EQ(r.simulation_time, 300u);
  EXPECT_EQ(r.key_flags, (std::vector<uint8_t>{0x5, 0x0}));
  ASSERT_EQ(r.snapshot.size(), 2u);
  EXPECT_TRUE(SameBits(r.snapshot[0].state, bodies[0].state));
  EXPECT_EQ(r.snapshot[0].ring.size, 2);
  EXPECT_EQ(r.snapshot[0].ring.last, 2);
  EXPECT_TRUE(r.snapshot[0].ring.points[1] == Vector3(-0.5, 0.5, -0.5));
  EXPECT_EQ(r.snapshot[1].ring.size, 0);
}

// Each hostile message is dropped with one line and yields no command.
TEST(ExtraMessages, HostileOnesAreDropped) {
  const Bytes repair = EncodeRepair(9, TwoBodies(), {1});
  const double nan = std::nan("");
  Bytes nan_state = repair;
  std::memcpy(&nan_state[6], &nan, sizeof nan);
  Bytes zero_turn = repair;  // body 0's orientation s, x, y, z all 0
  std::memset(&zero_turn[6 + 6 * 8], 0, 4 * 8);
  Bytes bad_ring = repair;
  bad_ring[6 + 13 * 8 + 1] = 5;
  Bytes bad_slot = repair;
  bad_slot[6 + 13 * 8] = 4;
  Bytes nan_point = repair;
  std::memcpy(&nan_point[6 + kRepairBodyFixedSize], &nan, sizeof nan);
  Bytes long_repair = repair;
  long_repair.push_back(0);
  Bytes sum = EncodeChecksum(1, 2, {3, 4});
  Bytes long_sum = sum;
  long_sum.push_back(0);
  const struct {
    const char* what;
    Bytes data;
    const char* line;
  } cases[] = {
      {"short report", {3, 1, 0, 0}, "Dropped a step report of 4 bytes: it must have 5.\n"},
      {"long report", {3, 1, 0, 0, 0, 0}, "Dropped a step report of 6 bytes: it must have 5.\n"},
      {"short checksum", Bytes(sum.begin(), sum.begin() + 10),
       "Dropped a checksum message of 10 bytes: its body count needs 14.\n"},
      {"checksum count", long_sum, "Dropped a checksum message of 19 bytes: its body count needs 18.\n"},
      {"short repair", {5, 0, 0}, "Dropped a repair message of 3 bytes: its header needs 6.\n"},
      {"cut in body", Bytes(repair.begin(), repair.begin() + 50),
       "Dropped a repair message of 50 bytes: it ends inside body 0.\n"},
      {"cut in ring", Bytes(repair.begin(), repair.begin() + 6 + kRepairBodyFixedSize + 30),
       "Dropped a repair message of 142 bytes: it ends inside body 0.\n"},
      {"nan state", nan_state, "Dropped a repair message: body 0 has an unusable state.\n"},
      {"zero orientation", zero_turn, "Dropped a repair message: body 0 has an unusable state.\n"},
      {"ring size", bad_ring, "Dropped a repair message: body 0 has a contact ring of slot 2, size 5.\n"},
      {"ring slot", bad_slot, "Dropped a repair message: body 0 has a contact ring of slot 4, size 2.\n"},
      {"nan point", nan_point, "Dropped a repair message: body 0 has an unusable contact point.\n"},
      {"no player count", Bytes(repair.begin(), repair.end() - 2),
       "Dropped a repair message of 266 bytes: it ends before its player count.\n"},
      {"trailing byte", long_repair,
       "Dropped a repair message of 269 bytes: 1 players need 1 more, not 2.\n"},
      {"unknown type", {6, 1}, "Dropped a packet of unknown type 6 (2 bytes).\n"},
  };
  for (const auto& c : cases) {
    const auto [command, printed] = Decode(c.data);
    EXPECT_EQ(command.type, MSG_NONE) << c.what;
    EXPECT_EQ(printed, c.line) << c.what;
  }
}

// A client of the default scene (player 1 of 2) some steps in, with keys.
class RepairTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetSimulation();
    Agreement::Reset();
    input_log.Clear();
    ASSERT_EQ(PrepareScene(BOXSIM_SOURCE_DIR "/scenes/default.txt"), 0);
    global::players = {Player(0, global::bodies[0]), Player(1, global::bodies[1])};
    global::player_id = 1;
    global::is_host = false;
  }
  void TearDown() override {
    ResetSimulation();
    Agreement::Reset();
    input_log.Clear();
  }
  void Steps(int n) {
    for (int i = 0; i < n; ++i) {
      input_log.ApplyFlagsAt(global::simulation_time, &global::players);
      SimulationStep(kBaseStepLength);
    }
  }
  // The repair a host at this very state would send.
  Command RepairNow() const {
    Command c;
    c.type = MSG_REPAIR;
    c.simulation_time = global::simulation_time;
    for (const RBody* b : global::bodies) {
      BodySnapshot s;
      s.state = b->State();
      for (int k = 0; k < 4; ++k)
        s.ring.points[k] = b->recent_cols[k];
      s.ring.last = b->recent_cols_last;
      s.ring.size = b->recent_cols_size;
      c.snapshot.push_back(s);
    }
    for (const Player& p : global::players)
      c.key_flags.push_back(static_cast<uint8_t>(p.forward | p.backward << 1 | p.left << 2 |
                                                 p.right << 3));
    return c;
  }
  static std::vector<RBState> States() {
    std::vector<RBState> s;
    for (const RBody* b : global::bodies)
      s.push_back(b->State());
    return s;
  }
  // The state's values bit for bit; a whole-struct memcmp would also compare
  // padding and the vectors' length caches, which no step defines.
  static bool SameBits(const std::vector<RBState>& a, const std::vector<RBState>& b) {
    if (a.size() != b.size())
      return false;
    for (std::size_t i = 0; i < a.size(); ++i)
      if (!::SameBits(a[i], b[i]))
        return false;
    return true;
  }
};

TEST_F(RepairTest, ClientTakesTheStateAndRunsToThePresentBitForBit) {
  input_log.Record(KeyChange{0, 0, RIGHT_DOWN});
  input_log.Record(KeyChange{20, 1, FORWARD_DOWN});
  Steps(40);
  const Command repair = RepairNow();
  Steps(15);
  const std::vector<RBState> want = States();
  // Part from the host: one bit of body 1, at step 55 of 55.
  global::bodies[1]->pos = Vector3(std::nextafter(global::bodies[1]->pos.x(), 1e9),
                                   global::bodies[1]->pos.y(), global::bodies[1]->pos.z());
  ASSERT_FALSE(SameBits(States(), want));
  HandleCommand(repair);
  EXPECT_EQ(global::simulation_time, 55u);
  EXPECT_TRUE(SameBits(States(), want));
  EXPECT_EQ(Agreement::GetStatus().repairs, 1u);
  EXPECT_EQ(Agreement::GetStatus().rewind_floor, 40u);
  const std::vector<std::string> lines = Status::StatusLines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Desync at step 40, repaired at step 40"),
            lines.end());
  // No rewind reaches before the repair: the history begins there.
  EXPECT_EQ(global::bodies[0]->past_states.size(), 15u);
}

TEST_F(RepairTest, KeysBeforeTheRepairTakeEffectAtIt) {
  Steps(30);
  const Command repair = RepairNow();  // the host knows of no key change
  // This client pressed w at step 25, which has not reached the host: both
  // sides place it at the repair step 30.
  input_log.Record(KeyChange{25, 1, FORWARD_DOWN});
  global::players[1].forward = true;
  Steps(5);
  HandleCommand(repair);
  EXPECT_TRUE(global::players[1].forward);
  Steps(10);
  const std::vector<RBState> client = States();

  // The host's side: from the same state at 30, the late key change.
  ResetSimulation();
  input_log.Clear();
  Agreement::Reset();
  ASSERT_EQ(PrepareScene(BOXSIM_SOURCE_DIR "/scenes/default.txt"), 0);
  global::players = {Player(0, global::bodies[0]), Player(1, global::bodies[1])};
  global::player_id = 0;
  global::is_host = true;
  Steps(30);
  Agreement::FloorRewindsAt(30);  // the host sent its repair at 30
  Steps(12);
  HandleCommand(Command{MSG_SEND_INPUT, 25, FORWARD_DOWN, 1});
  Steps(3);
  EXPECT_EQ(global::simulation_time, 45u);
  EXPECT_TRUE(SameBits(States(), client));
}

TEST_F(RepairTest, RefusedWhenItCannotApply) {
  Steps(10);
  Command repair = RepairNow();
  repair.snapshot.pop_back();
  const std::vector<RBState> before = States();
  testing::internal::CaptureStdout();
  HandleCommand(repair);
  global::is_host = true;
  HandleCommand(RepairNow());
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Refused a repair of 5 bodies: the scene has 6.\n"
            "Refused a repair: the host's own state is the reference.\n");
  EXPECT_TRUE(SameBits(States(), before));
  EXPECT_EQ(Agreement::GetStatus().repairs, 0u);
}

TEST_F(RepairTest, ChecksumSeesEveryBitOfTheStepAndTheKeys) {
  Steps(20);
  uint64_t base = 0, other = 0;
  std::vector<uint16_t> base_sums, sums;
  ASSERT_TRUE(Agreement::StepChecksum(10, &base, &base_sums));
  EXPECT_FALSE(Agreement::StepChecksum(20, &other, &sums));  // the present is not settled
  EXPECT_FALSE(Agreement::StepChecksum(30, &other, &sums));
  // One bit of body 3's state at step 10, then of its contact ring.
  RBState& s = global::bodies[3]->past_states[10];
  const double kept = s.ang_vel.y();
  s.ang_vel = Vector3(s.ang_vel.x(), std::nextafter(kept, 1.0), s.ang_vel.z());
  ASSERT_TRUE(Agreement::StepChecksum(10, &other, &sums));
  EXPECT_NE(other, base);
  for (std::size_t i = 0; i < sums.size(); ++i)
    EXPECT_EQ(sums[i] != base_sums[i], i == 3) << "body " << i;
  s.ang_vel = Vector3(s.ang_vel.x(), kept, s.ang_vel.z());
  global::bodies[3]->past_cols[10].last ^= 1;
  ASSERT_TRUE(Agreement::StepChecksum(10, &other, &sums));
  EXPECT_NE(other, base);
  global::bodies[3]->past_cols[10].last ^= 1;
  // A key held in step 10, and one pressed only after it.
  input_log.Record(KeyChange{10, 0, LEFT_DOWN});
  ASSERT_TRUE(Agreement::StepChecksum(10, &other, &sums));
  EXPECT_NE(other, base);
  EXPECT_EQ(sums, base_sums);
  input_log.Clear();
  input_log.Record(KeyChange{11, 0, LEFT_DOWN});
  ASSERT_TRUE(Agreement::StepChecksum(10, &other, &sums));
  EXPECT_EQ(other, base);
}

}  // namespace
