// The byte layout of the two messages, the decoder's length checks, and a
// seeded fuzz of the decoder (run it in the sanitizer build).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "net/network.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Network::Command;

void Append(Bytes* out, const void* data, std::size_t size) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  out->insert(out->end(), p, p + size);
}
void AppendDouble(Bytes* out, double v) {
  Append(out, &v, 8);
}
void AppendU32(Bytes* out, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    out->push_back(static_cast<unsigned char>(v >> (8 * i)));
}

bool SameBits(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}
bool SameBits(const Vector3& a, const Vector3& b) {
  return SameBits(a.x(), b.x()) && SameBits(a.y(), b.y()) && SameBits(a.z(), b.z());
}
bool SameBits(const Quaternion& a, const Quaternion& b) {
  return SameBits(a.s, b.s) && SameBits(a.v, b.v);
}

// A unit quaternion that Normalize() would change in its last bits: the
// decoder must hand it on as it came.
Quaternion UnstableUnitQuaternion() {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> d(-1, 1);
  for (int i = 0; i < 10000; ++i) {
    Quaternion q = Quaternion(d(rng), d(rng), d(rng), d(rng)).Normalize();
    if (!SameBits(q, q.Normalize()))
      return q;
  }
  ADD_FAILURE() << "no quaternion found that renormalises differently";
  return Quaternion();
}

// Bodies with distinct values in every field that travels.
std::vector<RBody*> MakeBodies(int n) {
  std::vector<RBody*> list;
  Quaternion q = UnstableUnitQuaternion();
  for (int i = 0; i < n; ++i) {
    RBody* b = new RBody(1.5 + i, 1 + 0.25 * i, 2 + 0.5 * i, 0.75 + i, "box" + std::to_string(i));
    b->vel = Vector3(0.1 * i, -0.2 * i, 1e-300 * i);
    b->pos = Vector3(i, -3.0 * i, 0.5 + i);
    b->ang_vel = Vector3(-1.0 / (i + 3), 2.5, 1e10 * i);
    b->SetAngPos(q);
    b->ang_pos = q;  // exactly these bits, not renormalised
    b->is_static = i % 3 == 1;
    list.push_back(b);
  }
  return list;
}

void Delete(std::vector<RBody*>* list) {
  for (RBody* b : *list)
    delete b;
  list->clear();
}

// The record of one body, built by hand from the table of fields.
Bytes Record(const RBody& b) {
  Bytes r;
  for (double v : {b.density, b.width, b.height, b.depth})
    AppendDouble(&r, v);
  for (const Vector3* v : {&b.vel, &b.pos, &b.ang_vel})
    for (double c : {v->x(), v->y(), v->z()})
      AppendDouble(&r, c);
  for (double c : {b.ang_pos.s, b.ang_pos.v.x(), b.ang_pos.v.y(), b.ang_pos.v.z()})
    AppendDouble(&r, c);
  r.push_back(b.is_static ? 1 : 0);
  return r;
}

class WireTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Network::bodies = &received_;
    Network::players = nullptr;
    Network::is_server = false;
  }
  void TearDown() override {
    Delete(&received_);
    Delete(&sent_);
    Network::bodies = nullptr;
    Network::is_server = false;
  }

  // Decodes `data` and expects it dropped with one line of output and
  // nothing appended; returns the line.
  std::string ExpectDropped(const Bytes& data) {
    std::size_t before = received_.size();
    testing::internal::CaptureStdout();
    Command c = Network::DecodePacket(data.data(), data.size());
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(c.type, Network::MSG_NONE);
    EXPECT_EQ(received_.size(), before);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    EXPECT_EQ(out.back(), '\n');
    return out;
  }

  std::vector<RBody*> received_;
  std::vector<RBody*> sent_;
};

