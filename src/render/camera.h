#pragma once

#include "math/vector3.h"

// The orbiting camera: plain maths, no GL, so that the input code and the
// tests reach it without a window. The renderer (render/renderer.h) reads it.
namespace Renderer {

// The eye orbits the world origin on a sphere; up is +z.
extern float camera_radius;       // distance from the origin
extern float camera_longitude;    // radians about +z, from +x towards +y; not wrapped
extern float camera_polar_angle;  // radians from +z, kept within [0.1, 3.1]
extern Vector3 cameraPos;         // eye, world

// Wheel step towards or away from the origin, and the closest the eye comes.
constexpr float kZoomStep = 4.0f;
constexpr float kMinRadius = 5.0f;
// Pointer pixels per radian of camera turn.
constexpr float kPixelsPerRadian = 200.0f;
// The eye never reaches a pole, so the up direction +z never lies along the
// line of sight (gluLookAt would be undefined there).
constexpr double kMinPolarAngle = 0.1;
constexpr double kMaxPolarAngle = 3.1;

// v and h are pointer motions in pixels (v down, h right); up and down are one
// wheel step each and cancel when both are set.
void RotateCamera(float v, float h, bool up, bool down);
// Width over height for the projection. A window of height 0 (minimised) is
// treated as 1 pixel high so that the ratio stays finite.
double AspectRatio(int w, int h);

}  // namespace Renderer
