// fault-relay --listen PORT --to PORT [--delay MS] [--jitter MS] [--drop P]
//             [--dup P] [--reorder P] [--seed N]
//
// A UDP relay on 127.0.0.1 for tests: a client sends to the listen port, the
// relay passes each datagram on to the host's port and the host's answers
// back, each direction with the same faults. Every datagram waits the delay
// plus a uniform jitter in [-jitter, +jitter] milliseconds; with probability
// P it is dropped, duplicated (the copy waits its own time), or held back by
// a further delay plus twice the jitter, so that later datagrams overtake it.
// The same seed gives the same decisions for the same datagrams. Ends on
// SIGTERM or SIGINT, printing what it did.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <queue>
#include <random>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t stop_requested = 0;

void RequestStop(int) {
  stop_requested = 1;
}

struct Options {
  int listen_port = 0;
  int to_port = 0;
  double delay_ms = 0, jitter_ms = 0, drop = 0, dup = 0, reorder = 0;
  unsigned long seed = 1;
};

struct Datagram {
  Clock::time_point due;
  unsigned long order;  // ties leave in arrival order
  bool to_host;
  std::vector<unsigned char> bytes;
  bool operator>(const Datagram& other) const {
    return due != other.due ? due > other.due : order > other.order;
  }
};

bool ParseNumber(const char* text, double low, double high, double* out) {
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text, &end);
  if (*text == '\0' || *end != '\0' || errno == ERANGE || !(v >= low && v <= high))
    return false;
  *out = v;
  return true;
}

bool ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) {
      std::printf("fault-relay: %s needs a value\n", arg.c_str());
      return false;
    }
    const char* value = argv[++i];
    double v = 0;
    bool ok = true;
    if (arg == "--listen" || arg == "--to") {
      ok = ParseNumber(value, 1, 65535, &v) && v == static_cast<int>(v);
      (arg == "--listen" ? o->listen_port : o->to_port) = static_cast<int>(v);
    } else if (arg == "--delay" || arg == "--jitter") {
      ok = ParseNumber(value, 0, 60000, &v);
      (arg == "--delay" ? o->delay_ms : o->jitter_ms) = v;
    } else if (arg == "--drop" || arg == "--dup" || arg == "--reorder") {
      ok = ParseNumber(value, 0, 1, &v);
      (arg == "--drop" ? o->drop : arg == "--dup" ? o->dup : o->reorder) = v;
    } else if (arg == "--seed") {
      ok = ParseNumber(value, 0, 4294967295.0, &v) && v == static_cast<double>(static_cast<unsigned long>(v));
      o->seed = static_cast<unsigned long>(v);
    } else {
      std::printf("fault-relay: unknown option %s\n", arg.c_str());
      return false;
    }
    if (!ok) {
      std::printf("fault-relay: %s does not take \"%s\"\n", arg.c_str(), value);
      return false;
    }
  }
  if (o->listen_port == 0 || o->to_port == 0) {
    std::printf("fault-relay: --listen PORT and --to PORT are needed\n");
    return false;
  }
  return true;
}

sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  Options o;
  if (!ParseOptions(argc, argv, &o))
    return 2;

  const int client_side = socket(AF_INET, SOCK_DGRAM, 0);
  const int host_side = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in listen_at = Loopback(o.listen_port);
  sockaddr_in host_at = Loopback(o.to_port);
  if (client_side < 0 || host_side < 0 ||
      bind(client_side, reinterpret_cast<sockaddr*>(&listen_at), sizeof listen_at) != 0 ||
      connect(host_side, reinterpret_cast<sockaddr*>(&host_at), sizeof host_at) != 0) {
    std::printf("fault-relay: cannot use port %d: %s\n", o.listen_port, std::strerror(errno));
    return 1;
  }
  std::signal(SIGTERM, RequestStop);
  std::signal(SIGINT, RequestStop);
  std::printf("fault-relay: 127.0.0.1:%d to 127.0.0.1:%d\n", o.listen_port, o.to_port);

  std::mt19937_64 random(o.seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::priority_queue<Datagram, std::vector<Datagram>, std::greater<Datagram>> queue;
  sockaddr_in client{};
  bool have_client = false;
  unsigned long order = 0, passed = 0, dropped = 0, duplicated = 0, held = 0;
  std::vector<unsigned char> buffer(65536);

  const auto schedule = [&](bool to_host, const unsigned char* data, std::size_t size) {
    // Every decision draws the same numbers whatever the rates, so that a
    // seed means the same thing in every run.
    const double u_drop = unit(random), u_dup = unit(random), u_hold = unit(random);
    const double j1 = unit(random), j2 = unit(random);
    if (u_drop < o.drop) {
      ++dropped;
      return;
    }
    const int copies = u_dup < o.dup ? 2 : 1;
    duplicated += copies - 1;
    for (int c = 0; c < copies; ++c) {
      double ms = o.delay_ms + o.jitter_ms * (2 * (c == 0 ? j1 : j2) - 1);
      if (c == 0 && u_hold < o.reorder) {
        ms += o.delay_ms + 2 * o.jitter_ms;
        ++held;
      }
      if (ms < 0)
        ms = 0;
      const auto due = Clock::now() + std::chrono::microseconds(static_cast<long>(ms * 1000));
      queue.push(Datagram{due, order++, to_host, std::vector<unsigned char>(data, data + size)});
    }
  };

  while (!stop_requested) {
    int timeout = 50;
    if (!queue.empty()) {
      const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(queue.top().due -
                                                                              Clock::now());
      timeout = wait.count() < 0 ? 0 : static_cast<int>(std::min<long>(wait.count(), 50));
    }
    pollfd fds[2] = {{client_side, POLLIN, 0}, {host_side, POLLIN, 0}};
    if (poll(fds, 2, timeout) < 0 && errno != EINTR)
      break;
    if (fds[0].revents & POLLIN) {
      sockaddr_in from{};
      socklen_t len = sizeof from;
      const ssize_t n = recvfrom(client_side, buffer.data(), buffer.size(), 0,
                                 reinterpret_cast<sockaddr*>(&from), &len);
      if (n >= 0) {
        client = from;
        have_client = true;
        schedule(true, buffer.data(), static_cast<std::size_t>(n));
      }
    }
    if (fds[1].revents & POLLIN) {
      const ssize_t n = recv(host_side, buffer.data(), buffer.size(), 0);
      if (n >= 0)
        schedule(false, buffer.data(), static_cast<std::size_t>(n));
    }
    while (!queue.empty() && queue.top().due <= Clock::now()) {
      const Datagram& d = queue.top();
      if (d.to_host)
        send(host_side, d.bytes.data(), d.bytes.size(), 0);
      else if (have_client)
        sendto(client_side, d.bytes.data(), d.bytes.size(), 0,
               reinterpret_cast<const sockaddr*>(&client), sizeof client);
      ++passed;
      queue.pop();
    }
  }
  std::printf("fault-relay: passed %lu, dropped %lu, duplicated %lu, held back %lu\n", passed,
              dropped, duplicated, held);
  close(client_side);
  close(host_side);
  return 0;
}
