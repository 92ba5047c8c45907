#pragma once

#include <cstdint>
#include <vector>

#include "net/network.h"

// Keeping two peers in agreement beyond the rewind: each tells the other its
// step, and neither runs more than kClockBound steps ahead of what the other
// last told, so every key change arrives within the history. About once a
// second each sends a checksum of a step that no key change can still alter;
// when the sums differ, the host sends its whole state and the client takes
// it. All of it stays off with a peer that sends no step reports.
namespace Agreement {

// Well inside the history of RBody::kHistoryLength steps, with room for the
// round trip and the report interval.
constexpr uint32_t kClockBound = 40;
// Waiting ends once the lead has come down to this, so that a peer whose
// clock runs ahead does not stop and go at every report.
constexpr uint32_t kResumeLead = 20;
constexpr uint32_t kReportEverySteps = 5;
constexpr double kReportEverySeconds = 0.25;
// Steps between checksums: one a second at 25 steps a second.
constexpr uint32_t kChecksumInterval = 25;
// A peer that has sent no step report this long after connecting runs the
// base protocol.
constexpr double kBaseProtocolSeconds = 3.0;

struct Status {
  bool peer_reports = false;  // the peer speaks the extra messages
  uint32_t peer_step = 0;     // the latest step it is known to have reached
  bool waiting = false;       // held at the clock bound
  double longest_wait = 0;    // seconds
  uint32_t checks_agreed = 0;
  uint32_t checks_differed = 0;
  uint32_t repairs = 0;        // sent (host) or taken (client)
  uint32_t last_desync = 0;    // step of the last mismatch; valid when checks_differed > 0
  uint32_t rewind_floor = 0;   // no rewind goes below the step of the last repair
};

const Status& GetStatus();

// Forgets the peer: for a new connection, and for tests.
void Reset();

// The extra messages and the stamps of key changes; called for every command.
void OnCommand(const Network::Command& command, double now_seconds);

// Whether the frame loop may run one more step now; false while held at the
// bound. Prints one line when the waiting starts and one when it ends.
bool MayStep(double now_seconds);

// Once per frame after the steps: sends the step report and the checksums
// that are due, and compares those of both sides.
void AfterFrame(double now_seconds);

// The checksum of the state at `step` (every body's state and contact ring
// from the history, then every player's keys in that step), with one short
// sum per body. False when the history no longer or not yet holds it.
bool StepChecksum(uint32_t step, uint64_t* checksum, std::vector<uint16_t>* body_sums);

// No rewind goes before `step` from now on: a key change stamped earlier
// takes effect at it. A repair sets this on both sides.
void FloorRewindsAt(uint32_t step);

// Test switch: this peer acts as one built to the two base messages only. It
// sends no extra message and ignores those it receives.
void SpeakBaseProtocolOnly();

// Test switch: moves body `body` by a tiny amount once the step counter first
// reaches `step`, so that this peer parts from the other.
void NudgeAt(uint32_t step, uint32_t body);

}  // namespace Agreement
