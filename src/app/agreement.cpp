#include "app/agreement.h"

#include <cmath>
#include <cstdio>
#include <map>

#include "app/globals.h"
#include "app/simulation.h"
#include "app/state_hash.h"
#include "net/input_log.h"

namespace Agreement {

namespace {

// Sums kept for comparison, by step; older ones than this many intervals are
// of no more use.
constexpr std::size_t kKeptSums = 8;
// The most steps a client runs to reach a repair step ahead of it, as for a
// key change stamped ahead.
constexpr uint32_t kMaxRepairCatchUp = 250;

struct StepSum {
  uint64_t checksum;
  std::vector<uint16_t> body_sums;
};

struct PeerState {
  uint32_t serial = 0;  // Network::connection_serial this state belongs to
  double connected_at = -1;
  bool base_protocol = false;  // no report within kBaseProtocolSeconds
  bool have_report = false;
  uint32_t last_sent_step = 0;
  double last_sent_time = -1;
  double wait_started = 0;
  uint32_t next_check = 0;
  std::map<uint32_t, StepSum> own, theirs;
  bool nudge_pending = false;
  uint32_t nudge_step = 0, nudge_body = 0;
};

Status status;
PeerState state;
bool base_only = false;

bool Connected() {
  return Network::IsConnected() && !global::players.empty() && !global::bodies.empty();
}

// A new connection (or none) starts the peer's state afresh; the repair floor
// and the counters stay, they describe this instance's own steps.
void FollowConnection(double now_seconds) {
  if (state.serial == Network::connection_serial)
    return;
  const bool nudge = state.nudge_pending;
  const uint32_t nudge_step = state.nudge_step, nudge_body = state.nudge_body;
  state = PeerState();
  state.serial = Network::connection_serial;
  state.connected_at = now_seconds;
  state.nudge_pending = nudge;
  state.nudge_step = nudge_step;
  state.nudge_body = nudge_body;
  status.peer_reports = false;
  status.peer_step = 0;
  status.waiting = false;
}

void Trim(std::map<uint32_t, StepSum>* sums) {
  while (sums->size() > kKeptSums)
    sums->erase(sums->begin());
}

uint8_t KeyBits(const Player& p) {
  return static_cast<uint8_t>((p.forward ? 1 : 0) | (p.backward ? 2 : 0) | (p.left ? 4 : 0) |
                              (p.right ? 8 : 0));
}

void SetKeyBits(Player* p, uint8_t bits) {
  p->forward = (bits & 1) != 0;
  p->backward = (bits & 2) != 0;
  p->left = (bits & 4) != 0;
  p->right = (bits & 8) != 0;
}

void SendRepair() {
  std::vector<Network::BodySnapshot> snapshot;
  for (const RBody* b : global::bodies) {
    Network::BodySnapshot s;
    s.state = b->State();
    for (int k = 0; k < 4; ++k)
      s.ring.points[k] = b->recent_cols[k];
    s.ring.last = b->recent_cols_last;
    s.ring.size = b->recent_cols_size;
    snapshot.push_back(s);
  }
  std::vector<Player> flags = global::players;
  Network::input_log.ApplyFlagsAt(global::simulation_time, &flags);
  std::vector<uint8_t> key_bits;
  for (const Player& p : flags)
    key_bits.push_back(KeyBits(p));
  const uint32_t step = global::simulation_time;
  const std::size_t size = Network::EncodeRepair(step, snapshot, key_bits).size();
  if (!Network::SendRepair(step, snapshot, key_bits)) {
    std::printf("Could not send a repair at step %u.\n", step);
    return;
  }
  // A key change stamped before the repair takes effect at the repair step,
  // here as on the client, which has no history before it.
  status.rewind_floor = step;
  ++status.repairs;
  std::printf("Sent the host's state at step %u (%zu bytes) to repair the client.\n", step, size);
}

void Compare(uint32_t step, const StepSum& own, const StepSum& theirs) {
  if (own.checksum == theirs.checksum) {
    ++status.checks_agreed;
    return;
  }
  ++status.checks_differed;
  status.last_desync = step;
  int first = -1;
  for (std::size_t i = 0; i < own.body_sums.size() && i < theirs.body_sums.size(); ++i)
    if (own.body_sums[i] != theirs.body_sums[i]) {
      first = static_cast<int>(i);
      break;
    }
  if (first >= 0)
    std::printf("Desync detected at step %u: body %d is the first that differs.\n", step, first);
  else if (own.body_sums.size() != theirs.body_sums.size())
    std::printf("Desync detected at step %u: the peers have %zu and %zu bodies.\n", step,
                own.body_sums.size(), theirs.body_sums.size());
  else
    std::printf("Desync detected at step %u: the bodies agree, the players' keys differ.\n", step);
  if (global::is_host)
    SendRepair();
  else
    std::printf("Waiting for the host's repair.\n");
}

// The client's own state at the repair step, where it still has it, against
// the host's: the first body that differs; -3 when only the keys differ, -1
// when all agree, -2 when the step is out of reach.
int FirstDifferentBody(const Network::Command& command) {
  const uint32_t step = command.simulation_time;
  const uint32_t now = global::simulation_time;
  if (step > now)
    return -2;
  const std::size_t back = now - step;
  for (std::size_t i = 0; i < global::bodies.size(); ++i) {
    const RBody* b = global::bodies[i];
    if (back > 0 && (b->past_states.size() < back || b->past_cols.size() != b->past_states.size()))
      return -2;
    const std::size_t at = b->past_states.size() - back;
    const RBState mine = back == 0 ? b->State() : b->past_states[at];
    StateHasher a, h;
    a.State(mine);
    h.State(command.snapshot[i].state);
    const RBody::ContactRing& theirs = command.snapshot[i].ring;
    const int last = back == 0 ? b->recent_cols_last : b->past_cols[at].last;
    const int size = back == 0 ? b->recent_cols_size : b->past_cols[at].size;
    bool same = a.value() == h.value() && last == theirs.last && size == theirs.size;
    for (int k = 0; same && k < size; ++k) {
      const Vector3& p = back == 0 ? b->recent_cols[k] : b->past_cols[at].points[k];
      StateHasher x, y;
      x.Vector(p);
      y.Vector(theirs.points[k]);
      same = x.value() == y.value();
    }
    if (!same)
      return static_cast<int>(i);
  }
  std::vector<Player> flags = global::players;
  Network::input_log.ApplyFlagsAt(step, &flags);
  for (std::size_t i = 0; i < flags.size(); ++i)
    if (KeyBits(flags[i]) != (i < command.key_flags.size() ? command.key_flags[i] : 0))
      return -3;
  return -1;
}

void ReportRepairedBodies(const Network::Command& command) {
  const uint32_t step = command.simulation_time;
  const int first = FirstDifferentBody(command);
  ++status.checks_differed;
  status.last_desync = step;
  if (first >= 0)
    std::printf("Desync detected at step %u: body %d is the first that differs.\n", step, first);
  else if (first == -3)
    std::printf("Desync detected at step %u: the bodies agree, the players' keys differ.\n", step);
  else if (first == -1)
    std::printf("Desync detected: the host repairs from step %u, where this side still agrees.\n",
                step);
  else
    std::printf("Desync detected: the host repairs from step %u, ahead of this side.\n", step);
}

void TakeRepair(const Network::Command& command) {
  if (global::is_host) {
    std::printf("Refused a repair: the host's own state is the reference.\n");
    return;
  }
  const uint32_t step = command.simulation_time;
  if (command.snapshot.size() != global::bodies.size()) {
    std::printf("Refused a repair of %zu bodies: the scene has %zu.\n", command.snapshot.size(),
                global::bodies.size());
    return;
  }
  if (step < status.rewind_floor) {
    std::printf("Refused a repair at step %u: one at step %u was already taken.\n", step,
                status.rewind_floor);
    return;
  }
  // A host ahead is caught up with first, as for a key change stamped ahead,
  // so that the two states of the repair step can be compared.
  if (step > global::simulation_time && step - global::simulation_time <= kMaxRepairCatchUp) {
    while (global::simulation_time < step)
      SimulationStep(kBaseStepLength);
  }
  // The repair can overtake the host's checksum that set it off: then this
  // side learns of the divergence from the repair itself.
  if (!(status.checks_differed > 0 && status.last_desync >= status.rewind_floor &&
        status.last_desync <= step))
    ReportRepairedBodies(command);
  // This player's key changes before the repair may not have reached the host
  // yet; there they take effect at the repair step, so here too.
  std::vector<Player> own_before = global::players;
  if (step > 0)
    Network::input_log.ApplyFlagsAt(step - 1, &own_before);
  std::vector<Player> flags = global::players;
  for (std::size_t i = 0; i < flags.size(); ++i)
    SetKeyBits(&flags[i], i < command.key_flags.size() ? command.key_flags[i] : 0);
  if (global::player_id < flags.size())
    SetKeyBits(&flags[global::player_id], KeyBits(own_before[global::player_id]));

  for (std::size_t i = 0; i < global::bodies.size(); ++i) {
    RBody* b = global::bodies[i];
    const Network::BodySnapshot& s = command.snapshot[i];
    b->pos = s.state.pos;
    b->vel = s.state.vel;
    // The host's orientation bits as they are, as with a sync.
    b->ang_pos = s.state.ang_pos;
    b->rot_matrix_valid = false;
    b->ang_vel = s.state.ang_vel;
    for (int k = 0; k < 4; ++k)
      b->recent_cols[k] = s.ring.points[k];
    b->recent_cols_last = s.ring.last;
    b->recent_cols_size = s.ring.size;
    b->past_states.clear();
    b->past_cols.clear();
  }
  Network::input_log.Rebase(step, flags);
  const uint32_t present = global::simulation_time;
  global::simulation_time = step;
  status.rewind_floor = step;
  const double owed = global::time_acc;  // replayed steps were paid for
  for (uint32_t t = step; t < present; ++t) {
    Network::input_log.ApplyFlagsAt(t, &global::players);
    SimulationStep(kBaseStepLength);
  }
  global::time_acc = owed;
  Network::input_log.ApplyFlagsAt(global::simulation_time, &global::players);
  // Sums of the steps before the repair compare states that are gone.
  state.own.erase(state.own.begin(), state.own.lower_bound(step + 1));
  state.theirs.erase(state.theirs.begin(), state.theirs.lower_bound(step + 1));
  if (state.next_check <= step)
    state.next_check = step + 1;
  ++status.repairs;
  std::printf("Repaired: took the host's state at step %u and ran on to step %u.\n", step,
              global::simulation_time);
}

void NoteSum(uint32_t step, const StepSum& sum, bool own) {
  if (step < status.rewind_floor)
    return;
  auto& mine = own ? state.own : state.theirs;
  auto& other = own ? state.theirs : state.own;
  mine[step] = sum;
  Trim(&mine);
  auto match = other.find(step);
  if (match == other.end())
    return;
  const StepSum theirs_sum = own ? match->second : sum;
  const StepSum own_sum = own ? sum : match->second;
  state.own.erase(step);
  state.theirs.erase(step);
  Compare(step, own_sum, theirs_sum);
}

void NotePeerStep(uint32_t step) {
  if (!state.have_report || step > status.peer_step)
    status.peer_step = step;
  state.have_report = true;
  status.peer_reports = true;
}

}  // namespace

const Status& GetStatus() {
  return status;
}

void Reset() {
  status = Status();
  state = PeerState();
  state.serial = Network::connection_serial;
}

void FloorRewindsAt(uint32_t step) {
  status.rewind_floor = step;
}

void SpeakBaseProtocolOnly() {
  base_only = true;
}

void NudgeAt(uint32_t step, uint32_t body) {
  state.nudge_pending = true;
  state.nudge_step = step;
  state.nudge_body = body;
}

bool StepChecksum(uint32_t step, uint64_t* checksum, std::vector<uint16_t>* body_sums) {
  const uint32_t now = global::simulation_time;
  if (step >= now || global::bodies.empty())
    return false;
  const std::size_t back = now - step;
  for (const RBody* b : global::bodies)
    if (b->past_states.size() < back || b->past_cols.size() != b->past_states.size())
      return false;
  StateHasher all;
  body_sums->clear();
  for (const RBody* b : global::bodies) {
    const std::size_t at = b->past_states.size() - back;
    const RBody::ContactRing& ring = b->past_cols[at];
    StateHasher one;
    one.State(b->past_states[at]);
    for (const Vector3& p : ring.points)
      one.Vector(p);
    one.Byte(static_cast<uint8_t>(ring.last));
    one.Byte(static_cast<uint8_t>(ring.size));
    const uint64_t h = one.value();
    for (int i = 0; i < 8; ++i)
      all.Byte(static_cast<uint8_t>((h >> (8 * i)) & 0xffu));
    body_sums->push_back(static_cast<uint16_t>(h ^ (h >> 16) ^ (h >> 32) ^ (h >> 48)));
  }
  std::vector<Player> flags = global::players;
  Network::input_log.ApplyFlagsAt(step, &flags);
  for (const Player& p : flags)
    all.Byte(KeyBits(p));
  *checksum = all.value();
  return true;
}

void OnCommand(const Network::Command& command, double now_seconds) {
  if (base_only)
    return;
  FollowConnection(now_seconds);
  switch (command.type) {
    case Network::MSG_SEND_INPUT:
      // A key change carries its sender's step, and no earlier report follows.
      if (state.have_report)
        NotePeerStep(command.simulation_time);
      break;
    case Network::MSG_STEP_REPORT:
      NotePeerStep(command.simulation_time);
      break;
    case Network::MSG_CHECKSUM:
      // Unsequenced, so no step report: it may overtake key changes.
      NoteSum(command.simulation_time, StepSum{command.checksum, command.body_sums}, false);
      break;
    case Network::MSG_REPAIR:
      TakeRepair(command);
      break;
    default:
      break;
  }
}

bool MayStep(double now_seconds) {
  if (base_only)
    return true;
  FollowConnection(now_seconds);
  const bool active = Connected() && state.have_report;
  const uint32_t now = global::simulation_time;
  const uint32_t lead = now > status.peer_step ? now - status.peer_step : 0;
  if (!status.waiting) {
    if (!active || lead < kClockBound)
      return true;
    status.waiting = true;
    state.wait_started = now_seconds;
    std::printf("Waiting for the other player: step %u is %u steps ahead of its step %u.\n", now,
                lead, status.peer_step);
    std::fflush(stdout);
    return false;
  }
  if (active && lead > kResumeLead)
    return false;
  status.waiting = false;
  const double waited = now_seconds - state.wait_started;
  if (waited > status.longest_wait)
    status.longest_wait = waited;
  std::printf("Stopped waiting after %.2f s, at step %u.\n", waited, now);
  std::fflush(stdout);
  return true;
}

void AfterFrame(double now_seconds) {
  FollowConnection(now_seconds);
  const uint32_t now = global::simulation_time;
  if (state.nudge_pending && now >= state.nudge_step && state.nudge_body < global::bodies.size()) {
    RBody* b = global::bodies[state.nudge_body];
    b->pos = Vector3(std::nextafter(b->pos.x(), HUGE_VAL), b->pos.y(), b->pos.z());
    state.nudge_pending = false;
    std::printf("Nudged body %u at step %u.\n", state.nudge_body, now);
  }
  if (!Connected() || state.base_protocol || base_only)
    return;
  if (!state.have_report && now_seconds - state.connected_at > kBaseProtocolSeconds) {
    state.base_protocol = true;
    std::printf(
        "The other side sends no step reports: no clock bound and no agreement checks with it.\n");
    std::fflush(stdout);
    return;
  }
  if (now >= state.last_sent_step + kReportEverySteps || state.last_sent_time < 0 ||
      now_seconds - state.last_sent_time >= kReportEverySeconds) {
    Network::SendStepReport(now);
    state.last_sent_step = now;
    state.last_sent_time = now_seconds;
  }
  if (!state.have_report)
    return;
  // A step is settled once this peer has passed it and the other has
  // reported a later one: key changes still to come are stamped later.
  if (state.next_check < status.rewind_floor)
    state.next_check = status.rewind_floor;
  if (state.next_check % kChecksumInterval != 0)
    state.next_check += kChecksumInterval - state.next_check % kChecksumInterval;
  while (state.next_check < now && state.next_check < status.peer_step) {
    const uint32_t step = state.next_check;
    state.next_check += kChecksumInterval;
    StepSum sum;
    if (!StepChecksum(step, &sum.checksum, &sum.body_sums))
      continue;  // no longer in the history: this one goes unchecked
    Network::SendChecksum(step, sum.checksum, sum.body_sums);
    NoteSum(step, sum, true);
  }
  std::fflush(stdout);
}

}  // namespace Agreement
