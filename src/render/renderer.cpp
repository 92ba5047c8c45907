#include "render/renderer.h"

#include <GL/freeglut.h>
#include <GL/gl.h>
#include <GL/glu.h>

#include <algorithm>
#include <string>

#include "app/globals.h"
#include "app/status.h"

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

// The players' boxes stand out on both screens: this player's own, and the
// other's. Drawing only; a body's colour in the scene stays as it is.
const GLfloat kOwnColour[4] = {1.0f, 0.55f, 0.1f, 1.0f};
const GLfloat kOtherPlayerColour[4] = {0.85f, 0.3f, 0.85f, 1.0f};

// Overlay text: white on a dark, translucent panel, readable on black and
// over the boxes alike.
void* const kFont = GLUT_BITMAP_9_BY_15;
constexpr int kCharWidth = 9;
constexpr int kLineHeight = 17;
constexpr int kPadding = 6;
constexpr int kMargin = 8;

void SetMaterial(const GLfloat* colour) {
  glMaterialfv(GL_FRONT, GL_DIFFUSE, colour);
  glMaterialfv(GL_FRONT, GL_AMBIENT, colour);
}

void DrawBodyIn(RBody* rb, const GLfloat* colour);

struct SceneColour {
  explicit SceneColour(const RBody* rb)
      : rgba{static_cast<GLfloat>(rb->colour.x()), static_cast<GLfloat>(rb->colour.y()),
             static_cast<GLfloat>(rb->colour.z()), 1.0f} {}
  GLfloat rgba[4];
};

void DrawBodies() {
  const std::vector<Player>& players = global::players;
  for (RBody* rb : *bodies) {
    const SceneColour colour(rb);
    const GLfloat* use = colour.rgba;
    for (std::size_t i = 0; i < players.size(); ++i) {
      if (players[i].controlled_body == rb)
        use = i == global::player_id ? kOwnColour : kOtherPlayerColour;
    }
    DrawBodyIn(rb, use);
  }
}

// A block of lines in the top left or top right corner, in window pixels.
void DrawPanel(const std::vector<std::string>& lines, bool right) {
  std::size_t longest = 0;
  for (const std::string& line : lines)
    longest = std::max(longest, line.size());
  const int w = static_cast<int>(longest) * kCharWidth + 2 * kPadding;
  const int h = static_cast<int>(lines.size()) * kLineHeight + 2 * kPadding;
  const int x = right ? width - w - kMargin : kMargin;
  const int y = kMargin;

  glMatrixMode(GL_PROJECTION);
  glPushMatrix();
  glLoadIdentity();
  gluOrtho2D(0, width, height, 0);  // y down, as text is read
  glMatrixMode(GL_MODELVIEW);
  glPushMatrix();
  glLoadIdentity();
  glPushAttrib(GL_ENABLE_BIT | GL_CURRENT_BIT | GL_COLOR_BUFFER_BIT);
  glDisable(GL_LIGHTING);
  glDisable(GL_DEPTH_TEST);
  glEnable(GL_BLEND);
  glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
  glColor4f(0.05f, 0.05f, 0.1f, 0.7f);
  glRecti(x, y, x + w, y + h);
  glColor4f(1.0f, 1.0f, 1.0f, 1.0f);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    // The raster position is the text's baseline.
    glRasterPos2i(x + kPadding, y + kPadding + static_cast<int>(i + 1) * kLineHeight - 4);
    glutBitmapString(kFont, reinterpret_cast<const unsigned char*>(lines[i].c_str()));
  }
  glPopAttrib();
  glPopMatrix();
  glMatrixMode(GL_PROJECTION);
  glPopMatrix();
  glMatrixMode(GL_MODELVIEW);
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
  if (bodies != nullptr)
    DrawBodies();
  if (global::show_status)
    DrawPanel(Status::StatusLines(), false);
  if (global::show_help)
    DrawPanel(Status::HelpLines(), true);
  glutSwapBuffers();
}

void DrawBody(RBody* rb) {
  DrawBodyIn(rb, SceneColour(rb).rgba);
}

namespace {

void DrawBodyIn(RBody* rb, const GLfloat* colour) {
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

}  // namespace

}  // namespace Renderer
