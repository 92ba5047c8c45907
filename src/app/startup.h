#pragma once

#include <enet/enet.h>

#include "app/dump.h"

// How an instance becomes a host or a client. The windowed program and the
// headless runner start through these and nothing else, so the traces the
// runner makes come from the real start-up.

// A port number from the command line: a whole number from 1 to 65535.
// False, with nothing set, for anything else.
bool ParsePort(const char* text, enet_uint16* port);

// The dump options at argv[*i]: --dump PATH, --no-dump, --dump-limit MB
// (a number of 10^6 bytes, decimals allowed). Returns 1 with *i on the last
// word taken, 0 when argv[*i] is no dump option, -1 after a one-line message.
int ParseDumpOption(int argc, char** argv, int* i, global::DumpOptions* options);

// Reads the scene into global::bodies, makes this instance player 0 with the
// first body, and routes the solvers' trace into the dump when it is on (a
// dump file named on the command line must open, or start-up fails). A scene without
// bodies is refused (the host's player needs one). Returns 0, or -1 after a
// one-line message with the application state as it was.
int LoadHostScene(const char* path);

// LoadHostScene, then the ENet host on `port`. Returns 0; -1 when the scene
// is refused; 1 when no ENet host could be made (the program's exit status).
int StartHost(const char* path, enet_uint16 port);

// Connects to the host at `address` and routes the trace into the dump as
// LoadHostScene does; the scene arrives with the host's sync. A failed
// connection leaves the program running on empty. Returns 0, -1 when the
// dump file cannot be written, or 1 when no ENet host could be made.
int StartClient(const char* address, enet_uint16 port);
