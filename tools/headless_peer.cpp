#include "headless_peer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "app/agreement.h"
#include "app/dump.h"
#include "app/frame.h"
#include "app/globals.h"
#include "app/input.h"
#include "app/simulation.h"
#include "app/startup.h"
#include "net/network.h"

namespace {

// A frame every few milliseconds: far more often than steps are due, as in
// the window's idle loop, without spinning a core.
constexpr auto kFramePause = std::chrono::milliseconds(4);

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void PrintSummary() {
  const Agreement::Status& s = Agreement::GetStatus();
  std::printf(
      "Agreement: %u checks agreed, %u differed, %u repairs, longest wait %.2f s, at step %u.\n",
      s.checks_agreed, s.checks_differed, s.repairs, s.longest_wait, global::simulation_time);
  if (Network::host != nullptr)
    std::printf("Traffic: sent %u bytes in %u datagrams, received %u bytes in %u datagrams.\n",
                Network::host->totalSentData, Network::host->totalSentPackets,
                Network::host->totalReceivedData, Network::host->totalReceivedPackets);
}

}  // namespace

bool ReadKeyScript(const char* path, std::vector<ScriptedKey>* keys) {
  std::ifstream in(path);
  if (!in) {
    std::printf("Key script %s cannot be read.\n", path);
    return false;
  }
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    std::istringstream fields(line);
    std::string when, key, change, extra;
    if (!(fields >> when) || when[0] == '#')
      continue;
    char* end = nullptr;
    const double at = std::strtod(when.c_str(), &end);
    const bool time_ok = *end == '\0' && at >= 0 && at < 1e9;
    const bool key_ok = key.empty() && (fields >> key) && (key.size() == 1 || key == "space");
    const bool change_ok = (fields >> change) && (change == "down" || change == "up");
    if (!time_ok || !key_ok || !change_ok || (fields >> extra)) {
      std::printf("Key script %s, line %d: want \"SECONDS KEY down|up\", not \"%s\".\n", path,
                  number, line.c_str());
      return false;
    }
    keys->push_back(
        ScriptedKey{at, key == "space" ? static_cast<unsigned char>(' ')
                                       : static_cast<unsigned char>(key[0]),
                    change == "down"});
  }
  return true;
}

int RunPeer(const PeerOptions& options) {
  const int started = options.host ? StartHost(options.target.c_str(), options.port)
                                   : StartClient(options.target.c_str(), options.port);
  if (started == 1)
    return 1;
  if (started != 0)
    return 2;
  if (options.base_protocol)
    Agreement::SpeakBaseProtocolOnly();
  if (options.nudge)
    Agreement::NudgeAt(options.nudge_step, options.host ? 0 : 1);

  std::vector<ScriptedKey> keys = options.keys;
  std::stable_sort(keys.begin(), keys.end(),
                   [](const ScriptedKey& a, const ScriptedKey& b) { return a.at < b.at; });
  std::size_t next_key = 0;
  bool quit = false;
  const auto start = std::chrono::steady_clock::now();
  while (!quit) {
    const double now = SecondsSince(start);
    if (now >= options.seconds)
      break;
    // Keys that fell due while the process stood still arrive together, as
    // from a window's event queue; each key changes at most once a frame, so
    // that the frame sees every change.
    bool changed[256] = {};
    while (next_key < keys.size() && keys[next_key].at <= now && !changed[keys[next_key].key]) {
      const ScriptedKey& k = keys[next_key++];
      changed[k.key] = true;
      if (k.key == 'q' || k.key == 'Q') {
        quit = true;
        break;
      }
      if (k.down)
        Keyboard(k.key, 0, 0);
      else
        KeyboardUp(k.key, 0, 0);
    }
    RunFrame(now);
    std::this_thread::sleep_for(kFramePause);
  }
  PrintSummary();
  std::fflush(stdout);
  global::CloseDump();
  // The goodbye the quit key sends, so that the other side hears of it at once.
  if (Network::peer != nullptr && Network::host != nullptr) {
    enet_peer_disconnect_now(Network::peer, Network::DISCONNECT_NORMAL);
    enet_host_flush(Network::host);
  }
  if (options.host)
    Network::CloseHost();
  else
    Network::CloseClient();
  ResetSimulation();
  return 0;
}
