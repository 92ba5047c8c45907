// boxsim-sim SCENE [--steps N] [--speed S]
// boxsim-sim --host SCENE | --connect ADDRESS [--port N] [--keys FILE] [--seconds T]
// Both take --dump PATH, --no-dump and --dump-limit MB.
//
// The first form loads SCENE as the host does, runs N fixed steps of 0.04 * S
// seconds, writes dump0.txt in the current directory like the program does,
// prints each body's final position and orientation, and last a hash of the
// exact bits of every body's state, so that two builds or machines can be
// compared. The second runs a host or client without a window on the wall
// clock (see headless_peer.h).

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/dump.h"
#include "app/globals.h"
#include "app/simulation.h"
#include "app/startup.h"
#include "app/state_hash.h"
#include "headless_peer.h"

namespace {

constexpr unsigned long kDefaultSteps = 250;

void PrintUsage(std::FILE* out) {
  std::fprintf(out,
               "usage: boxsim-sim SCENE [--steps N] [--speed S]\n"
               "       boxsim-sim --host SCENE | --connect ADDRESS [--port N] [--keys FILE]\n"
               "                  [--seconds T]\n"
               "The first form runs the scene file SCENE headless, as the host would, and\n"
               "writes dump0.txt in the current directory.\n"
               "  --steps N   number of simulation steps, a whole number >= 0 (default %lu)\n"
               "  --speed S   speed factor, a number >= 0; each step is 0.04 * S seconds\n"
               "              (default 1)\n"
               "It prints one line per body: id, name, position x y z and orientation s x y z,\n"
               "then, as the last line, \"state_hash\" and an FNV-1a 64 hash (hex) of the\n"
               "exact bits of every body's position, velocity, orientation and angular velocity.\n"
               "The second form is a host or client without a window, on the wall clock, with\n"
               "the program's frame loop and network; it writes dump<player>.txt.\n"
               "  --host SCENE       host the scene file SCENE\n"
               "  --connect ADDRESS  join the host at ADDRESS\n"
               "  --port N           UDP port of the host (default 1234)\n"
               "  --keys FILE        key changes, one per line: SECONDS KEY down|up\n"
               "                     (KEY is w, s, a, d, space or q; q ends the run)\n"
               "  --seconds T        run time in seconds (default 10)\n"
               "Both forms take the dump options:\n"
               "  --dump PATH        write the dump to PATH instead\n"
               "  --no-dump          write no dump\n"
               "  --dump-limit MB    stop writing the dump before it passes MB megabytes\n"
               "                     (10^6 bytes; decimals allowed)\n"
               "  --nudge STEP       test switch: move this peer's body by one bit at STEP\n"
               "  --base-protocol    test switch: send and heed none of the extra messages\n"
               "  --help             show this text\n",
               kDefaultSteps);
}

bool ParseSteps(const char* text, unsigned long* out) {
  if (*text == '\0' || *text == '-' || *text == '+')
    return false;
  for (const char* c = text; *c; ++c)
    if (*c < '0' || *c > '9')
      return false;
  errno = 0;
  char* end = nullptr;
  unsigned long value = std::strtoul(text, &end, 10);
  if (errno == ERANGE || *end != '\0')
    return false;
  *out = value;
  return true;
}

bool ParseSpeed(const char* text, double* out) {
  if (*text == '\0')
    return false;
  errno = 0;
  char* end = nullptr;
  double value = std::strtod(text, &end);
  if (errno == ERANGE || *end != '\0' || !std::isfinite(value) || value < 0)
    return false;
  *out = value;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // One line at a time, also into a pipe or file, as the program does.
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  const char* scene = nullptr;
  unsigned long steps = kDefaultSteps;
  double speed = 1.0;
  bool peer = false;
  PeerOptions options;
  global::DumpOptions dump;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      PrintUsage(stdout);
      return 0;
    }
    const bool takes_value = arg == "--steps" || arg == "--speed" || arg == "--host" ||
                             arg == "--connect" || arg == "--port" || arg == "--keys" ||
                             arg == "--seconds" || arg == "--nudge";
    if (takes_value && i + 1 >= argc) {
      std::printf("boxsim-sim: %s needs a value\n", arg.c_str());
      return 2;
    }
    const int taken = ParseDumpOption(argc, argv, &i, &dump);
    if (taken < 0)
      return 2;
    if (taken > 0)
      continue;
    if (arg == "--host" || arg == "--connect") {
      if (peer) {
        std::printf("boxsim-sim: --host and --connect go alone, once\n");
        return 2;
      }
      peer = true;
      options.host = arg == "--host";
      options.target = argv[++i];
      continue;
    }
    if (arg == "--port") {
      if (!ParsePort(argv[++i], &options.port)) {
        std::printf("boxsim-sim: --port wants a whole number from 1 to 65535, not \"%s\"\n",
                    argv[i]);
        return 2;
      }
      continue;
    }
    if (arg == "--keys") {
      if (!ReadKeyScript(argv[++i], &options.keys))
        return 2;
      continue;
    }
    if (arg == "--seconds") {
      if (!ParseSpeed(argv[++i], &options.seconds)) {
        std::printf("boxsim-sim: --seconds wants a finite number >= 0, not \"%s\"\n", argv[i]);
        return 2;
      }
      continue;
    }
    if (arg == "--base-protocol") {
      options.base_protocol = true;
      continue;
    }
    if (arg == "--nudge") {
      unsigned long step = 0;
      if (!ParseSteps(argv[++i], &step) || step > 0xffffffffUL) {
        std::printf("boxsim-sim: --nudge wants a step number, not \"%s\"\n", argv[i]);
        return 2;
      }
      options.nudge = true;
      options.nudge_step = static_cast<uint32_t>(step);
      continue;
    }
    if (arg == "--steps" || arg == "--speed") {
      const char* value = argv[++i];
      if (arg == "--steps" && !ParseSteps(value, &steps)) {
        std::printf("boxsim-sim: --steps wants a whole number >= 0, not \"%s\"\n", value);
        return 2;
      }
      if (arg == "--speed" && !ParseSpeed(value, &speed)) {
        std::printf("boxsim-sim: --speed wants a finite number >= 0, not \"%s\"\n", value);
        return 2;
      }
      continue;
    }
    if (arg.size() > 1 && arg[0] == '-') {
      std::printf("boxsim-sim: unknown option %s (try --help)\n", arg.c_str());
      return 2;
    }
    if (scene != nullptr) {
      std::printf("boxsim-sim: only one scene file, got %s and %s\n", scene, arg.c_str());
      return 2;
    }
    scene = argv[i];
  }
  global::ConfigureDump(dump);
  if (peer) {
    if (scene != nullptr) {
      std::printf("boxsim-sim: %s with --host or --connect; the scene goes after --host\n", scene);
      return 2;
    }
    return RunPeer(options);
  }
  if (scene == nullptr) {
    std::printf("boxsim-sim: no scene file given (try --help)\n");
    return 2;
  }

  if (LoadHostScene(scene) != 0)
    return 1;
  global::speed = speed;
  // The same expression as the frame loop's step length, so the bits agree.
  const double delta_time = kBaseStepLength * global::speed;
  for (unsigned long s = 0; s < steps; ++s)
    SimulationStep(delta_time);
  global::CloseDump();
  if (!global::dumpfile && global::GetDumpOptions().enabled && !global::bodies.empty() &&
      steps > 0) {
    std::printf("boxsim-sim: could not write %s\n", global::DumpPath().c_str());
    ResetSimulation();
    return 1;
  }

  for (const RBody* b : global::bodies) {
    std::printf("%d %s pos %.17g %.17g %.17g ang_pos %.17g %.17g %.17g %.17g\n", b->id,
                b->name.c_str(), b->pos.x(), b->pos.y(), b->pos.z(), b->ang_pos.s, b->ang_pos.v.x(),
                b->ang_pos.v.y(), b->ang_pos.v.z());
  }
  std::printf("state_hash %s\n", StateHashHex(StateHash(global::bodies)).c_str());
  ResetSimulation();
  return 0;
}
