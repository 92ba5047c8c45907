#include "app/globals.h"

namespace global {
std::vector<RBody*> bodies;
std::vector<RBState> old_state;
std::vector<Collision*> collisions;
std::vector<Collision*> contacts;
std::vector<Player> players;
uint32_t player_id = 0;
uint32_t simulation_time = 0;
bool is_host = false;
double speed = 1.0;
double time_acc = 0.0;
double GLUT_time = 0.0;
bool new_keys[256] = {};
bool old_keys[256] = {};
bool mouse_key = false;
bool scroll_up = false;
bool scroll_down = false;
int mouse_x_old = 0;
int mouse_x_new = 0;
int mouse_y_old = 0;
int mouse_y_new = 0;
std::ofstream dumpfile;
uint32_t last_rewind_steps = 0;
double last_rewind_ms = 0.0;
bool show_status = true;
bool show_help = false;
}  // namespace global
