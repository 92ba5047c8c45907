#include "app/dump.h"

#include <charconv>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>

#include "app/globals.h"

namespace {

// A record is formatted into one buffer and written at once. Numbers come out
// as the stream's default format would print them ("%g", 6 digits), but
// without the locale and stream machinery, which cost more than the physics
// of a step.
class Record {
 public:
  // One buffer serves every record, so a step allocates nothing.
  Record() : text_(Buffer()) { text_.clear(); }

  Record& operator<<(const char* s) {
    text_ += s;
    return *this;
  }
  Record& operator<<(double v) {
    // Most numbers of a record were printed lately (a body at rest, the
    // positions between a step's two state records), so the text of recent
    // values is kept by their bits.
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    CachedNumber& slot = Cache()[(bits * 0x9E3779B97F4A7C15ull) >> (64 - kCacheBits)];
    if (slot.size == 0 || slot.bits != bits) {
      const auto r =
          std::to_chars(slot.text, slot.text + sizeof slot.text, v, std::chars_format::general, 6);
      slot.bits = bits;
      slot.size = static_cast<unsigned char>(r.ptr - slot.text);
    }
    text_.append(slot.text, slot.size);
    return *this;
  }
  Record& operator<<(bool v) {
    text_ += v ? '1' : '0';
    return *this;
  }
  Record& operator<<(std::int64_t v) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    text_.append(buf, r.ptr);
    return *this;
  }

  const std::string& Text() const { return text_; }

 private:
  // "%g" with 6 digits is at most 13 characters ("-1.23457e-308").
  struct CachedNumber {
    std::uint64_t bits;
    unsigned char size;  // 0: empty
    char text[23];
  };
  static constexpr int kCacheBits = 12;

  static CachedNumber* Cache() {
    static CachedNumber cache[1 << kCacheBits] = {};
    return cache;
  }

  static std::string& Buffer() {
    static std::string buffer;
    return buffer;
  }

  std::string& text_;
};

global::DumpOptions options;
uint64_t written = 0;
bool stopped = false;
bool told_unopened = false;

// A record goes whole or not at all, so a stopped file ends on a whole line.
void Write(const Record& record) {
  const std::string& text = record.Text();
  if (stopped || !global::dumpfile.is_open())
    return;
  if (options.limit_bytes != 0 && written + text.size() > options.limit_bytes) {
    stopped = true;
    std::printf("The dump file %s reached its limit of %s; no more is written to it.\n",
                global::DumpPath().c_str(), global::DumpLimitText(options.limit_bytes).c_str());
    return;
  }
  global::dumpfile.write(text.data(), static_cast<std::streamsize>(text.size()));
  written += text.size();
}

}  // namespace

namespace global {

void ConfigureDump(const DumpOptions& o) { options = o; }

const DumpOptions& GetDumpOptions() { return options; }

std::string DumpPath() { return options.path.empty() ? DumpFileName(player_id) : options.path; }

bool DumpStopped() { return stopped; }

uint64_t DumpBytes() { return written; }

void ResetDump() {
  options = DumpOptions();
  written = 0;
  stopped = false;
  told_unopened = false;
}

std::string DumpLimitText(uint64_t bytes) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.6g MB", static_cast<double>(bytes) / 1e6);
  return buf;
}

std::string DumpFileName(unsigned player_index) {
  const unsigned low = player_index & 0xffu;
  if ('0' + low > 0xffu)
    return "dump" + std::to_string(low) + ".txt";
  return std::string("dump") + static_cast<char>('0' + low) + ".txt";
}

void DumpInfo() {
  // A file that cannot be opened is retried at the next record; the writes in
  // between go nowhere.
  if (!dumpfile.is_open() && !stopped) {
    dumpfile.clear();
    dumpfile.open(DumpPath(), std::ios::out | std::ios::trunc);
    written = 0;
    if (!dumpfile.is_open() && !told_unopened)
      std::printf("Cannot open the dump file %s; its records are dropped until it opens.\n",
                  DumpPath().c_str());
    told_unopened = !dumpfile.is_open();
  }
  Record f;
  f << "t: " << std::int64_t{simulation_time} << "\n";
  for (std::size_t i = 0; i < players.size(); ++i) {
    const Player& p = players[i];
    f << " p" << static_cast<std::int64_t>(i) << "input: " << p.forward << "," << p.backward << ","
      << p.left << "," << p.right << "\n";
  }
  for (std::size_t i = 0; i < bodies.size(); ++i) {
    RBody* b = bodies[i];
    Quaternion q = b->GetAngPos();
    // Labels padded to 10 characters so the numbers line up.
    f << " body" << static_cast<std::int64_t>(i) << "\n";
    f << "  pos     " << b->pos.x() << "," << b->pos.y() << "," << b->pos.z() << "\n";
    f << "  vel     " << b->vel.x() << "," << b->vel.y() << "," << b->vel.z() << "\n";
    f << "  ang_vel " << b->ang_vel.x() << "," << b->ang_vel.y() << "," << b->ang_vel.z() << "\n";
    f << "  ang_pos " << q.s << "," << q.v.x() << "," << q.v.y() << "," << q.v.z() << "\n";
  }
  f << "\n";
  Write(f);
}

void DumpLevels(int lvl, int a, int b) {
  Record f;
  f << " lvl" << std::int64_t{lvl} << " " << std::int64_t{a} << " " << std::int64_t{b} << "\n";
  Write(f);
}

void DumpPoints(Vector3 max_point, double depth) {
  Record f;
  f << " mpoint: " << max_point.x() << "," << max_point.y() << "," << max_point.z() << "\n"
    << " " << depth << "\n";
  Write(f);
}

Trace::Sink* DumpSink() {
  class DumpFile : public Trace::Sink {
    void StateRecord() override { DumpInfo(); }
    void Level(int lvl, int a, int b) override { DumpLevels(lvl, a, b); }
    void Point(const Vector3& max_point, double depth) override { DumpPoints(max_point, depth); }
  };
  static DumpFile sink;
  return &sink;
}

}  // namespace global
