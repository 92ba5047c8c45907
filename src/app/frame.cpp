#include "app/frame.h"

#include "app/agreement.h"
#include "app/commands.h"
#include "app/input.h"
#include "app/globals.h"
#include "app/simulation.h"
#include "net/network.h"

void RunFrame(double now_seconds) {
  // The first frame (GLUT_time 0) accounts for all time since GLUT started,
  // scene loading and a client's connection wait included.
  double time_elapsed = now_seconds - global::GLUT_time;
  double delta_time = kBaseStepLength * global::speed;
  // Paused (speed 0), no time accumulates.
  global::time_acc += time_elapsed * global::speed;

  UpdateControls();

  // One key change or sync per frame, as always; it may add bodies or
  // players, or rewind and replay steps. The extra messages (step reports,
  // checksums, repairs) do not take that place: the events after them are
  // serviced in the same frame, up to a bound.
  for (int event = 0; event < kMaxEventsPerFrame; ++event) {
    Network::Command command =
        global::is_host ? Network::HostLoop(global::simulation_time) : Network::ClientLoop();
    HandleCommand(command);
    if (command.type != Network::MSG_STEP_REPORT && command.type != Network::MSG_CHECKSUM &&
        command.type != Network::MSG_REPAIR)
      break;
  }

  // Once on a client, in the frame its bodies arrive.
  if (global::old_state.size() != global::bodies.size()) {
    global::old_state.clear();
    for (RBody* b : global::bodies)
      global::old_state.push_back(b->State());
  }

  // SimulationStep lowers time_acc. Without bodies it consumes nothing, so the
  // time piles up until they arrive and is then worked off at the cap.
  for (int steps = 0;
       global::time_acc >= delta_time && global::speed > 0 && steps < kMaxStepsPerFrame; ++steps) {
    if (!Agreement::MayStep(now_seconds)) {
      // Waiting is not owed time: run on from here once the other catches up.
      global::time_acc = 0;
      break;
    }
    SimulationStep(delta_time);
  }
  // A wait also ends while paused or between steps.
  if (global::speed == 0 || global::time_acc < delta_time)
    Agreement::MayStep(now_seconds);
  Agreement::AfterFrame(now_seconds);

  global::GLUT_time = now_seconds;
}
