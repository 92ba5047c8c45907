#pragma once

#include <cstddef>
#include <functional>
#include <vector>

class RBody;
struct Collision;

// The pair tests of a large scene, spread over this thread and a second one.
// A first pass runs what reads poses alone (the axis tests, the contact
// points of pairs no axis separates); the caller then goes through its pairs
// in order for what the contact rings decide, as each record remembers
// points that the pairs after it read.
namespace PairThreads {

// Below this many bodies the handing over costs more than it saves.
constexpr std::size_t kFrom = 24;

// Runs job(k) once for each k in [0, count), on either thread; returns when
// all are done. The jobs may read any body but write only what is theirs.
void Run(std::size_t count, const std::function<void(std::size_t)>& job);

// What a first pass found for a pair whose spheres meet.
struct Found {
  std::size_t j;      // the partner
  Collision* record;  // no axis separates: its points, not yet remembered
  double gap;         // else the axis tests' gap, for the ring tests
  bool clears_rings;  // and CDetector::GapClearsRings of it
  double rel_vel;     // for the caller's own use
};

// Work for the second thread while no round needs it: it calls work()
// between rounds, each call doing one short piece, until it returns false
// (nothing to do now). Nudge() tells it that there is some again. Run's
// rounds come first, and the program keeps to two busy threads. Setting
// another (or none) waits for a piece under way.
void SetBackground(std::function<bool()> work);
void Nudge();

// A first pass's test of the pair (a, b), whose spheres are not surely
// apart (CDetector::SpheresApart, which the caller runs on its side-by-side
// spheres): nothing when the sphere stage rejects them, else a Found with
// partner j appended to *found. Returns the record when no axis separates
// them, else nullptr.
Collision* Test(RBody* a, RBody* b, std::size_t j, std::vector<Found>* found);

}  // namespace PairThreads
