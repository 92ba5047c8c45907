#pragma once

// The scenes the benchmarks step, built from the same numbers for boxsim and
// for the peer engine.

#include <vector>

namespace bench {

constexpr double kStep = 0.04;  // seconds, one boxsim step
// Steps run before measuring, so the boxes rest rather than fall.
constexpr int kSettleSteps = 100;

// One box of a scene: full edge lengths and centre, world; unrotated, at rest.
struct BoxSpec {
  double size[3];
  double pos[3];
  bool is_static;
};

// A 40 x 40 x 1 static floor whose top is z = 0, then side^3 unit cubes in
// side x side columns, each side cubes high, standing on each other with 10 cm
// between the columns. extra_on_top more cubes go on top of the first
// columns, so a 125-box pile with one extra is a 127-body scene.
std::vector<BoxSpec> Pile(int side, int extra_on_top = 0);

// global::bodies made from specs (ids are indices), with the dump attached as
// in the program, then settled.
void BuildBoxsim(const std::vector<BoxSpec>& specs);

}  // namespace bench
