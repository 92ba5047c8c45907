#pragma once

// GLUT's mouse codes, repeated here because the input handlers live in the
// core, which includes no GLUT header. The GLUT shell checks that they match.
namespace input {
constexpr int kLeftButton = 0;  // GLUT_LEFT_BUTTON
constexpr int kWheelUp = 3;     // freeglut reports the wheel as buttons 3 and 4
constexpr int kWheelDown = 4;
constexpr int kPressed = 0;  // GLUT_DOWN
}  // namespace input
