#pragma once

#include <enet/enet.h>

#include <cstdint>
#include <string>
#include <vector>

// A host or client without a window: the program's own start-up, frame loop,
// input handling and network code on the wall clock, with key changes read
// from a script instead of a keyboard.

// One line of a key script: "SECONDS KEY down|up", SECONDS counted from the
// start of the frame loop, KEY one character or the word "space".
struct ScriptedKey {
  double at;
  unsigned char key;
  bool down;
};

// Reads a key script: blank lines and lines starting with '#' are skipped.
// False after a one-line message naming the file and line on any fault.
bool ReadKeyScript(const char* path, std::vector<ScriptedKey>* keys);

struct PeerOptions {
  bool host = false;
  std::string target;  // scene file (host) or host address (client)
  enet_uint16 port = 1234;
  double seconds = 10;  // wall-clock run time
  std::vector<ScriptedKey> keys;
  bool nudge = false;  // test switch: part from the other peer at nudge_step
  uint32_t nudge_step = 0;
  bool base_protocol = false;  // test switch: none of the extra messages
};

// Runs the peer for options.seconds and returns the process exit status: 0,
// 1 when the network could not start, 2 when the scene was refused.
int RunPeer(const PeerOptions& options);
