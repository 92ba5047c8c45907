#include "app/startup.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/dump.h"
#include "app/globals.h"
#include "app/scene.h"
#include "app/simulation.h"
#include "net/network.h"
#include "response/trace.h"

bool ParsePort(const char* text, enet_uint16* port) {
  unsigned long value = 0;
  if (*text == '\0')
    return false;
  for (const char* c = text; *c; ++c) {
    if (*c < '0' || *c > '9')
      return false;
    value = value * 10 + static_cast<unsigned long>(*c - '0');
    if (value > 65535)
      return false;
  }
  if (value == 0)
    return false;
  *port = static_cast<enet_uint16>(value);
  return true;
}

namespace {

bool ParseMegabytes(const char* text, uint64_t* bytes) {
  if (*text < '0' || *text > '9')
    return false;
  char* end = nullptr;
  errno = 0;
  const double mb = std::strtod(text, &end);
  // Up to a million terabytes, and at least one byte.
  if (errno == ERANGE || *end != '\0' || !(mb * 1e6 >= 1) || mb > 1e12)
    return false;
  *bytes = static_cast<uint64_t>(mb * 1e6);
  return true;
}

// A file named on the command line is opened at once, so a wrong name stops
// the start rather than every record going nowhere.
int InstallDump() {
  const global::DumpOptions& options = global::GetDumpOptions();
  if (!options.enabled) {
    Trace::SetSink(nullptr);
    return 0;
  }
  if (!options.path.empty() && !global::DumpFileOpen()) {
    global::dumpfile.clear();
    global::dumpfile.open(options.path, std::ios::out | std::ios::trunc);
    if (!global::dumpfile.is_open()) {
      std::printf("Cannot write the dump file %s.\n", options.path.c_str());
      return -1;
    }
  }
  Trace::SetSink(global::DumpSink());
  return 0;
}

}  // namespace

int ParseDumpOption(int argc, char** argv, int* i, global::DumpOptions* options) {
  const std::string arg = argv[*i];
  if (arg == "--no-dump") {
    options->enabled = false;
    return 1;
  }
  if (arg != "--dump" && arg != "--dump-limit")
    return 0;
  if (*i + 1 >= argc) {
    std::printf("%s needs a value.\n", arg.c_str());
    return -1;
  }
  const char* value = argv[++*i];
  if (arg == "--dump") {
    if (*value == '\0') {
      std::printf("--dump needs a file name.\n");
      return -1;
    }
    options->path = value;
    return 1;
  }
  if (!ParseMegabytes(value, &options->limit_bytes)) {
    std::printf("--dump-limit wants a number of megabytes above 0, not \"%s\".\n", value);
    return -1;
  }
  return 1;
}

int LoadHostScene(const char* path) {
  if (PrepareScene(path) != 0)
    return -1;
  // Without a body there is nothing to control, and a client would get none.
  if (global::bodies.empty()) {
    std::printf("Scene file %s has no bodies: the host's player needs at least one.\n", path);
    return -1;
  }
  global::is_host = true;
  global::player_id = 0;
  global::players.push_back(Player(0, global::bodies[0]));
  if (InstallDump() != 0) {
    ResetSimulation();
    return -1;
  }
  return 0;
}

int StartHost(const char* path, enet_uint16 port) {
  if (LoadHostScene(path) != 0)
    return -1;
  return Network::CreateHost(&global::bodies, &global::players, port) == 0 ? 0 : 1;
}

int StartClient(const char* address, enet_uint16 port) {
  global::is_host = false;
  if (InstallDump() != 0)
    return -1;
  return Network::Connect(address, &global::bodies, &global::players, port) == 0 ? 0 : 1;
}
