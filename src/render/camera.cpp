#include <cmath>

#include "render/camera.h"

namespace Renderer {

float camera_radius = 60.0f;
float camera_longitude = 2.0f;
float camera_polar_angle = 1.5f;
Vector3 cameraPos;  // set from the three values above by InitDisplay

void RotateCamera(float v, float h, bool up, bool down) {
  if (up)
    camera_radius -= kZoomStep;
  if (down)
    camera_radius += kZoomStep;
  if (camera_radius < kMinRadius)
    camera_radius = kMinRadius;

  // Dragging down (v > 0) lifts the eye towards the +z pole.
  double p = camera_polar_angle - v / kPixelsPerRadian;
  if (p > kMaxPolarAngle)
    camera_polar_angle = static_cast<float>(kMaxPolarAngle);
  else if (p < kMinPolarAngle)
    camera_polar_angle = static_cast<float>(kMinPolarAngle);
  else
    camera_polar_angle = static_cast<float>(p);

  // Dragging right (h > 0) turns the eye clockwise about z, seen from above.
  camera_longitude -= h / kPixelsPerRadian;

  double r = camera_radius;
  double theta = camera_polar_angle;
  double phi = camera_longitude;
  cameraPos = Vector3(r * std::sin(theta) * std::cos(phi), r * std::sin(theta) * std::sin(phi),
                      r * std::cos(theta));
}

double AspectRatio(int w, int h) {
  return static_cast<double>(w) / static_cast<double>(h > 0 ? h : 1);
}

}  // namespace Renderer
