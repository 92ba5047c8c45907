#pragma once

#include <cstdint>
#include <string>

#include "math/vector3.h"
#include "response/trace.h"

// Plain-text trace of the simulation in global::dumpfile, named after this
// instance's player. The resting-contact solver writes a state record before
// and after its passes, so host and client traces can be compared line by line.
// The solvers reach it through the trace sink that start-up installs.
namespace global {

// Where the dump goes and how much of it: on by default, to DumpFileName of
// this instance's player. Past limit_bytes no record is written any more, so
// the file ends on a whole line and never grows past the limit.
struct DumpOptions {
  bool enabled = true;
  std::string path;          // empty: DumpFileName(player_id)
  uint64_t limit_bytes = 0;  // 0: no limit
};
// Takes effect for the next record; start-up installs the trace sink only
// when the dump is enabled.
void ConfigureDump(const DumpOptions& options);
const DumpOptions& GetDumpOptions();
// The file the records go to now.
std::string DumpPath();
// Whether global::dumpfile is open; ask this, not the stream, which a
// second thread writes to.
bool DumpFileOpen();
// True once the limit stopped the dump (a console line said so).
bool DumpStopped();
// Bytes written to the file since it was opened.
uint64_t DumpBytes();
// Every record so far written out, then the file closed. Whatever closes or
// reads the dump uses this: records reach the file a little after they are made.
void CloseDump();
// Back to the defaults, nothing written: for ResetSimulation.
void ResetDump();
// A limit as the user gives it: "5 MB", "0.5 MB" (10^6 bytes to the MB).
std::string DumpLimitText(uint64_t bytes);

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
