#include "app/status.h"

#include <cstdarg>
#include <cstdio>

#include "app/agreement.h"
#include "app/dump.h"
#include "app/globals.h"
#include "net/network.h"

namespace Status {

namespace {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string Format(const char* format, ...) {
  char buf[160];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  return buf;
}

std::string RoleLine() {
  const bool has_player = global::player_id < global::players.size();
  if (!global::is_host && !has_player)
    return "Client, no scene yet";
  std::string line = Format("%s, player %u: your box is orange",
                            global::is_host ? "Host" : "Client", global::player_id);
  if (global::players.size() > 1)
    line += ", the other's violet";
  return line;
}

std::string ConnectionLine() {
  using Network::Link;
  switch (Network::link) {
    case Link::kListening:
      return Format("Waiting for a client on port %u", Network::link_port);
    case Link::kConnected:
      if (Network::is_server)
        return "Connected to " + Network::PeerAddress();
      return Format("Connected to %s:%u", Network::link_target.c_str(), Network::link_port);
    case Link::kFailed:
      return Format("Connection to %s:%u failed", Network::link_target.c_str(),
                    Network::link_port);
    case Link::kPeerLeft:
      if (Network::is_server)
        return Format("The other player left; waiting on port %u", Network::link_port);
      return "The other player left";
    case Link::kNone:
      break;
  }
  return "Not connected";
}

}  // namespace

std::vector<std::string> StatusLines() {
  std::vector<std::string> lines;
  lines.push_back(RoleLine());
  std::string step = Format("Step %u", global::simulation_time);
  if (global::speed == 0.0)
    step += ", paused (space resumes)";
  else if (global::speed != 1.0)
    step += Format(", speed %g", global::speed);
  lines.push_back(step);

  std::string link = ConnectionLine();
  if (Network::link == Network::Link::kConnected)
    link += Format(", round trip %u ms", Network::RoundTripMs());
  lines.push_back(link);
  if (global::last_rewind_steps > 0)
    lines.push_back(Format("Last rewind: %u steps in %.1f ms", global::last_rewind_steps,
                           global::last_rewind_ms));

  const Agreement::Status& a = Agreement::GetStatus();
  if (a.waiting)
    lines.push_back(Format("Waiting for the other player (at step %u)", a.peer_step));
  if (a.checks_differed > 0) {
    if (a.repairs > 0 && a.rewind_floor >= a.last_desync)
      lines.push_back(
          Format("Desync at step %u, repaired at step %u", a.last_desync, a.rewind_floor));
    else
      lines.push_back(Format("Desync detected at step %u", a.last_desync));
  } else if (a.checks_agreed > 0) {
    lines.push_back(Format("In agreement: %u checks", a.checks_agreed));
  }

  const global::DumpOptions& dump = global::GetDumpOptions();
  if (!dump.enabled)
    lines.push_back("Dump off");
  else if (global::DumpStopped())
    lines.push_back("Dump stopped at its limit of " + global::DumpLimitText(dump.limit_bytes));
  lines.push_back("h: hide   ?: help");
  return lines;
}

std::vector<std::string> HelpLines() {
  return {"w / s: push your box forward / back",
          "a / d: push it left / right",
          "space: pause and resume",
          "left drag: turn the view",
          "wheel: zoom in and out",
          "h: status on / off",
          "?: this help",
          "q: quit"};
}

}  // namespace Status
