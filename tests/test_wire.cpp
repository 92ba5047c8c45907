// The byte layout of the two messages, the decoder's length checks, and a
// seeded fuzz of the decoder (run it in the sanitizer build).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "app/globals.h"
#include "helpers.h"
#include "net/network.h"

namespace {

using namespace Network;
using Bytes = std::vector<unsigned char>;

// The records of the bodies, by hand: each double's bytes, the static flag.
Bytes Records(const std::vector<RBody*>& list, Bytes out = {}) {
  for (const RBody* b : list) {
    const Vector3 &v = b->vel, &p = b->pos, &w = b->ang_vel, &q = b->ang_pos.v;
    const double d[] = {b->density, b->width,     b->height, b->depth, v.x(), v.y(),
                        v.z(),      p.x(),        p.y(),     p.z(),    w.x(), w.y(),
                        w.z(),      b->ang_pos.s, q.x(),     q.y(),    q.z()};
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(d);
    out.insert(out.end(), bytes, bytes + sizeof d);
    out.push_back(b->is_static ? 1 : 0);
  }
  return out;
}

void Delete(std::vector<RBody*>* list) {
  for (RBody* b : *list)
    delete b;
  list->clear();
}

// The command and what was printed; the decoder reads an exact-size copy.
std::pair<Command, std::string> Decode(const Bytes& data) {
  Command c;
  std::string out = Stdout([&] { c = DecodePacket(Bytes(data).data(), data.size()); });
  return {c, out};
}

class WireTest : public ::testing::Test {
 protected:
  void SetUp() override { Network::bodies = &received_; }
  void TearDown() override {
    Delete(&received_);
    Delete(&sent_);
  }

  // Bodies with distinct values in every field that travels, and a unit
  // orientation that Normalize() would change: it must travel as it is.
  void MakeBodies(int n) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> d(-1, 1);
    Quaternion q;
    for (int i = 0; i < 10000 && q.s == q.Normalize().s; ++i)
      q = Quaternion(d(rng), d(rng), d(rng), d(rng)).Normalize();
    EXPECT_NE(q.s, q.Normalize().s);
    for (int i = 0; i < n; ++i) {
      RBody* b = sent_.emplace_back(new RBody(1.5 + i, 1 + 0.25 * i, 2 + 0.5 * i, 0.75 + i, "box"));
      b->vel = Vector3(0.1 * i, -0.2 * i, 1e-300 * i);
      b->pos = Vector3(i, -3.0 * i, 0.5 + i);
      b->ang_vel = Vector3(-1.0 / (i + 3), 2.5, 1e10 * i);
      b->ang_pos = q;
      b->is_static = i % 3 == 1;
    }
  }

  // Expects one line of output (`line`, when given) and nothing appended.
  void ExpectDropped(const Bytes& data, const std::string& line = "") {
    std::size_t before = received_.size();
    auto [c, out] = Decode(data);
    EXPECT_EQ(c.type, MSG_NONE) << out;
    EXPECT_EQ(received_.size(), before) << out;
    EXPECT_EQ(out, line.empty() ? out.substr(0, out.find('\n')) + '\n' : line);
  }

  std::vector<RBody*> received_, sent_;
};

