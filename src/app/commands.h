#pragma once

#include "net/network.h"

// Applies one decoded command, once per frame, after UpdateControls and before
// the frame's steps. A sync sets up the client's clock and players; a remote
// key change rewinds every body to its step and replays to the present, each
// replayed step with the flags of its own time (Network::input_log). Commands
// that name no player, no body, or this instance's own player print one line
// and change nothing.
void HandleCommand(Network::Command command);
