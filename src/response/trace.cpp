#include "response/trace.h"

namespace Trace {

namespace {
Sink* current = nullptr;
thread_local Sink* this_thread = nullptr;
}  // namespace

void SetSink(Sink* sink) {
  current = sink;
}

void SetThreadSink(Sink* sink) {
  this_thread = sink;
}

Sink* CurrentSink() {
  return this_thread != nullptr ? this_thread : current;
}

}  // namespace Trace
