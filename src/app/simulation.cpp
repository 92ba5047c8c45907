#include "app/simulation.h"

#include "app/controls.h"
#include "app/dump.h"
#include "app/globals.h"
#include "collision/cdetector.h"
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

  ResetForces();
  for (const Player& player : global::players)
    ControlBody(player);
  PushStates();
  // The frame loop keeps one entry per body; a caller that changed the body
  // list without it must not make the step write past the end.
  if (global::old_state.size() != bodies.size())
    global::old_state.resize(bodies.size());
  for (std::size_t i = 0; i < bodies.size(); ++i)
    global::old_state[i] = bodies[i]->State();

  // Collisions are found at the predicted positions but answered with the
  // velocities of the start of the step.
  ODESolver::EulerStepAll(&bodies, delta_time);
  CDetector::CheckAll(&bodies, &global::collisions, &global::contacts, kDetectionThreshold);
  for (std::size_t i = 0; i < bodies.size(); ++i)
    bodies[i]->ApplyVel(global::old_state[i]);
  for (int pass = 0; pass < kCollisionPasses; ++pass)
    CSolver::SolveAllCollisions(&global::collisions, delta_time);
  for (std::size_t i = 0; i < bodies.size(); ++i)
    bodies[i]->ApplyPos(global::old_state[i]);

  ODESolver::EulerStepAllVel(&bodies, delta_time);
  for (RBody* b : bodies)
    b->ResetForceTorque();
  Resting::SolveAll(&bodies, delta_time);
  ODESolver::EulerStepAllPos(&bodies, delta_time);

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
