#include "render/renderer.h"

#include <GL/freeglut.h>
#include <GL/gl.h>
#include <GL/glu.h>

namespace Renderer {

int width = 0;
int height = 0;
std::vector<RBody*>* bodies = nullptr;
float lightPos[4] = {10.0f, 10.0f, 10.0f, 0.0f};

namespace {

const GLfloat kAmbientLight[4] = {0.5f, 0.5f, 0.5f, 1.0f};
const GLfloat kEdgeColour[4] = {0.0f, 0.0f, 0.0f, 1.0f};
constexpr GLfloat kEdgeWidth = 2.5f;
constexpr double kFieldOfViewDegrees = 40.0;  // vertical
constexpr double kNearPlane = 0.5;
constexpr double kFarPlane = 1000.0;

void SetMaterial(const GLfloat* colour) {
  glMaterialfv(GL_FRONT, GL_DIFFUSE, colour);
  glMaterialfv(GL_FRONT, GL_AMBIENT, colour);
}

}  // namespace

void InitDisplay(int* argc, char** argv, std::vector<RBody*>* body_list, int w, int h) {
  width = w;
  height = h;
  bodies = body_list;

  glutInit(argc, argv);
  glutInitDisplayMode(GLUT_RGBA | GLUT_DOUBLE | GLUT_DEPTH | GLUT_MULTISAMPLE);
  glutInitWindowSize(width, height);
  glutCreateWindow("Test");

  glEnable(GL_MULTISAMPLE);
  glEnable(GL_DEPTH_TEST);
  glDepthFunc(GL_LESS);
  glShadeModel(GL_SMOOTH);
  glEnable(GL_LIGHTING);
  glEnable(GL_LIGHT0);
  glLightModelfv(GL_LIGHT_MODEL_AMBIENT, kAmbientLight);

  glutDisplayFunc(Display);
  glutReshapeFunc(Reshape);

  RotateCamera(0.0f, 0.0f, false, false);
}

void Reshape(int w, int h) {
  width = w;
  height = h;
  glViewport(0, 0, w, h);
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  gluPerspective(kFieldOfViewDegrees, AspectRatio(width, height), kNearPlane, kFarPlane);
  glMatrixMode(GL_MODELVIEW);
}

void Display() {
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  glLoadIdentity();
  glLightfv(GL_LIGHT0, GL_POSITION, lightPos);
  gluLookAt(cameraPos.x(), cameraPos.y(), cameraPos.z(), 0.0, 0.0, 0.0, 0.0, 0.0, 1.0);
  if (bodies != nullptr) {
    for (RBody* rb : *bodies)
      DrawBody(rb);
  }
  glutSwapBuffers();
}

void DrawBody(RBody* rb) {
  // OpenGL wants column-major: element (i, j) of the body-to-world rotation
  // goes to index 4 * j + i.
  Matrix3x3 r = rb->RotationMatrix();
  GLdouble m[16] = {};
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j)
      m[4 * j + i] = r(i, j);
  }
  m[15] = 1.0;

  glPushMatrix();
  glTranslatef(static_cast<GLfloat>(rb->pos.x()), static_cast<GLfloat>(rb->pos.y()),
               static_cast<GLfloat>(rb->pos.z()));
  glMultMatrixd(m);

  // From here on coordinates are the body's own.
  const GLfloat colour[4] = {static_cast<GLfloat>(rb->colour.x()),
                             static_cast<GLfloat>(rb->colour.y()),
                             static_cast<GLfloat>(rb->colour.z()), 1.0f};
  SetMaterial(colour);
  for (int i = 0; i < rb->FaceNum(); ++i) {
    Face face = rb->GetFace(i);
    glBegin(GL_POLYGON);
    glNormal3d(face.n.x(), face.n.y(), face.n.z());
    for (const Vector3& v : face.vertices)
      glVertex3d(v.x(), v.y(), v.z());
    glEnd();
  }

  SetMaterial(kEdgeColour);
  for (const Edge& e : rb->edges) {
    glLineWidth(kEdgeWidth);
    glBegin(GL_LINES);
    glVertex3d(e.a.x(), e.a.y(), e.a.z());
    glVertex3d(e.b.x(), e.b.y(), e.b.z());
    glEnd();
  }

  glPopMatrix();
}

}  // namespace Renderer
