#pragma once

#include <string>

#include "math/vector3.h"
#include "response/trace.h"

// Plain-text trace of the simulation in global::dumpfile, named after this
// instance's player. The resting-contact solver writes a state record before
// and after its passes, so host and client traces can be compared line by line.
// The solvers reach it through the trace sink that start-up installs.
namespace global {
// "dump", one character '0' + player index, ".txt". The character is kept
// only while it stays in the byte range; a larger index would wrap to NUL, '/'
// or control codes, so such an index is written out in decimal instead.
std::string DumpFileName(unsigned player_index);
// One state record: step, players' flags, every body's state. Opens the file
// (truncating it) when it is not open yet.
void DumpInfo();
// The contact level being solved and the ids of the pair's two bodies.
void DumpLevels(int lvl, int a, int b);
// The contact solver's impulse point (world) and depth.
void DumpPoints(Vector3 max_point, double depth);
// The three writers above as the solvers' trace sink (Trace::SetSink).
Trace::Sink* DumpSink();
}  // namespace global
