#include "response/trace.h"

namespace Trace {

namespace {
Sink* current = nullptr;
thread_local Sink* this_thread = nullptr;
}  // namespace

void Sink::Replay(const Report* reports, std::size_t count) {
  for (std::size_t k = 0; k < count; ++k) {
    const Report& r = reports[k];
    if (r.has_level)
      Level(r.lvl, r.a, r.b);
    if (r.has_point)
      Point(r.point, r.depth);
  }
}

void SetSink(Sink* sink) {
  current = sink;
}

Sink* SetThreadSink(Sink* sink) {
  Sink* before = this_thread;
  this_thread = sink;
  return before;
}

Sink* CurrentSink() {
  return this_thread != nullptr ? this_thread : current;
}

}  // namespace Trace
