#include "app/commands.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "app/agreement.h"
#include "app/globals.h"
#include "app/simulation.h"
#include "net/input_log.h"

namespace {

// Catch-up and replay steps have the base length whatever the speed factor:
// the peer ran them so.
constexpr double kReplayStepLength = kBaseStepLength;
// An input stamped further ahead than this is not caught up with: at 25
// steps a second that is ten seconds of simulation in one frame.
constexpr uint32_t kMaxCatchUpSteps = 250;

// Steps that every body can go back: a rewind must move all bodies to the
// same step.
uint32_t HistoryDepth() {
  std::size_t depth = RBody::kHistoryLength;
  for (const RBody* b : global::bodies)
    depth = std::min(depth, b->past_states.size());
  return static_cast<uint32_t>(depth);
}

void ApplySync(const Network::Command& command) {
  if (command.id >= global::bodies.size()) {
    std::printf("Refused sync: player index %u names none of the %zu bodies.\n", command.id,
                global::bodies.size());
    return;
  }
  if (!global::players.empty()) {
    std::printf("Refused sync: the players are already set up.\n");
    return;
  }
  global::simulation_time = command.simulation_time;
  global::player_id = command.id;
  for (uint32_t i = 0; i <= command.id; ++i)
    global::players.push_back(Player(static_cast<unsigned char>(i), global::bodies[i]));
  Network::input_log.Clear();
  // The time that piled up while there were no bodies would run the client
  // ahead of the host's clock, by as much as the connection wait, and the
  // host's inputs would then arrive older than the history reaches. The
  // client's clock starts with the host's step instead.
  global::time_acc = 0.0;
}

void ApplyInput(const Network::Command& command) {
  if (command.id >= global::players.size()) {
    std::printf("Refused input for player %u: there are %zu players.\n", command.id,
                global::players.size());
    return;
  }
  // This instance's own keys move its own player; a peer cannot.
  if (command.id == global::player_id) {
    std::printf("Refused input for player %u: that is this instance's own player.\n", command.id);
    return;
  }

  uint32_t stamp = command.simulation_time;
  if (global::bodies.empty()) {
    // No step can run, so there is neither a past nor a future to reach.
    if (stamp != global::simulation_time)
      std::printf(
          "Input for player %u stamped at step %u; applied at the current step %u, as "
          "there are no bodies to step.\n",
          command.id, stamp, global::simulation_time);
    stamp = global::simulation_time;
  } else if (stamp > global::simulation_time) {
    uint32_t ahead = stamp - global::simulation_time;
    if (ahead > kMaxCatchUpSteps) {
      std::printf("Input for player %u stamped %u steps ahead; applied at the current step %u.\n",
                  command.id, ahead, global::simulation_time);
      stamp = global::simulation_time;
    } else {
      for (uint32_t i = 0; i < ahead; ++i)
        SimulationStep(kReplayStepLength);
    }
  }

  const uint32_t now = global::simulation_time;
  const uint32_t oldest = now - std::min(HistoryDepth(), now);
  const uint32_t floor = Agreement::GetStatus().rewind_floor;
  if (stamp < floor && floor >= oldest && floor <= now) {
    // Both peers place such a change at the repair step: the client has no
    // history before it.
    std::printf(
        "Input for player %u stamped at step %u, before the repair at step %u; applied from "
        "step %u.\n",
        command.id, stamp, floor, floor);
    stamp = floor;
  } else if (stamp < oldest) {
    // The release of a key must not be lost: it takes effect as early as the
    // history allows.
    std::printf(
        "Input for player %u stamped at step %u, before the history (step %u on); applied from "
        "step %u.\n",
        command.id, stamp, oldest, oldest);
    stamp = oldest;
  }
  const uint32_t time_diff = now - stamp;

  Network::input_log.Record(Network::KeyChange{stamp, command.id, command.input});
  if (time_diff == 0) {
    Network::input_log.ApplyFlagsAt(now, &global::players);
    return;
  }
  const auto replay_start = std::chrono::steady_clock::now();
  for (RBody* b : global::bodies)
    b->RevertState(static_cast<int>(time_diff));
  global::simulation_time = stamp;
  // The replayed steps were paid for when first run: the time still owed
  // stays as it was, or every rewind would leave this peer behind its clock.
  const double owed = global::time_acc;
  // Every replayed step gets the flags of its own time, this input's from
  // its stamp on.
  for (uint32_t t = stamp; t < now; ++t) {
    Network::input_log.ApplyFlagsAt(t, &global::players);
    SimulationStep(kReplayStepLength);
  }
  global::time_acc = owed;
  Network::input_log.ApplyFlagsAt(now, &global::players);
  global::last_rewind_steps = time_diff;
  global::last_rewind_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - replay_start)
          .count();
}

}  // namespace

void HandleCommand(Network::Command command) {
  // A flag set without going through SendInput still counts from now on.
  Network::input_log.Reconcile(global::players, global::simulation_time);
  switch (command.type) {
    case Network::MSG_SYNC_BODIES:
      ApplySync(command);
      break;
    case Network::MSG_SEND_INPUT:
      ApplyInput(command);
      break;
    default:
      break;
  }
  // Step reports, checksums and repairs; key changes count as step reports.
  Agreement::OnCommand(command, global::GLUT_time);
  const uint32_t now = global::simulation_time;
  if (now > RBody::kHistoryLength)
    Network::input_log.Forget(now - static_cast<uint32_t>(RBody::kHistoryLength));
  std::fflush(stdout);
}
