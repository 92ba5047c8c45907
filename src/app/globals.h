#pragma once

#include <cstdint>
#include <fstream>
#include <vector>

#include "app/player.h"
#include "body/rbody.h"
#include "body/rbstate.h"

struct Collision;

// Application state shared by the frame loop, input, renderer and network.
// One thread (GLUT's) touches it, so nothing is locked.
namespace global {
extern std::vector<RBody*> bodies;          // index is the body's id; bodies live until exit
extern std::vector<RBState> old_state;      // per body, its state at the start of the step
extern std::vector<Collision*> collisions;  // colliding pairs of the current step
extern std::vector<Collision*> contacts;    // cleared by detection, otherwise unused
extern std::vector<Player> players;
extern uint32_t player_id;        // index of this instance's own player
extern uint32_t simulation_time;  // steps run so far
extern bool is_host;
extern double speed;      // 0 pauses
extern double time_acc;   // scaled seconds not yet simulated
extern double GLUT_time;  // wall-clock seconds at the previous frame
extern bool new_keys[256];
extern bool old_keys[256];
extern bool mouse_key;
extern bool scroll_up;
extern bool scroll_down;
extern int mouse_x_old;
extern int mouse_x_new;
extern int mouse_y_old;
extern int mouse_y_new;
extern std::ofstream dumpfile;
// The last rewind for a late key change: steps replayed and wall-clock
// milliseconds the replay took. Shown to the players only.
extern uint32_t last_rewind_steps;
extern double last_rewind_ms;
// What the window draws over the scene: the status lines (on at start) and
// the help.
extern bool show_status;
extern bool show_help;
}  // namespace global
