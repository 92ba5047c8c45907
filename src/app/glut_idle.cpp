#include "app/glut_idle.h"

#include <GL/freeglut.h>

#include "app/frame.h"
#include "app/input.h"

static_assert(input::kLeftButton == GLUT_LEFT_BUTTON, "left button code differs from GLUT's");
static_assert(input::kPressed == GLUT_DOWN, "button state code differs from GLUT's");

// Milliseconds per second, for glutGet(GLUT_ELAPSED_TIME).
constexpr double kMillisecondsPerSecond = 1000.0;

void Idle() {
  double t = glutGet(GLUT_ELAPSED_TIME) / kMillisecondsPerSecond;
  RunFrame(t);
  RotateCamera();
  glutPostRedisplay();
}
