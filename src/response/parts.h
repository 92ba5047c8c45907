#pragma once

#include <cstddef>
#include <vector>

// Bodies joined through contacts between movable bodies. A solver's pass
// writes only the movable bodies of a contact and reads the static ones, so
// the contacts of one part, taken in their order, come out bit for bit the
// same whatever the other parts do meanwhile: the parts can be solved on two
// threads.
class BodyParts {
 public:
  // count bodies, each its own part.
  void Reset(std::size_t count) {
    parent_.resize(count);
    for (std::size_t k = 0; k < count; ++k)
      parent_[k] = k;
  }
  void Join(std::size_t a, std::size_t b) { parent_[Root(a)] = Root(b); }
  // The same for every body of one part.
  std::size_t Root(std::size_t k) {
    while (parent_[k] != k)
      k = parent_[k] = parent_[parent_[k]];
    return k;
  }

 private:
  std::vector<std::size_t> parent_;
};
