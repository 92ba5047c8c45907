#pragma once

#include <string>
#include <vector>

// What the window tells the players, as lines of text: the core composes
// them from the application state, the window only draws them.
namespace Status {

// Role and player, step, connection and round trip, the last rewind, and
// whatever is out of the ordinary: paused, waiting for the other player, a
// desync and its repair, a dump that stopped. Ends with the keys that toggle
// the overlays.
std::vector<std::string> StatusLines();

// The controls.
std::vector<std::string> HelpLines();

}  // namespace Status
