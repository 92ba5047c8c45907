#include "response/trace.h"

namespace Trace {

namespace {
Sink* current = nullptr;
}  // namespace

void SetSink(Sink* sink) {
  current = sink;
}

Sink* CurrentSink() {
  return current;
}

}  // namespace Trace
