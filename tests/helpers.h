#pragma once

// Shared by the test executables. The first part needs only math and body, so
// the physics tests can use it without linking the application; the second
// (BOXSIM_TEST_APP, set for tests that link boxsim_core) drives the program.

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "body/rbody.h"
#include "collision/cdetector.h"

// Readable failures: the three components.
inline void PrintTo(const Vector3& v, std::ostream* os) {
  *os << "(" << v.x() << ", " << v.y() << ", " << v.z() << ")";
}

// Bit for bit, zero signs included: the peers must agree exactly.
inline bool SameBits(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}
inline ::testing::AssertionResult SameBits(const Vector3& a, const Vector3& b) {
  for (int i = 0; i < 3; ++i)
    if (!SameBits(a.axes[i], b.axes[i]))
      return ::testing::AssertionFailure()
             << std::hexfloat << "axis " << i << ": " << a.axes[i] << " vs " << b.axes[i];
  return ::testing::AssertionSuccess();
}
inline ::testing::AssertionResult SameBits(const Quaternion& a, const Quaternion& b) {
  if (!SameBits(a.s, b.s))
    return ::testing::AssertionFailure() << std::hexfloat << "s: " << a.s << " vs " << b.s;
  return SameBits(a.v, b.v);
}
// Names the first part that differs.
inline ::testing::AssertionResult SameBits(const RBState& a, const RBState& b) {
  const std::pair<const char*, ::testing::AssertionResult> parts[] = {
      {"pos", SameBits(a.pos, b.pos)},
      {"vel", SameBits(a.vel, b.vel)},
      {"ang_vel", SameBits(a.ang_vel, b.ang_vel)},
      {"ang_pos", SameBits(a.ang_pos, b.ang_pos)}};
  for (const auto& [name, same] : parts)
    if (!same)
      return ::testing::AssertionFailure() << name << " " << same.message();
  return ::testing::AssertionSuccess();
}

// Two records' points: the same lists in the same order, bit for bit, with
// the same edges and faces.
inline ::testing::AssertionResult SamePoints(const Collision& a, const Collision& b) {
  for (int i = 0; i < 2; ++i) {
    if (a.points[i].size() != b.points[i].size())
      return ::testing::AssertionFailure()
             << "list " << i << ": " << a.points[i].size() << " points vs " << b.points[i].size();
    for (std::size_t k = 0; k < a.points[i].size(); ++k) {
      const CollisionPoint &p = a.points[i][k], &q = b.points[i][k];
      if (!SameBits(p.p, q.p) || !SameBits(p.n, q.n) || p.eA != q.eA || p.eB != q.eB || p.f != q.f)
        return ::testing::AssertionFailure() << "list " << i << ", point " << k;
    }
  }
  return ::testing::AssertionSuccess();
}

inline void ExpectNear(const Vector3& got, const Vector3& want, double tol = 1e-12) {
  EXPECT_NEAR(got.x(), want.x(), tol);
  EXPECT_NEAR(got.y(), want.y(), tol);
  EXPECT_NEAR(got.z(), want.z(), tol);
}

inline std::unique_ptr<RBody> MakeBox(double w, double h, double d, Vector3 pos = Vector3(),
                                      bool is_static = false, Quaternion q = Quaternion()) {
  auto b = std::make_unique<RBody>(1.0, w, h, d, "box");
  b->pos = pos;
  b->is_static = is_static;
  b->SetAngPos(q);
  return b;
}

