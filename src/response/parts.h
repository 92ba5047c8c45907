#pragma once

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "body/rbody.h"

// Bodies joined through contacts between movable bodies. A solver's pass
// writes only the movable bodies of a contact and reads the static ones, so
// the contacts of one part, taken in their order, come out bit for bit the
// same whatever the other parts do meanwhile, once the static bodies make
// nothing more on first use (Share): the parts can be solved on two threads.
class BodyParts {
 public:
  // count bodies, each its own part; none numbered yet.
  void Reset(std::size_t count) {
    parent_.resize(count);
    for (std::size_t k = 0; k < count; ++k)
      parent_[k] = k;
    number_.assign(count, kNone);
    count_ = 0;
  }
  void Join(std::size_t a, std::size_t b) { parent_[Root(a)] = Root(b); }
  // The same for every body of one part.
  std::size_t Root(std::size_t k) {
    while (parent_[k] != k)
      k = parent_[k] = parent_[parent_[k]];
    return k;
  }
  // Body k's part, the parts numbered 0, 1, ... as first asked for; *first
  // tells whether this was the first time. Joins come before.
  std::size_t Number(std::size_t k, bool* first) {
    std::size_t& number = number_[Root(k)];
    *first = number == kNone;
    if (*first)
      number = count_++;
    return number;
  }
  std::size_t Count() const { return count_; }

  // What a static body makes on first use (its world geometry and inverse
  // inertia), made now on this thread: the parts then only read it.
  static void Share(RBody* fixed) {
    fixed->World();
    fixed->InvInertiaTensor();
  }

 private:
  static constexpr std::size_t kNone = SIZE_MAX;
  std::vector<std::size_t> parent_;
  std::vector<std::size_t> number_;
  std::size_t count_ = 0;
};

// Bodies numbered 0, 1, ... as first asked for, through a table of their
// addresses: a part holds the records it holds, in their order, however its
// bodies are numbered, so the numbers need no order of their own.
class BodyNumbers {
 public:
  // Room for up to most bodies (the table stays at most half full, so a
  // search always ends); none numbered yet.
  void Reset(std::size_t most) {
    std::size_t size = 16;
    while (size < 2 * most)
      size *= 2;
    slots_.assign(size, Slot{});
    count_ = 0;
  }
  std::size_t Of(const RBody* X) {
    const std::size_t mask = slots_.size() - 1;
    // Bodies lie apart by kilobytes: Fibonacci hashing spreads the high bits.
    std::size_t at =
        static_cast<std::size_t>(
            (reinterpret_cast<std::uintptr_t>(X) * UINT64_C(0x9E3779B97F4A7C15)) >> 32) &
        mask;
    for (;; at = (at + 1) & mask) {
      Slot& slot = slots_[at];
      if (slot.body == X)
        return slot.number;
      if (slot.body == nullptr) {
        assert(2 * count_ < slots_.size());  // more bodies than Reset made room for
        slot.body = X;
        slot.number = count_++;
        return slot.number;
      }
    }
  }
  std::size_t Count() const { return count_; }

 private:
  struct Slot {
    const RBody* body = nullptr;
    std::size_t number = 0;
  };
  std::vector<Slot> slots_;
  std::size_t count_ = 0;
};

// An order of count parts for a round on two threads, which take items from
// its two ends: by place(k), the least place of part k's bodies in the order
// of the rounds before, where this thread took the first bodies and the
// second the last. Each thread then mostly solves what it made itself, and
// reading what the other made is the costly part of a solve here. Which
// thread solves a part changes no result.
template <typename Place>
void PlaceOrder(std::size_t count, std::vector<std::size_t>* order, Place place) {
  order->resize(count);
  for (std::size_t k = 0; k < count; ++k)
    (*order)[k] = k;
  std::stable_sort(order->begin(), order->end(),
                   [&](std::size_t a, std::size_t b) { return place(a) < place(b); });
}
