#pragma once

#include <cstddef>

#include "math/vector3.h"

// What the contact solvers report while they work: a state record before and
// after the resting passes, the contact level of each pair about to be
// solved, and the point and depth of each contact impulse. The application's
// diagnostic dump is such a sink; the physics itself neither knows nor needs
// one, so without a sink (as in most tests) nothing is written anywhere.
namespace Trace {

// What one solve reported, taken down for a sink to have later (see Replay).
struct Report {
  bool has_level = false;
  int lvl = 0, a = 0, b = 0;
  bool has_point = false;
  Vector3 point;
  double depth = 0;
};

class Sink {
 public:
  virtual ~Sink() = default;
  virtual void StateRecord() = 0;
  // lvl: contact level; a, b: ids of the pair's two bodies.
  virtual void Level(int lvl, int a, int b) = 0;
  // World point of the impulse and the depth of the chosen contact.
  virtual void Point(const Vector3& max_point, double depth) = 0;
  // Reports taken down elsewhere, in their order, as if each had come by
  // Level and then Point; by default just that. A sink may take them at
  // once: the solvers hand them on while the other thread waits.
  virtual void Replay(const Report* reports, std::size_t count);
};

// The sink the solvers report to from now on, or null for none. Not owned.
void SetSink(Sink* sink);
// The calling thread's sink in place of the shared one while set; null gives
// the shared one back. Returns the one it replaces. For solvers that run on
// two threads and put the reports in order afterwards.
Sink* SetThreadSink(Sink* sink);
Sink* CurrentSink();

}  // namespace Trace
