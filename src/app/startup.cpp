#include "app/startup.h"

#include <cstdio>

#include "app/dump.h"
#include "app/globals.h"
#include "app/scene.h"
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
  Trace::SetSink(global::DumpSink());
  return 0;
}

int StartHost(const char* path, enet_uint16 port) {
  if (LoadHostScene(path) != 0)
    return -1;
  return Network::CreateHost(&global::bodies, &global::players, port) == 0 ? 0 : 1;
}

int StartClient(const char* address, enet_uint16 port) {
  global::is_host = false;
  Trace::SetSink(global::DumpSink());
  return Network::Connect(address, &global::bodies, &global::players, port) == 0 ? 0 : 1;
}
