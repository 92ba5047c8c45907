#pragma once

#include <vector>

#include "body/rbody.h"
#include "render/camera.h"

// The GLUT window and the drawing of the bodies, in the windowed program only
// (everything here calls GL or GLUT). The renderer only reads the bodies.
namespace Renderer {

extern int width;  // window size, pixels
extern int height;
extern std::vector<RBody*>* bodies;  // the application's body list; null until InitDisplay
// w = 0 makes light 0 directional. It is set before the camera transform, so
// it stays fixed relative to the viewer.
extern float lightPos[4];

void InitDisplay(int* argc, char** argv, std::vector<RBody*>* bodies, int w, int h);
void Reshape(int w, int h);
void Display();
void DrawBody(RBody* rb);

}  // namespace Renderer
