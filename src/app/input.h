#pragma once

// Keyboard and mouse: the GLUT callbacks only record raw state; once per frame
// UpdateControls turns key changes into the own player's flags and input
// messages, and RotateCamera turns pointer drags and wheel steps into camera
// motion.

// GLUT's mouse codes, repeated here because the input handlers live in the
// core, which includes no GLUT header. The GLUT shell checks that they match.
namespace input {
constexpr int kLeftButton = 0;  // GLUT_LEFT_BUTTON
constexpr int kWheelUp = 3;     // freeglut reports the wheel as buttons 3 and 4
constexpr int kWheelDown = 4;
constexpr int kPressed = 0;  // GLUT_DOWN
}  // namespace input

void Keyboard(unsigned char key, int x, int y);
void KeyboardUp(unsigned char key, int x, int y);
void Mouse(int button, int state, int x, int y);
void MouseMotion(int x, int y);

// Once per frame, before the network is serviced.
void UpdateControls();
// Once per frame, after the steps.
void RotateCamera();
