#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "app/player.h"
#include "net/network.h"

namespace Network {

// One key change: from step `step` on, `input` holds for player `player`.
struct KeyChange {
  uint32_t step;
  uint32_t player;
  Input input;
};

// The key changes, local and remote, of the steps a rewind can still reach,
// and every player's flags as they stood before the oldest of them.
//
// A replay after a rewind must give each player, in each replayed step, the
// flags it had in that step. The flags of the present would not do: a key this
// instance pressed two steps ago would then push its body in steps before the
// press, which the peer, which placed the press at its own step, never did.
class InputLog {
 public:
  // Forgets every change; all flags count as released before them.
  void Clear();
  // Keeps the change in step order, after the changes already logged for the
  // same step (the later of two changes of one step wins). Values of 8 and
  // above change no flag and are not kept.
  void Record(const KeyChange& change);
  // Logs at `step` every flag of `players` that differs from what the log
  // makes of it now: a flag set without Record then survives a replay.
  void Reconcile(const std::vector<Player>& players, uint32_t step);
  // Sets every player's four flags to those in effect during `step`: the
  // base, then every change of that step or before.
  void ApplyFlagsAt(uint32_t step, std::vector<Player>* players) const;
  // The flags of `players` become the base and every change before `step`
  // is dropped: a state adopted at `step` already holds their effect.
  void Rebase(uint32_t step, const std::vector<Player>& players);
  // Folds the changes of steps before `step` into the base; no rewind reaches
  // them any more.
  void Forget(uint32_t step);

  std::size_t size() const { return changes_.size(); }

 private:
  using Flags = std::array<bool, 4>;  // forward, backward, left, right

  static void Apply(const KeyChange& change, std::vector<Flags>* flags);

  std::vector<Flags> base_;        // a player past its end has all keys up
  std::deque<KeyChange> changes_;  // by step; within a step, in arrival order
};

extern InputLog input_log;

// The flag of `player` that `input` sets (input / 2 picks it; values of 8 and
// above pick none) and the value it sets (the lowest bit).
bool* InputFlag(Player* player, Input input);
bool InputPressed(Input input);

}  // namespace Network
