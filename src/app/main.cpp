#include <GL/freeglut.h>

#include <cstdio>
#include <cstring>

#include "app/controls.h"
#include "app/frame.h"
#include "app/globals.h"
#include "app/scene.h"
#include "net/network.h"
#include "render/renderer.h"

namespace {

constexpr int kWindowWidth = 800;
constexpr int kWindowHeight = 600;

}  // namespace

// Opens the window, then starts the role the command line names. The window
// exists before the arguments are looked at, also when they turn out wrong.
int Init(int* argc, char** argv) {
  Renderer::InitDisplay(argc, argv, &global::bodies, kWindowWidth, kWindowHeight);
  // Program name, role, and a scene path or host address; GLUT has already
  // taken its own options out of the list.
  if (*argc < 3)
    return -1;

  if (std::strcmp(argv[1], "h") == 0) {
    if (PrepareScene(argv[2]) != 0)
      return -1;
    // The host's own player pushes the first body; without one there is
    // nothing to control, and a client would get no body either.
    if (global::bodies.empty()) {
      std::printf(
          "Scene file %s has no bodies: the host's player needs at "
          "least one.\n",
          argv[2]);
      return -1;
    }
    Network::CreateHost(&global::bodies, &global::players);
    global::is_host = true;
    global::player_id = 0;
    global::players.push_back(Player(0, global::bodies[0]));
    return 0;
  }
  if (std::strcmp(argv[1], "c") == 0) {
    // A failed connection is reported by Connect; the program runs on empty.
    Network::Connect(argv[2], &global::bodies, &global::players);
    global::is_host = false;
    return 0;
  }
  std::printf(
      "Unrecognized option, first argument must be 'h' for host or 'c' "
      "for client.\n");
  return -1;
}

int main(int argc, char** argv) {
  // Messages are single lines; let each one out as it is printed, also when
  // standard output is a pipe or a file.
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  if (Init(&argc, argv) != 0) {
    std::printf("Failed to initialise!\n");
    return -1;
  }
  // Holding a key must give one press and one release, not a stream of them.
  glutSetKeyRepeat(GLUT_KEY_REPEAT_OFF);
  glutKeyboardFunc(Keyboard);
  glutKeyboardUpFunc(KeyboardUp);
  glutMouseFunc(Mouse);
  glutMotionFunc(MouseMotion);
  glutIdleFunc(Idle);
  glutMainLoop();
  global::dumpfile.close();
  return 0;
}