TEST(WirePrimitives, LittleEndianAndPositions) {
  unsigned char buf[80] = {};
  int pos = 0;
  Network::WriteInt(buf, &pos, 0x01020304u);
  EXPECT_EQ(pos, 4);
  EXPECT_EQ(buf[0], 0x04);
  EXPECT_EQ(buf[3], 0x01);
  Network::WriteDouble(buf, &pos, 1.0);  // 0x3ff0000000000000
  EXPECT_EQ(pos, 12);
  EXPECT_EQ(buf[11], 0x3f);
  EXPECT_EQ(buf[10], 0xf0);
  Network::WriteVector(buf, &pos, Vector3(-0.0, 2, 3));
  EXPECT_EQ(pos, 36);
  Network::WriteQuaternion(buf, &pos, Quaternion(0.5, 4, 5, 6));
  EXPECT_EQ(pos, 68);

  pos = 0;
  EXPECT_EQ(Network::ReadInt(buf, &pos), 0x01020304u);
  EXPECT_EQ(Network::ReadDouble(buf, &pos), 1.0);
  Vector3 v = Network::ReadVector(buf, &pos);
  EXPECT_TRUE(SameBits(v, Vector3(-0.0, 2, 3)));
  Quaternion q = Network::ReadQuaternion(buf, &pos);
  EXPECT_TRUE(SameBits(q, Quaternion(0.5, 4, 5, 6)));
  EXPECT_EQ(pos, 68);
}

TEST_F(WireTest, InputMessageBytes) {
  Bytes expected = {1, 0x04, 0x03, 0x02, 0x01, 7, 0x0d, 0x0c, 0x0b, 0x0a};
  EXPECT_EQ(Network::EncodeInput(Network::RIGHT_DOWN, 0x01020304u, 0x0a0b0c0du), expected);

  {  // a press and a release differ only in the lowest bit of the input
    Bytes down = Network::EncodeInput(Network::LEFT_DOWN, 9, 1);
    Bytes up = Network::EncodeInput(Network::LEFT_UP, 9, 1);
    for (std::size_t i = 0; i < down.size(); ++i)
      EXPECT_EQ(down[i] ^ up[i], i == 5 ? 1 : 0) << "byte " << i;
  }
  {  // round trip, with "Received new input."
    testing::internal::CaptureStdout();
    Command c = Network::DecodePacket(expected.data(), expected.size());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Received new input.\n");
    EXPECT_EQ(c.type, Network::MSG_SEND_INPUT);
    EXPECT_EQ(c.simulation_time, 0x01020304u);
    EXPECT_EQ(c.input, Network::RIGHT_DOWN);
    EXPECT_EQ(c.id, 0x0a0b0c0du);
  }
}

TEST_F(WireTest, SyncBytesOfZeroOneSevenAndTwentyBodies) {
  for (int n : {0, 1, 7, 20}) {
    Delete(&sent_);
    sent_ = MakeBodies(n);
    Bytes got = Network::EncodeSyncBodies(sent_, 0x0badf00du, 0x00000102u);
    Bytes expected = {0};
    AppendU32(&expected, 0x0badf00du);
    expected.push_back(static_cast<unsigned char>(n));
    for (const RBody* b : sent_) {
      Bytes r = Record(*b);
      ASSERT_EQ(r.size(), 137u);
      expected.insert(expected.end(), r.begin(), r.end());
    }
    AppendU32(&expected, 0x00000102u);
    ASSERT_EQ(got.size(), static_cast<std::size_t>(6 + 137 * n + 4)) << n << " bodies";
    EXPECT_EQ(got, expected) << n << " bodies";
  }
  EXPECT_EQ(Network::SyncMessageSize(0), 10u);
  EXPECT_EQ(Network::SyncMessageSize(7), 969u);
  EXPECT_EQ(Network::SyncMessageSize(127), 17409u);

  {  // 128 bodies do not fit the count byte
    Delete(&sent_);
    for (int i = 0; i < 128; ++i)
      sent_.push_back(new RBody(1, 1, 1, 1, "b"));
    EXPECT_TRUE(Network::EncodeSyncBodies(sent_, 1, 0).empty());
    delete sent_.back();
    sent_.pop_back();
    EXPECT_EQ(Network::EncodeSyncBodies(sent_, 1, 0).size(), 17409u);
  }
}

