#include "piles.h"

#include "app/dump.h"
#include "app/globals.h"
#include "app/simulation.h"
#include "response/trace.h"

namespace bench {

std::vector<BoxSpec> Pile(int side, int extra_on_top) {
  std::vector<BoxSpec> specs;
  specs.push_back(BoxSpec{{40, 40, 1}, {0, 0, -0.5}, true});
  const double pitch = 1.1, offset = (side - 1) * pitch / 2;
  for (int i = 0; i < side; ++i)
    for (int j = 0; j < side; ++j)
      for (int k = 0; k < side; ++k)
        specs.push_back(
            BoxSpec{{1, 1, 1}, {i * pitch - offset, j * pitch - offset, 0.5 + k}, false});
  for (int e = 0; e < extra_on_top; ++e) {
    const int i = e / side % side, j = e % side;
    specs.push_back(
        BoxSpec{{1, 1, 1}, {i * pitch - offset, j * pitch - offset, 0.5 + side}, false});
  }
  return specs;
}

void BuildBoxsim(const std::vector<BoxSpec>& specs) {
  ResetSimulation();
  // The dump is part of a step's cost, as in the program.
  Trace::SetSink(global::DumpSink());
  for (const BoxSpec& s : specs) {
    RBody* b = new RBody(1, s.size[0], s.size[1], s.size[2], s.is_static ? "floor" : "box");
    b->pos = Vector3(s.pos[0], s.pos[1], s.pos[2]);
    b->is_static = s.is_static;
    global::bodies.push_back(b);
  }
  for (std::size_t i = 0; i < global::bodies.size(); ++i) {
    global::bodies[i]->id = static_cast<int>(i);
    global::old_state.push_back(global::bodies[i]->State());
  }
  for (int s = 0; s < kSettleSteps; ++s)
    SimulationStep(kStep);
}

}  // namespace bench
