#include "app/input.h"

#include <cstdlib>

#include "app/globals.h"
#include "net/network.h"
#include "render/camera.h"

namespace {

// The four direction keys, in the order UpdateControls looks at them.
struct KeyBinding {
  unsigned char key;
  bool Player::*flag;
  Network::Input down;
  Network::Input up;
};

const KeyBinding kBindings[] = {
    {'w', &Player::forward, Network::FORWARD_DOWN, Network::FORWARD_UP},
    {'s', &Player::backward, Network::BACKWARD_DOWN, Network::BACKWARD_UP},
    {'a', &Player::left, Network::LEFT_DOWN, Network::LEFT_UP},
    {'d', &Player::right, Network::RIGHT_DOWN, Network::RIGHT_UP},
};

}  // namespace

void Keyboard(unsigned char key, int /*x*/, int /*y*/) {
  global::new_keys[key] = true;
  if (key == 'q' || key == 'Q') {
    // exit() rather than a return through GLUT: static objects, the dump file
    // among them, are flushed and closed on the way out.
    std::exit(0);
  }
  if (key == 'h' || key == 'H')
    global::show_status = !global::show_status;
  if (key == '?')
    global::show_help = !global::show_help;
  if (key == ' ') {
    // Only the two values the key itself produces toggle; a speed set
    // otherwise is left alone.
    if (global::speed == 1.0)
      global::speed = 0.0;
    else if (global::speed == 0.0)
      global::speed = 1.0;
  }
}

void KeyboardUp(unsigned char key, int /*x*/, int /*y*/) {
  global::new_keys[key] = false;
}

void Mouse(int button, int state, int x, int y) {
  if (button == input::kLeftButton && state == input::kPressed) {
    // Old and new start equal, so a drag begins without a jump.
    global::mouse_key = true;
    global::mouse_x_old = global::mouse_x_new = x;
    global::mouse_y_old = global::mouse_y_new = y;
  } else if (button == input::kWheelUp && state == input::kPressed) {
    global::scroll_up = true;
  } else if (button == input::kWheelDown && state == input::kPressed) {
    global::scroll_down = true;
  } else {
    // Any release, the wheel's included, ends a drag.
    global::mouse_key = false;
  }
}

void MouseMotion(int x, int y) {
  if (global::mouse_key) {
    global::mouse_x_new = x;
    global::mouse_y_new = y;
  }
}

void UpdateControls() {
  // A client has no players until its first sync; a key change before then
  // has no player to move and no step the peer could place it at, so it is
  // dropped and nothing is sent.
  bool has_player = global::player_id < global::players.size();
  for (const KeyBinding& b : kBindings) {
    bool now = global::new_keys[b.key];
    if (now == global::old_keys[b.key] || !has_player)
      continue;
    global::players[global::player_id].*b.flag = now;
    Network::SendInput(now ? b.down : b.up, global::simulation_time, global::player_id);
  }
  for (int i = 0; i < 256; ++i)
    global::old_keys[i] = global::new_keys[i];
}

void RotateCamera() {
  Renderer::RotateCamera(static_cast<float>(global::mouse_y_new - global::mouse_y_old),
                         static_cast<float>(global::mouse_x_new - global::mouse_x_old),
                         global::scroll_up, global::scroll_down);
  global::mouse_x_old = global::mouse_x_new;
  global::mouse_y_old = global::mouse_y_new;
  // Several wheel steps in one frame count as one.
  global::scroll_down = false;
  global::scroll_up = false;
}
