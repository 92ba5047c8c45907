#include <GL/freeglut.h>

#include <cstdio>
#include <cstring>

#include "app/dump.h"
#include "app/globals.h"
#include "app/glut_idle.h"
#include "app/input.h"
#include "app/startup.h"
#include "net/network.h"
#include "render/renderer.h"

namespace {

constexpr int kWindowWidth = 800;
constexpr int kWindowHeight = 600;

}  // namespace

// Opens the window, then starts the role the command line names. The window
// exists before the arguments are looked at, also when they turn out wrong.
// Returns 0, -1 for a start-up that failed, or 1 when the network could not
// start (the exit status).
int Init(int* argc, char** argv) {
  Renderer::InitDisplay(argc, argv, &global::bodies, kWindowWidth, kWindowHeight);
  // Program name, role, and a scene path or host address, then options; GLUT
  // has already taken its own options out of the list.
  if (*argc < 3)
    return -1;
  enet_uint16 port = Network::kPort;
  global::DumpOptions dump;
  for (int i = 3; i < *argc; ++i) {
    const int taken = ParseDumpOption(*argc, argv, &i, &dump);
    if (taken < 0)
      return -1;
    if (taken > 0)
      continue;
    if (std::strcmp(argv[i], "--port") == 0 && i + 1 < *argc) {
      if (!ParsePort(argv[++i], &port)) {
        std::printf("The port must be a whole number from 1 to 65535, not \"%s\".\n", argv[i]);
        return -1;
      }
    } else {
      std::printf(
          "Unrecognized option %s; the options are --port N, --dump PATH, --no-dump and "
          "--dump-limit MB.\n",
          argv[i]);
      return -1;
    }
  }
  global::ConfigureDump(dump);

  if (std::strcmp(argv[1], "h") == 0)
    return StartHost(argv[2], port);
  // A failed connection is reported by StartClient; the program runs on empty.
  if (std::strcmp(argv[1], "c") == 0)
    return StartClient(argv[2], port);
  std::printf(
      "Unrecognized option, first argument must be 'h' for host or 'c' "
      "for client.\n");
  return -1;
}

int main(int argc, char** argv) {
  // Messages are single lines; let each one out as it is printed, also when
  // standard output is a pipe or a file.
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  const int started = Init(&argc, argv);
  if (started == 1)
    return 1;
  if (started != 0) {
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
  global::CloseDump();
  return 0;
}
