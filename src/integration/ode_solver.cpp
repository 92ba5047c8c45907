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
  // The position half of StateDerivative, which is all this step uses: the
  // same expressions, without the inertia products the velocity half needs.
  const Vector3 d_pos = body.vel;
  const Quaternion d_ang_pos = (Quaternion(0, body.ang_vel) * body.GetAngPos()) * 0.5;
  body.pos = body.pos + d_pos * delta_time;
  body.SetAngPos(body.GetAngPos() + d_ang_pos * delta_time);
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
