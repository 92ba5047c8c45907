#pragma once

#include "net/network.h"

// Applies one decoded command: a sync sets up the client's clock and players;
// a remote key change rewinds every body to its step and replays to the present.
void HandleCommand(Network::Command command);
