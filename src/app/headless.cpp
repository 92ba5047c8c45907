#include "app/headless.h"

#include "app/globals.h"
#include "app/scene.h"

int LoadHostScene(const char* path) {
  if (PrepareScene(path) != 0)
    return -1;
  global::is_host = true;
  global::player_id = 0;
  if (!global::bodies.empty())
    global::players.push_back(Player(0, global::bodies[0]));
  return 0;
}