TEST_F(WireTest, SyncRoundTripKeepsEveryBit) {
  for (int n : {1, 7, 20, 127}) {
    Delete(&sent_);
    Delete(&received_);
    sent_ = MakeBodies(n);
    Bytes data = Network::EncodeSyncBodies(sent_, 4242, static_cast<unsigned>(n - 1));
    testing::internal::CaptureStdout();
    Command c = Network::DecodePacket(data.data(), data.size());
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("Received sync at 4242, " + std::to_string(n) + " bodies\n", 0), 0u);
    ASSERT_EQ(c.type, Network::MSG_SYNC_BODIES);
    EXPECT_EQ(c.simulation_time, 4242u);
    EXPECT_EQ(c.id, static_cast<uint32_t>(n - 1));
    ASSERT_EQ(received_.size(), static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
      const RBody& s = *sent_[i];
      const RBody& r = *received_[i];
      EXPECT_EQ(r.id, i);
      EXPECT_EQ(r.name, "body");
      EXPECT_TRUE(SameBits(r.density, s.density) && SameBits(r.width, s.width) &&
                  SameBits(r.height, s.height) && SameBits(r.depth, s.depth));
      EXPECT_TRUE(SameBits(r.vel, s.vel)) << "body " << i;
      EXPECT_TRUE(SameBits(r.pos, s.pos)) << "body " << i;
      EXPECT_TRUE(SameBits(r.ang_vel, s.ang_vel)) << "body " << i;
      // Not renormalised on the way in.
      EXPECT_TRUE(SameBits(r.ang_pos, s.ang_pos)) << "body " << i;
      EXPECT_FALSE(r.rot_matrix_valid);
      EXPECT_EQ(r.is_static, s.is_static);
      EXPECT_TRUE(SameBits(r.mass, s.mass));
      EXPECT_EQ(r.recent_cols_size, 0);
      EXPECT_TRUE(r.past_states.empty());
    }
  }
}

TEST_F(WireTest, ReadPacketDecodesAnEnetPacketAndLeavesItAlone) {
  Bytes data = Network::EncodeInput(Network::BACKWARD_UP, 3, 1);
  ENetPacket* packet = enet_packet_create(data.data(), data.size(), 0);
  ASSERT_NE(packet, nullptr);
  testing::internal::CaptureStdout();
  Command c = Network::ReadPacket(packet);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(c.type, Network::MSG_SEND_INPUT);
  EXPECT_EQ(c.input, Network::BACKWARD_UP);
  EXPECT_EQ(packet->dataLength, 10u);
  enet_packet_destroy(packet);
  EXPECT_EQ(Network::ReadPacket(nullptr).type, Network::MSG_NONE);
}

TEST_F(WireTest, MalformedPacketsDecodeToNothing) {
  sent_ = MakeBodies(3);
  const Bytes input = Network::EncodeInput(Network::FORWARD_DOWN, 5, 1);
  const Bytes sync = Network::EncodeSyncBodies(sent_, 5, 1);

  {  // empty
    EXPECT_EQ(ExpectDropped({}), "Dropped an empty packet.\n");
  }
  {  // unknown types, MSG_NONE included: it never travels
    for (unsigned char type : {2, 3, 255}) {
      Bytes d = input;
      d[0] = type;
      EXPECT_NE(ExpectDropped(d).find("unknown type"), std::string::npos);
    }
  }
  {  // input one byte short, one byte long, a sync-sized input
    Bytes shorter(input.begin(), input.end() - 1);
    EXPECT_EQ(ExpectDropped(shorter), "Dropped an input message of 9 bytes: it must have 10.\n");
    Bytes longer = input;
    longer.push_back(0);
    ExpectDropped(longer);
    Bytes one = {1};
    ExpectDropped(one);
  }
  {  // sync shorter than its header and player index
    for (std::size_t len = 1; len < 10; ++len)
      ExpectDropped(Bytes(sync.begin(), sync.begin() + len));
  }
  {  // sync one byte short of its bodies, one byte over
    ExpectDropped(Bytes(sync.begin(), sync.end() - 1));
    Bytes longer = sync;
    longer.push_back(0);
    EXPECT_EQ(ExpectDropped(longer), "Dropped a sync message of 422 bytes: 3 bodies make 421.\n");
  }
  {  // a count that claims more bodies than the packet holds
    Bytes d = sync;
    d[5] = 4;
    ExpectDropped(d);
    d[5] = 127;
    ExpectDropped(d);
  }
  {  // a count byte of 128 and above reads as negative
    Bytes d = sync;
    d[5] = 0x80;
    EXPECT_EQ(ExpectDropped(d), "Dropped a sync message with a negative body count (-128).\n");
    d[5] = 0xff;
    ExpectDropped(d);
  }
  {  // a player index that names none of the bodies sent
    Bytes d = Network::EncodeSyncBodies(sent_, 5, 3);
    EXPECT_EQ(ExpectDropped(d),
              "Refused a sync message: player index 3 names none of its 3 bodies.\n");
    ExpectDropped(Network::EncodeSyncBodies(sent_, 5, 0xffffffffu));
    std::vector<RBody*> none;
    ExpectDropped(Network::EncodeSyncBodies(none, 5, 0));  // a sync of no bodies
  }
  {  // sizes the body constructor cannot use, and states that are not numbers
    const std::size_t first = 6;
    struct Case {
      std::size_t offset;
      double value;
    };
    for (Case k : {Case{8, 0.0}, Case{16, -1.0}, Case{24, std::nan("")},
                   Case{8, std::numeric_limits<double>::infinity()}, Case{0, std::nan("")},
                   Case{32, std::nan("")}, Case{56, std::numeric_limits<double>::infinity()},
                   Case{80, -std::numeric_limits<double>::infinity()}, Case{104, std::nan("")}}) {
      Bytes d = sync;
      std::memcpy(&d[first + 137 + k.offset], &k.value, 8);  // second body
      EXPECT_EQ(ExpectDropped(d), "Refused a sync message: body 1 has an unusable size or state.\n")
          << "offset " << k.offset;
    }
    Bytes d = sync;
    std::memset(&d[first + 104], 0, 32);  // a zero orientation
    ExpectDropped(d);
  }
  {  // a sync that reaches the host: the scene comes from the host
    Network::is_server = true;
    EXPECT_EQ(ExpectDropped(sync),
              "Refused a sync message: the scene comes from the host, not from a client.\n");
    Network::is_server = false;
  }
  {  // a second sync, when the scene is already here
    testing::internal::CaptureStdout();
    EXPECT_EQ(Network::DecodePacket(sync.data(), sync.size()).type, Network::MSG_SYNC_BODIES);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(received_.size(), 3u);
    EXPECT_EQ(ExpectDropped(sync),
              "Refused a sync message: the scene has already been received.\n");
  }
  {  // no body list to receive into
    Delete(&received_);
    Network::bodies = nullptr;
    ExpectDropped(sync);
    Network::bodies = &received_;
  }
}

