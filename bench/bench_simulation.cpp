// Cost of one simulation step on piles of 8, 27, 64 and 125 boxes resting on
// a static floor, and of 50 steps of the 8-box pile, which is what a rewind
// over the whole history replays.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/dump.h"
#include "app/globals.h"
#include "app/simulation.h"
#include "response/trace.h"

namespace {

constexpr double kStep = kBaseStepLength;
// Steps run before measuring, so the boxes rest rather than fall.
constexpr int kSettleSteps = 100;

// A floor and side^3 unit cubes in side x side columns, each side cubes high,
// standing on each other with 10 cm between the columns.
void BuildPile(int side) {
  ResetSimulation();
  // The dump is part of a step's cost, as in the program.
  Trace::SetSink(global::DumpSink());
  RBody* floor = new RBody(1, 40, 40, 1, "floor");
  floor->pos = Vector3(0, 0, -0.5);
  floor->is_static = true;
  global::bodies.push_back(floor);
  const double pitch = 1.1, offset = (side - 1) * pitch / 2;
  for (int i = 0; i < side; ++i)
    for (int j = 0; j < side; ++j)
      for (int k = 0; k < side; ++k) {
        RBody* b = new RBody(1, 1, 1, 1, "box");
        b->pos = Vector3(i * pitch - offset, j * pitch - offset, 0.5 + k);
        global::bodies.push_back(b);
      }
  for (std::size_t i = 0; i < global::bodies.size(); ++i) {
    global::bodies[i]->id = static_cast<int>(i);
    global::old_state.push_back(global::bodies[i]->State());
  }
  for (int s = 0; s < kSettleSteps; ++s)
    SimulationStep(kStep);
}

void BM_SimulationStep(benchmark::State& state) {
  const int side = static_cast<int>(state.range(0));
  BuildPile(side);
  for (auto _ : state)
    SimulationStep(kStep);
  state.counters["boxes"] = side * side * side;
  ResetSimulation();
}
BENCHMARK(BM_SimulationStep)->Arg(2)->Arg(3)->Arg(4)->Arg(5)->Unit(benchmark::kMillisecond);

void BM_Replay50Steps(benchmark::State& state) {
  BuildPile(2);
  std::vector<RBState> start;
  for (RBody* b : global::bodies)
    start.push_back(b->State());
  for (auto _ : state) {
    for (std::size_t s = 0; s < RBody::kHistoryLength; ++s)
      SimulationStep(kStep);
    state.PauseTiming();
    for (std::size_t i = 0; i < start.size(); ++i)
      global::bodies[i]->ApplyState(start[i]);
    state.ResumeTiming();
  }
  ResetSimulation();
}
BENCHMARK(BM_Replay50Steps)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  // Every step writes dump0.txt into the current folder: keep it out of the
  // way.
  char dir[] = "/tmp/boxsim-bench-XXXXXX";
  if (mkdtemp(dir) == nullptr || chdir(dir) != 0) {
    std::printf("boxsim_bench: cannot make a scratch folder\n");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv))
    return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::remove("dump0.txt");
  rmdir(dir);
  return 0;
}
