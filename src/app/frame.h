#pragma once

// Maximum simulation steps in one frame. A backlog beyond it (after a stall)
// is carried to later frames, never dropped.
constexpr int kMaxStepsPerFrame = 10;
// Simulated seconds per step at speed 1.
constexpr double kBaseStepLength = 0.04;

// One frame of the loop, given the wall clock in seconds since GLUT started:
// accounts the elapsed time, samples the keys, services the network once,
// and runs as many fixed steps as the accumulated time allows. Time enters
// the simulation here and nowhere else, so tests drive it with chosen times.
void RunFrame(double now_seconds);

// The GLUT idle callback (GLUT shell): reads the clock, runs a frame, turns
// the camera and asks for a redraw.
void Idle();