// Bodies owned by a test, handed out as plain pointers; ids are list indices.
struct OwnedBodies {
  std::vector<std::unique_ptr<RBody>> owned;
  std::vector<RBody*> list;
  RBody* Add(std::unique_ptr<RBody> b) {
    b->id = static_cast<int>(list.size());
    list.push_back(b.get());
    owned.push_back(std::move(b));
    return list.back();
  }
  RBody* Add(double w, double h, double d, Vector3 pos = Vector3(), bool is_static = false,
             Quaternion q = Quaternion()) {
    return Add(MakeBox(w, h, d, pos, is_static, q));
  }
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// What f printed on standard output.
template <class F>
std::string Stdout(F&& f) {
  ::testing::internal::CaptureStdout();
  std::forward<F>(f)();
  return ::testing::internal::GetCapturedStdout();
}

#ifdef BOXSIM_TEST_APP

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "app/dump.h"
#include "app/globals.h"
#include "app/scene.h"
#include "app/simulation.h"
#include "net/network.h"

// Runs a test executable inside a fresh folder of its own: a dump file is
// written into the current directory, and CTest runs test cases side by side.
// Register once per executable that writes one:
//   const auto* const kScratch = ::testing::AddGlobalTestEnvironment(new ScratchDir);
class ScratchDir : public ::testing::Environment {
 public:
  void SetUp() override {
    old_ = std::filesystem::current_path();
    std::string pattern = (std::filesystem::temp_directory_path() / "boxsim-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr) << "cannot make a scratch folder";
    dir_ = pattern;
    std::filesystem::current_path(dir_);
  }
  void TearDown() override {
    std::filesystem::current_path(old_);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

 private:
  std::filesystem::path old_, dir_;
};

// Closes the dump and returns its lines that start with prefix.
inline std::vector<std::string> DumpLines(const std::string& file, const std::string& prefix) {
  global::CloseDump();
  std::ifstream in(file);
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);)
    if (l.rfind(prefix, 0) == 0)
      lines.push_back(l);
  return lines;
}

inline std::string ScenePath(const std::string& name) {
  return std::string(BOXSIM_SOURCE_DIR) + "/scenes/" + name;
}

// A box appended to global::bodies with its index as id; old_state is left to the step.
inline RBody* AddBody(double w, double h, double d, Vector3 pos, bool is_static = false) {
  global::bodies.push_back(MakeBox(w, h, d, pos, is_static).release());
  global::bodies.back()->id = static_cast<int>(global::bodies.size()) - 1;
  return global::bodies.back();
}

// PrepareScene on `text`, written to a file of its own (parallel test
// processes never share one) and removed again.
struct SceneLoad {
  std::string path, out;
  int result = 0;
};
inline SceneLoad LoadSceneText(const std::string& text) {
  SceneLoad r;
  r.path = ::testing::TempDir() + "boxsim-scene-XXXXXX";
  const int fd = mkstemp(r.path.data());
  EXPECT_GE(fd, 0) << "cannot make " << r.path;
  std::ofstream(r.path, std::ios::binary) << text;
  r.out = Stdout([&] { r.result = PrepareScene(r.path.c_str()); });
  std::remove(r.path.c_str());
  if (fd >= 0)
    close(fd);
  return r;
}

// A plain ENet client that connects at once to 127.0.0.1:port and keeps what it saw.
struct RawClient {
  using Bytes = std::vector<unsigned char>;
  explicit RawClient(enet_uint16 port = Network::kPort)
      : host(enet_host_create(nullptr, 1, 2, 0, 0)),
        loopback{ENET_HOST_TO_NET_32(0x7f000001), port},
        peer(enet_host_connect(host, &loopback, 2, 0)) {}
  ~RawClient() { enet_host_destroy(host); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  void Service() {
    for (ENetEvent e; enet_host_service(host, &e, 0) > 0;) {
      if (e.type == ENET_EVENT_TYPE_DISCONNECT)
        disconnect_reason = static_cast<int>(e.data);
      if (e.type == ENET_EVENT_TYPE_RECEIVE) {
        received.emplace_back(e.packet->data, e.packet->data + e.packet->dataLength);
        enet_packet_destroy(e.packet);
      }
    }
  }
  void Send(const Bytes& d) {
    enet_peer_send(peer, 0, enet_packet_create(d.data(), d.size(), ENET_PACKET_FLAG_RELIABLE));
    enet_host_flush(host);
  }

  ENetHost* host;
  ENetAddress loopback;
  ENetPeer* peer;
  int disconnect_reason = -1;  // none yet
  std::vector<Bytes> received;
};

#endif  // BOXSIM_TEST_APP
