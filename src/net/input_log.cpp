#include "net/input_log.h"

#include <algorithm>

namespace Network {

InputLog input_log;

bool* InputFlag(Player* player, Input input) {
  switch (input / 2) {
    case 0:
      return &player->forward;
    case 1:
      return &player->backward;
    case 2:
      return &player->left;
    case 3:
      return &player->right;
    default:
      return nullptr;
  }
}

bool InputPressed(Input input) {
  return (input & 1) != 0;
}

void InputLog::Clear() {
  base_.clear();
  changes_.clear();
}

void InputLog::Apply(const KeyChange& change, std::vector<Flags>* flags) {
  if (change.player >= flags->size())
    flags->resize(change.player + std::size_t{1}, Flags{});
  (*flags)[change.player][change.input / 2] = InputPressed(change.input);
}

void InputLog::Record(const KeyChange& change) {
  if (change.input >= 8)
    return;
  auto at =
      std::upper_bound(changes_.begin(), changes_.end(), change.step,
                       [](uint32_t step, const KeyChange& logged) { return step < logged.step; });
  changes_.insert(at, change);
}

void InputLog::Reconcile(const std::vector<Player>& players, uint32_t step) {
  std::vector<Flags> now = base_;
  for (const KeyChange& c : changes_)
    Apply(c, &now);
  for (std::size_t i = 0; i < players.size(); ++i) {
    const Player& p = players[i];
    const bool actual[4] = {p.forward, p.backward, p.left, p.right};
    for (int d = 0; d < 4; ++d) {
      bool logged = i < now.size() && now[i][d];
      if (actual[d] != logged)
        Record(KeyChange{step, static_cast<uint32_t>(i), static_cast<Input>(d * 2 + actual[d])});
    }
  }
}

void InputLog::ApplyFlagsAt(uint32_t step, std::vector<Player>* players) const {
  std::vector<Flags> flags = base_;
  for (const KeyChange& c : changes_) {
    if (c.step > step)
      break;
    Apply(c, &flags);
  }
  flags.resize(std::max(flags.size(), players->size()), Flags{});
  for (std::size_t i = 0; i < players->size(); ++i) {
    Player& p = (*players)[i];
    p.forward = flags[i][0];
    p.backward = flags[i][1];
    p.left = flags[i][2];
    p.right = flags[i][3];
  }
}

void InputLog::Rebase(uint32_t step, const std::vector<Player>& players) {
  base_.assign(players.size(), Flags{});
  for (std::size_t i = 0; i < players.size(); ++i)
    base_[i] = Flags{players[i].forward, players[i].backward, players[i].left, players[i].right};
  while (!changes_.empty() && changes_.front().step < step)
    changes_.pop_front();
}

void InputLog::Forget(uint32_t step) {
  while (!changes_.empty() && changes_.front().step < step) {
    Apply(changes_.front(), &base_);
    changes_.pop_front();
  }
}

}  // namespace Network
