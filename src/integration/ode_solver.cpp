#include "integration/ode_solver.h"

#include "body/rbody.h"

namespace ODESolver {

void EulerStepVel(RBody& body, double delta_time) {
  if (body.is_static || body.is_frozen)
    return;
  RBState d = body.StateDerivative(body.State());
  body.vel = body.vel + d.vel * delta_time;
  body.ang_vel = body.ang_vel + d.ang_vel * delta_time;
}

void EulerStepPos(RBody& body, double delta_time) {
  if (body.is_static || body.is_frozen)
    return;
  RBState d = body.StateDerivative(body.State());
  body.pos = body.pos + d.pos * delta_time;
  body.SetAngPos(body.GetAngPos() + d.ang_pos * delta_time);
}

void EulerStepAll(std::vector<RBody*>* bodies, double delta_time) {
  for (RBody* b : *bodies) {
    EulerStepVel(*b, delta_time);
    EulerStepPos(*b, delta_time);
  }
}

void EulerStepAllVel(std::vector<RBody*>* bodies, double delta_time) {
  for (RBody* b : *bodies)
    EulerStepVel(*b, delta_time);
}

void EulerStepAllPos(std::vector<RBody*>* bodies, double delta_time) {
  for (RBody* b : *bodies)
    EulerStepPos(*b, delta_time);
}

}  // namespace ODESolver
