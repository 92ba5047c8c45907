#pragma once

#include "app/globals.h"

// Push of a held direction key, per unit of mass (single precision on purpose:
// the peers agree on this value).
constexpr float kPushAcceleration = 20.0f;

// Adds the player's push to its body's forces; once per player per step.
void ControlBody(Player player);

// GLUT input callbacks: they only record raw state.
void Keyboard(unsigned char key, int x, int y);
void KeyboardUp(unsigned char key, int x, int y);
void Mouse(int button, int state, int x, int y);
void MouseMotion(int x, int y);

// Once per frame: key changes become player flags and input messages.
void UpdateControls();
// Once per frame: pointer drag and wheel move the camera.
void RotateCamera();
