#include "response/trace.h"

namespace Trace {

namespace {
Sink* current = nullptr;
thread_local Sink* this_thread = nullptr;
}  // namespace

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
