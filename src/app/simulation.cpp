#include "app/simulation.h"

#include <functional>

#include "app/controls.h"
#include "app/dump.h"
#include "app/globals.h"
#include "collision/cdetector.h"
#include "collision/pair_threads.h"
#include "integration/ode_solver.h"
#include "response/csolver.h"
#include "response/resting.h"
#include "response/trace.h"

namespace {

// Single precision on purpose: the peers agree on this value.
constexpr float kGravity = 9.8f;
// Every record is solved by the first pass; the other two find the list
// empty. Kept because that is how the step is defined.
constexpr int kCollisionPasses = 3;
// Every pair with a contact point is stored, resting pairs included.
constexpr double kDetectionThreshold = 0.0;

// job(i) for every body i, when what it does to body i reads and writes
// body i alone: the order among bodies cannot matter, so a large scene
// shares them out over both threads, a few bodies at a time.
void EachBody(std::size_t count, const std::function<void(std::size_t)>& job) {
  if (count < PairThreads::kFrom) {
    for (std::size_t i = 0; i < count; ++i)
      job(i);
    return;
  }
  constexpr std::size_t kChunk = 8;
  PairThreads::Run((count + kChunk - 1) / kChunk, [&](std::size_t k) {
    for (std::size_t i = k * kChunk; i < count && i < (k + 1) * kChunk; ++i)
      job(i);
  });
}

}  // namespace

void ResetForces() {
  for (RBody* b : global::bodies)
    b->forces = Vector3(0, 0, -kGravity * b->mass);
}

void PushStates() {
  for (RBody* b : global::bodies)
    b->PushState();
}

void SimulationStep(double delta_time) {
  std::vector<RBody*>& bodies = global::bodies;
  if (bodies.empty())
    return;
  const PairThreads::TimedStep timed;

  ResetForces();
  for (const Player& player : global::players)
    ControlBody(player);
  // The frame loop keeps one entry per body; a caller that changed the body
  // list without it must not make the step write past the end.
  if (global::old_state.size() != bodies.size())
    global::old_state.resize(bodies.size());

  // On this thread: the histories' deques allocate and free their blocks as
  // they go, and blocks taken on one thread and given back on the other
  // leave the allocator's arenas growing.
  PushStates();

  // Collisions are found at the predicted positions but answered with the
  // velocities of the start of the step.
  EachBody(bodies.size(), [&](std::size_t i) {
    RBody* b = bodies[i];
    global::old_state[i] = b->State();
    ODESolver::EulerStepVel(*b, delta_time);
    ODESolver::EulerStepPos(*b, delta_time);
  });
  CDetector::CheckAll(&bodies, &global::collisions, &global::contacts, kDetectionThreshold);
  for (std::size_t i = 0; i < bodies.size(); ++i)
    bodies[i]->ApplyVel(global::old_state[i]);
  for (int pass = 0; pass < kCollisionPasses; ++pass)
    CSolver::SolveAllCollisions(&global::collisions, delta_time);

  EachBody(bodies.size(), [&](std::size_t i) {
    RBody* b = bodies[i];
    b->ApplyPos(global::old_state[i]);
    ODESolver::EulerStepVel(*b, delta_time);
    b->ResetForceTorque();
  });
  Resting::SolveAll(&bodies, delta_time);
  EachBody(bodies.size(), [&](std::size_t i) { ODESolver::EulerStepPos(*bodies[i], delta_time); });

  global::time_acc -= delta_time;
  global::simulation_time += 1;
}

void ResetSimulation() {
  for (Collision* c : global::collisions)
    delete c;
  global::collisions.clear();
  for (Collision* c : global::contacts)
    delete c;
  global::contacts.clear();
  for (RBody* b : global::bodies)
    delete b;
  global::bodies.clear();
  global::old_state.clear();
  global::players.clear();
  global::player_id = 0;
  global::simulation_time = 0;
  global::is_host = false;
  global::speed = 1.0;
  global::time_acc = 0.0;
  global::GLUT_time = 0.0;
  global::last_rewind_steps = 0;
  global::last_rewind_ms = 0.0;
  global::CloseDump();
  global::dumpfile.clear();
  global::ResetDump();
  Trace::SetSink(nullptr);
}
