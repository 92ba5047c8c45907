#pragma once

// The GLUT idle callback of the windowed program: reads GLUT's clock, runs a
// frame (app/frame.h), turns the camera and asks for a redraw.
void Idle();