// Exact bytes of an input and of a sync of 0, 1, 7, 20 and 127 bodies, and
// decodes that keep every bit of them.
TEST_F(WireTest, MessageBytesAndRoundTrips) {
  const Bytes input = {1, 0x04, 0x03, 0x02, 0x01, 7, 0x0d, 0x0c, 0x0b, 0x0a};
  EXPECT_EQ(EncodeInput(RIGHT_DOWN, 0x01020304u, 0x0a0b0c0du), input);
  auto [c, out] = Decode(input);
  EXPECT_EQ(out, "Received new input.\n");
  EXPECT_EQ(c.type, MSG_SEND_INPUT);
  EXPECT_EQ(c.simulation_time, 0x01020304u);
  EXPECT_EQ(c.input, RIGHT_DOWN);
  EXPECT_EQ(c.id, 0x0a0b0c0du);

  MakeBodies(128);
  EXPECT_TRUE(EncodeSyncBodies(sent_, 1, 0).empty());  // 128 do not fit the signed count byte
  for (int n : {0, 1, 7, 20, 127}) {
    Delete(&received_);
    const std::vector<RBody*> some(sent_.begin(), sent_.begin() + n);
    Bytes bytes = Records(some, {0, 0x0d, 0xf0, 0xad, 0x0b, static_cast<unsigned char>(n)});
    bytes.insert(bytes.end(), {0x02, 0x01, 0, 0});
    ASSERT_EQ(bytes.size(), SyncMessageSize(n));
    EXPECT_EQ(EncodeSyncBodies(some, 0x0badf00du, 0x0102), bytes) << n << " bodies";
    if (n == 0)
      continue;  // a sync of no bodies is refused (below)
    auto [c, out] = Decode(EncodeSyncBodies(some, 0x0badf00du, n / 2));
    EXPECT_EQ(out.rfind("Received sync at 195948557, " + std::to_string(n) + " bodies\n", 0), 0u);
    EXPECT_EQ(c.type, MSG_SYNC_BODIES);
    EXPECT_EQ(c.simulation_time, 0x0badf00du);
    EXPECT_EQ(c.id, n / 2u);
    EXPECT_EQ(Records(received_), Records(some));  // orientations not renormalised
    ASSERT_EQ(received_.size(), static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {  // and what follows from them
      EXPECT_EQ(received_[i]->id, i);
      EXPECT_EQ(received_[i]->name, "body");
      EXPECT_FALSE(received_[i]->rot_matrix_valid);
      EXPECT_EQ(received_[i]->mass, some[i]->mass);
    }
  }
}

TEST_F(WireTest, MalformedAndFuzzedPacketsDecodeToNothing) {
  MakeBodies(3);
  const Bytes input = EncodeInput(FORWARD_DOWN, 5, 1), sync = EncodeSyncBodies(sent_, 5, 1);
  auto with = [](Bytes d, std::size_t at, unsigned char value) { return (d.at(at) = value, d); };
  auto sized = [](Bytes d, std::size_t size) { return (d.resize(size), d); };
  ExpectDropped({}, "Dropped an empty packet.\n");
  for (unsigned char type : {2, 3, 255})  // unknown types; MSG_NONE never travels
    ExpectDropped(with(input, 0, type));
  ExpectDropped(sized(input, 9), "Dropped an input message of 9 bytes: it must have 10.\n");
  ExpectDropped(sized(input, 11));
  for (std::size_t size = 1; size < 10; ++size)  // shorter than header and player index
    ExpectDropped(sized(sync, size));
  ExpectDropped(sized(sync, sync.size() - 1));
  ExpectDropped(sized(sync, sync.size() + 1),
                "Dropped a sync message of 422 bytes: 3 bodies make 421.\n");
  for (unsigned char count : {4, 127, 0xff})  // counts that disagree with the length
    ExpectDropped(with(sync, 5, count));
  ExpectDropped(with(sync, 5, 0x80), "Dropped a sync message with a negative body count (-128).\n");
  ExpectDropped(EncodeSyncBodies(sent_, 5, 3),
                "Refused a sync message: player index 3 names none of its 3 bodies.\n");
  ExpectDropped(EncodeSyncBodies(sent_, 5, 0xffffffffu));
  ExpectDropped(EncodeSyncBodies({}, 5, 0));  // a sync of no bodies

  // Sizes the body constructor cannot use and states that are not numbers,
  // in the second body (at 6 + 137), and a zero orientation in the first.
  const double nan = std::nan(""), inf = HUGE_VAL;
  const std::pair<std::size_t, double> fields[] = {{8, 0.0},  {16, -1.0}, {24, nan},  {24, -2.0},
                                                   {8, inf},  {0, nan},   {32, nan},  {56, inf},
                                                   {56, nan}, {64, inf},  {80, -inf}, {104, nan}};
  for (auto [offset, value] : fields) {
    Bytes d = sync;
    std::memcpy(&d[143 + offset], &value, 8);
    ExpectDropped(d, "Refused a sync message: body 1 has an unusable size or state.\n");
  }
  Bytes d = sync;
  std::fill(d.begin() + 6 + 104, d.begin() + 6 + 136, 0);
  ExpectDropped(d);

  is_server = true;  // the scene comes from the host
  ExpectDropped(sync,
                "Refused a sync message: the scene comes from the host, not from a client.\n");
  is_server = false;
  ASSERT_EQ(Decode(sync).first.type, MSG_SYNC_BODIES);
  ExpectDropped(sync, "Refused a sync message: the scene has already been received.\n");

  // Fuzz: random, truncated, lengthened and corrupted packets. No crash, no
  // read out of bounds, and a sync is either whole or not taken at all.
  std::mt19937 rng(20240611);
  auto below = [&rng](std::size_t n) { return rng() % n; };
  auto byte = [&rng] { return static_cast<unsigned char>(rng()); };
  testing::internal::CaptureStdout();
  int syncs = 0;
  for (int iter = 0; iter < 20000; ++iter) {
    Bytes p = below(2) ? sync : input;
    switch (below(4)) {
      case 0:  // random bytes, the first mostly a known type
        p.resize(1 + below(1500));
        std::generate(p.begin(), p.end(), byte);
        p[0] %= 4;
        break;
      case 1:  // truncated or lengthened
        p.resize(below(p.size() + 300), byte());
        break;
      default:  // a few corrupted bytes, often the body count of a sync
        for (std::size_t k = 0, m = 1 + below(4); k < m; ++k)
          p[p[0] == 0 && below(2) ? 5 : below(p.size())] = byte();
    }
    Delete(&received_);
    const Command c = DecodePacket(Bytes(p).data(), p.size());  // a copy of exactly its size
    const bool whole =
        p.size() == SyncMessageSize(static_cast<int>(received_.size())) && c.id < received_.size();
    syncs += c.type == MSG_SYNC_BODIES;
    ASSERT_TRUE(c.type == MSG_SYNC_BODIES ? whole : received_.empty());
  }
  testing::internal::GetCapturedStdout();
  EXPECT_GT(syncs, 0);  // the fuzz reached the record decoding too
}

}  // namespace
