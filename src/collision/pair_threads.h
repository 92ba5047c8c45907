#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <vector>

class RBody;
struct Collision;

// The work of a large scene spread over this thread and a second one, in the
// steps where sharing timed faster (see TimedStep): the pair tests, the
// solvers' parts, each body's own steps; and, between those
// rounds, background work (the dump's text). In the pair tests a first pass
// runs what reads poses alone (the axis tests, the contact points of pairs no
// axis separates); the caller then goes through its pairs in order for what
// the contact rings decide, as each record remembers points that the pairs
// after it read.
namespace PairThreads {

// Below this many bodies the handing over costs more than it saves.
constexpr std::size_t kFrom = 24;

// Runs job(k) once for each k in [0, count), on either thread (in a step
// that goes alone, in order on this one); returns when all are done. The
// jobs write only what is theirs, and read other bodies only where these
// make nothing on first use (their world geometry made, say) or the caller
// made it beforehand.
void Run(std::size_t count, const std::function<void(std::size_t)>& job);

// Times a step of the simulation as a whole, from construction to
// destruction, and decides for the rounds within it whether Run shares them
// with the second thread or runs them all on this one: whichever made such
// steps faster lately. In a step that shares, each round (known by its place
// in the step) is timed too and goes the way that made it faster. A step
// that ran no round is not counted. Not to be nested.
class TimedStep {
 public:
  TimedStep();
  ~TimedStep();
  TimedStep(const TimedStep&) = delete;
  TimedStep& operator=(const TimedStep&) = delete;

 private:
  std::chrono::steady_clock::time_point start_;
};

// What a first pass found for a pair whose spheres meet.
struct Found {
  std::size_t j;      // the partner
  Collision* record;  // no axis separates: its points, not yet remembered
  bool clears_rings;  // else whether the axis tests' gap clears the rings
                      // (CDetector::GapClearsRings)
  double rel_vel;     // for the caller's own use
};

// Work for the second thread while no round needs it: it calls work()
// between rounds, each call doing one piece, until it returns false
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
