#include "app/controls.h"

void ControlBody(Player player) {
  RBody* body = player.controlled_body;
  if (body == nullptr)
    return;
  // World axes, whatever the body's orientation: forward is -y, right is -x.
  const double F = kPushAcceleration * body->mass;
  if (player.forward)
    body->forces -= Vector3(0, F, 0);
  if (player.backward)
    body->forces += Vector3(0, F, 0);
  if (player.right)
    body->forces -= Vector3(F, 0, 0);
  if (player.left)
    body->forces += Vector3(F, 0, 0);
}
