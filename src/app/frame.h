#pragma once

// Maximum simulation steps in one frame. A backlog beyond it (after a stall)
// is carried to later frames, never dropped.
constexpr int kMaxStepsPerFrame = 10;
// Network events serviced in one frame at most: one key change or sync, and
// the extra messages before it.
constexpr int kMaxEventsPerFrame = 16;

// One frame of the loop, given the wall clock in seconds: accounts the
// elapsed time, samples the keys, services the network once, and runs as many
// fixed steps as the accumulated time allows. Time enters the simulation here
// and nowhere else, so tests drive it with chosen times.
void RunFrame(double now_seconds);
