// Cost of one simulation step on piles of 8, 27, 64 and 125 boxes resting on
// a static floor and on a 127-body scene, of 50 steps (what a rewind over the
// whole history replays) on the 8- and 125-box piles, and the memory of a long
// 127-body run.

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "app/globals.h"
#include "app/simulation.h"
#include "piles.h"

namespace {

void BM_SimulationStep(benchmark::State& state) {
  const int side = static_cast<int>(state.range(0));
  const int extra = static_cast<int>(state.range(1));
  bench::BuildBoxsim(bench::Pile(side, extra));
  for (auto _ : state)
    SimulationStep(bench::kStep);
  state.counters["bodies"] = static_cast<double>(global::bodies.size());
  ResetSimulation();
}
BENCHMARK(BM_SimulationStep)
    ->Args({2, 0})
    ->Args({3, 0})
    ->Args({4, 0})
    ->Args({5, 0})
    ->Args({5, 1})
    ->Unit(benchmark::kMillisecond);

void BM_Replay50Steps(benchmark::State& state) {
  bench::BuildBoxsim(bench::Pile(static_cast<int>(state.range(0))));
  std::vector<RBState> start;
  for (RBody* b : global::bodies)
    start.push_back(b->State());
  for (auto _ : state) {
    for (std::size_t s = 0; s < RBody::kHistoryLength; ++s)
      SimulationStep(bench::kStep);
    state.PauseTiming();
    for (std::size_t i = 0; i < start.size(); ++i)
      global::bodies[i]->ApplyState(start[i]);
    state.ResumeTiming();
  }
  state.counters["bodies"] = static_cast<double>(global::bodies.size());
  ResetSimulation();
}
BENCHMARK(BM_Replay50Steps)->Arg(2)->Arg(5)->Unit(benchmark::kMillisecond);

// Resident set now, in KiB (Linux).
double ResidentKiB() {
  std::ifstream statm("/proc/self/statm");
  long pages_total = 0, pages_resident = 0;
  statm >> pages_total >> pages_resident;
  return static_cast<double>(pages_resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1024;
}

// 20,000 steps of the 127-body scene: the peak resident set of the process,
// and how far the resident set grew from step 1,000 (histories full, buffers
// grown) to 10,000, and from there to 20,000. The first follows the contacts,
// which grow in number as the pile spreads (the records alive at once and
// their lists' storage); once they have settled, growth should be 0.
void BM_Memory127Bodies20000Steps(benchmark::State& state) {
  auto run_to = [](int from, int to) {
    for (int s = from; s < to; ++s)
      SimulationStep(bench::kStep);
  };
  for (auto _ : state) {
    bench::BuildBoxsim(bench::Pile(5, 1));
    run_to(0, 1000);
    const double at_1000 = ResidentKiB();
    run_to(1000, 10000);
    const double at_10000 = ResidentKiB();
    run_to(10000, 20000);
    state.counters["rss_growth_KiB"] = at_10000 - at_1000;
    state.counters["rss_growth_late_KiB"] = ResidentKiB() - at_10000;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["peak_rss_KiB"] = static_cast<double>(usage.ru_maxrss);
    ResetSimulation();
  }
}
BENCHMARK(BM_Memory127Bodies20000Steps)->Iterations(1)->Repetitions(1)->Unit(benchmark::kSecond);

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
