#pragma once

#include "app/player.h"

// Push of a held direction key, per unit of mass (single precision on purpose:
// the peers agree on this value).
constexpr float kPushAcceleration = 20.0f;

// Adds the player's push to its body's forces; once per player per step.
void ControlBody(Player player);