// Random, truncated, lengthened and corrupted packets: no crash, no read out
// of bounds (the sanitizer build checks), and a sync is either whole or not
// taken at all.
TEST_F(WireTest, FuzzedPacketsNeverCrashTheDecoder) {
  std::mt19937 rng(20240611);
  std::vector<Bytes> valid = {Network::EncodeInput(Network::LEFT_DOWN, 77, 1)};
  for (int n : {0, 1, 2, 5, 9}) {
    Delete(&sent_);
    sent_ = MakeBodies(n);
    valid.push_back(Network::EncodeSyncBodies(sent_, 77, n > 0 ? n - 1 : 0));
  }
  auto below = [&rng](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
  };

  testing::internal::CaptureStdout();
  int syncs = 0;
  for (int iter = 0; iter < 20000; ++iter) {
    Bytes d;
    const Bytes& base = valid[below(valid.size())];
    switch (below(5)) {
      case 0:  // random bytes, first byte mostly a real type
        d.resize(below(1500));
        for (unsigned char& c : d)
          c = static_cast<unsigned char>(below(256));
        if (!d.empty() && below(4) != 0)
          d[0] = static_cast<unsigned char>(below(3));
        break;
      case 1:  // truncated
        d.assign(base.begin(), base.begin() + below(base.size() + 1));
        break;
      case 2:  // lengthened
        d = base;
        d.resize(base.size() + 1 + below(300), static_cast<unsigned char>(below(256)));
        break;
      case 3:  // a few corrupted bytes
        d = base;
        for (std::size_t k = 0, m = 1 + below(4); k < m; ++k)
          d[below(d.size())] = static_cast<unsigned char>(below(256));
        break;
      default:  // a sync header whose count disagrees with the length
        d = valid[1 + below(valid.size() - 1)];
        d[5] = static_cast<unsigned char>(below(256));
        break;
    }
    // An allocation of exactly the packet's size, so that reading one byte
    // past it is caught.
    std::unique_ptr<unsigned char[]> exact(d.empty() ? nullptr : new unsigned char[d.size()]);
    if (!d.empty())
      std::memcpy(exact.get(), d.data(), d.size());
    Command c = Network::DecodePacket(exact.get(), d.size());
    if (c.type == Network::MSG_SYNC_BODIES) {
      ++syncs;
      ASSERT_EQ(d.size(), Network::SyncMessageSize(static_cast<int>(received_.size())));
      ASSERT_LT(c.id, received_.size());
      Delete(&received_);
    } else {
      ASSERT_TRUE(received_.empty());
    }
  }
  testing::internal::GetCapturedStdout();
  EXPECT_GT(syncs, 0);  // the fuzz reached the record decoding too
}

}  // namespace
