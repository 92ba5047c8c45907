#pragma once

#include <vector>

class RBody;

// Explicit Euler on a body's state derivative. Velocity and position advance
// separately so the step can handle contacts in between; static and frozen
// bodies are skipped.
namespace ODESolver {
void EulerStepVel(RBody& body, double delta_time);
void EulerStepPos(RBody& body, double delta_time);
// Per body: velocity, then position with the new velocity.
void EulerStepAll(std::vector<RBody*>* bodies, double delta_time);
void EulerStepAllVel(std::vector<RBody*>* bodies, double delta_time);
void EulerStepAllPos(std::vector<RBody*>* bodies, double delta_time);
}  // namespace ODESolver
