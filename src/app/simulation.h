#pragma once

// Simulated seconds per step at speed 1. The frame loop's steps are this
// times the speed factor; catch-up and replay steps are this exactly, so a
// paused or slowed peer rewinds in the same steps as the other.
constexpr double kBaseStepLength = 0.04;

// One fixed step of the physics over global::bodies. Does nothing when there
// are no bodies; otherwise lowers global::time_acc by delta_time and advances
// global::simulation_time by one.
void SimulationStep(double delta_time);
// Every body's force becomes its weight.
void ResetForces();
// Every body's state goes onto its history.
void PushStates();

// Back to the state of a fresh process, for tests, tools and benchmarks that
// run several scenes in one process: deletes the bodies and any collision
// records, empties the lists, zeroes the counters and closes the dump file (so
// the next record opens it again, in the then current directory) and
// detaches the solvers' trace.
void ResetSimulation();
