#pragma once

#include "body/rbody.h"

// One player pushes one body: player i controls body i. Its own header, so
// that the network code can hand out and release players without seeing the
// rest of the application state.
struct Player {
  RBody* controlled_body;  // not owned; null pushes nothing
  unsigned char controlled_idx;
  bool forward;
  bool backward;
  bool left;
  bool right;

  Player(unsigned char idx, RBody* body)
      : controlled_body(body),
        controlled_idx(idx),
        forward(false),
        backward(false),
        left(false),
        right(false) {}
};
