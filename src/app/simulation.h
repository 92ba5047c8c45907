#pragma once

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
// the next record opens it again, in the then current directory).
void ResetSimulation();
