#include "app/dump.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/globals.h"
#include "collision/pair_threads.h"

namespace {

// Text that grows without filling its new room first: a state record's room
// is reserved for its longest form and mostly given back, and filling it cost
// a sixth of the formatting.
class Text {
 public:
  // Room for bytes more characters, at the end of the text.
  char* Room(std::size_t bytes) {
    if (capacity_ - size_ < bytes) {
      const std::size_t capacity = std::max(2 * capacity_, size_ + bytes);
      std::unique_ptr<char[]> grown(new char[capacity]);
      if (size_ != 0)
        std::memcpy(grown.get(), data_.get(), size_);
      data_ = std::move(grown);
      capacity_ = capacity;
    }
    return data_.get() + size_;
  }
  // The text ends at end, within the room made last.
  void End(const char* end) { size_ = static_cast<std::size_t>(end - data_.get()); }
  const char* data() const { return data_.get(); }
  std::size_t size() const { return size_; }
  void clear() { size_ = 0; }

 private:
  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// A record is formatted into one buffer and written at once. Numbers come out
// as the stream's default format would print them ("%g", 6 digits), but
// without the locale and stream machinery, which cost more than the physics
// of a step.
class Record {
 public:
  explicit Record(Text* text) : text_(*text) {}

  // Room for a record of at most bytes characters, written straight into
  // the text; End() gives back what it did not use.
  void Begin(std::size_t bytes) { at_ = text_.Room(bytes); }
  void End() { text_.End(at_); }

  template <std::size_t N>
  Record& operator<<(const char (&s)[N]) {
    std::memcpy(at_, s, N - 1);
    at_ += N - 1;
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
      char* end = SixDigits(v, bits, slot.text);
      if (end == nullptr)
        end =
            std::to_chars(slot.text, slot.text + sizeof slot.text, v, std::chars_format::general, 6)
                .ptr;
      slot.bits = bits;
      slot.size = static_cast<unsigned char>(end - slot.text);
    }
    std::memcpy(at_, slot.text, sizeof slot.text);  // whole slot: one fixed-size copy
    at_ += slot.size;
    return *this;
  }
  Record& operator<<(bool v) {
    *at_++ = v ? '1' : '0';
    return *this;
  }
  Record& operator<<(std::int64_t v) {
    at_ = std::to_chars(at_, at_ + kMaxInteger, v).ptr;
    return *this;
  }

  // The room a number takes while written: its whole cache slot is copied,
  // though its text is at most 13 characters. The longest integer text.
  static constexpr std::size_t kMaxNumber = 23;
  static constexpr std::size_t kMaxInteger = 20;

  // "%g" with 6 digits of v, or nullptr where it cannot be sure, which is
  // rare: outside about 1e-17 to 1e27, zero, not finite, or within a billionth
  // of a unit in the sixth digit of halfway between two results. v is
  // scaled by one exact power of ten to 1e5 to 1e6, in one rounding, so the
  // scaled value is off by at most 1e6 * 2^-53, about 1e-10.
  static char* SixDigits(double v, std::uint64_t bits, char* out) {
    static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const int binary_exponent = static_cast<int>((bits >> 52) & 0x7ff) - 1023;
    // floor(log10(|v|)) is this or one more; log10(2) is about 78913 / 2^18.
    int exponent = (binary_exponent * 78913) >> 18;
    const int shift = 5 - exponent;
    if (shift > 22 || shift < -21)
      return nullptr;  // zero, subnormal and not finite among them
    const double a = std::fabs(v);
    double scaled = shift >= 0 ? a * kPow10[shift] : a / kPow10[-shift];
    if (scaled >= 999999.5 - 1e-9) {
      if (scaled < 999999.5 + 1e-9)
        return nullptr;
      exponent += 1;
      scaled = shift - 1 >= 0 ? a * kPow10[shift - 1] : a / kPow10[1 - shift];
    }
    // Truncation is the floor here: scaled is positive.
    const double whole = static_cast<double>(static_cast<std::uint32_t>(scaled));
    const double part = scaled - whole;
    if (whole < 99999 || std::fabs(part - 0.5) < 1e-9)
      return nullptr;
    auto digits = static_cast<std::uint32_t>(whole) + (part > 0.5 ? 1 : 0);
    if (digits >= 1000000) {
      digits /= 10;
      exponent += 1;
    } else if (digits < 100000) {
      return nullptr;
    }
    static constexpr char kPairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    char d[6];
    std::memcpy(d, kPairs + 2 * (digits / 10000), 2);
    std::memcpy(d + 2, kPairs + 2 * (digits / 100 % 100), 2);
    std::memcpy(d + 4, kPairs + 2 * (digits % 100), 2);
    int last = 5;  // trailing zeros go
    while (last > 0 && d[last] == '0')
      --last;
    if (v < 0)
      *out++ = '-';
    if (exponent >= -4 && exponent < 6) {
      if (exponent < 0) {
        *out++ = '0';
        *out++ = '.';
        for (int i = -1; i > exponent; --i)
          *out++ = '0';
        for (int i = 0; i <= last; ++i)
          *out++ = d[i];
      } else {
        for (int i = 0; i <= exponent; ++i)
          *out++ = d[i];
        if (last > exponent) {
          *out++ = '.';
          for (int i = exponent + 1; i <= last; ++i)
            *out++ = d[i];
        }
      }
      return out;
    }
    *out++ = d[0];
    if (last > 0) {
      *out++ = '.';
      for (int i = 1; i <= last; ++i)
        *out++ = d[i];
    }
    *out++ = 'e';
    *out++ = exponent < 0 ? '-' : '+';
    const int e = exponent < 0 ? -exponent : exponent;
    *out++ = static_cast<char>('0' + e / 10);
    *out++ = static_cast<char>('0' + e % 10);
    return out;
  }

  // "%g" with 6 digits is at most 13 characters ("-1.23457e-308").
  struct CachedNumber {
    std::uint64_t bits;
    unsigned char size;  // 0: empty
    char text[23];
  };
  static constexpr int kCacheBits = 12;
  static_assert(sizeof(CachedNumber::text) == kMaxNumber, "a number's room is its slot");

  static CachedNumber* Cache() {
    static CachedNumber cache[1 << kCacheBits] = {};
    return cache;
  }

  Text& text_;
  char* at_ = nullptr;
};

global::DumpOptions options;
uint64_t written = 0;
bool stopped = false;
bool told_unopened = false;

// Records go whole or not at all, so a stopped file ends on a whole line.
// ends holds where each record of text ends; the records the limit lets
// through go out in one write. True when the limit stopped the file here.
bool Write(const Text& text, const std::vector<std::size_t>& ends) {
  if (stopped || !global::dumpfile.is_open())
    return false;
  std::size_t accepted = 0;
  for (std::size_t end : ends) {
    if (options.limit_bytes != 0 && written + (end - accepted) > options.limit_bytes) {
      stopped = true;
      break;
    }
    written += end - accepted;
    accepted = end;
  }
  global::dumpfile.write(text.data(), static_cast<std::streamsize>(accepted));
  return stopped;
}

// Records are taken down as numbers where they happen; the second thread
// of the pair tests turns them into text and writes it between its rounds
// (this thread lends a hand when it falls behind), in the order taken, which
// costs more than taking them down. The file, its limit and its messages
// are as if each record were written at once: the limit's message is printed by the caller's
// thread, and whatever reads, reopens or closes the file, or changes the options, drains the pipe
// first (FileOpen asks without draining).
enum Kind { kState, kLevel, kPoint };

// Where the formatting stands within a state record, which is formatted a
// body at a time: a large scene's whole took about 50 us, and the second
// thread joins a round only between pieces.
struct StateCursor {
  std::int64_t body = 0, bodies = 0;
  bool open = false;
};

// Formats the next part of a record: a level or a point whole, or a state
// record's head or one of its bodies. True when that ends the record.
bool FormatPart(const double*& in, Record& f, StateCursor& state) {
  constexpr std::size_t kInteger = Record::kMaxInteger, kNumber = Record::kMaxNumber;
  if (state.open) {
    // Labels padded to 10 characters so the numbers line up. The room
    // holds the record's closing blank line too.
    f.Begin(9 + kInteger + 4 * (16 + 4 * kNumber));
    f << " body" << state.body << "\n";
    f << "  pos     " << in[0] << "," << in[1] << "," << in[2] << "\n";
    f << "  vel     " << in[3] << "," << in[4] << "," << in[5] << "\n";
    f << "  ang_vel " << in[6] << "," << in[7] << "," << in[8] << "\n";
    f << "  ang_pos " << in[9] << "," << in[10] << "," << in[11] << "," << in[12] << "\n";
    in += 13;
    state.open = ++state.body < state.bodies;
    if (!state.open)
      f << "\n";
    f.End();
    return !state.open;
  }
  const int kind = static_cast<int>(*in++);
  if (kind == kLevel) {
    f.Begin(8 + 3 * kInteger);
    f << " lvl" << static_cast<std::int64_t>(in[0]) << " " << static_cast<std::int64_t>(in[1])
      << " " << static_cast<std::int64_t>(in[2]) << "\n";
    in += 3;
    f.End();
    return true;
  }
  if (kind == kPoint) {
    f.Begin(16 + 4 * kNumber);
    f << " mpoint: " << in[0] << "," << in[1] << "," << in[2] << "\n"
      << " " << in[3] << "\n";
    in += 4;
    f.End();
    return true;
  }
  const auto players_at = static_cast<std::size_t>(in[1]);
  f.Begin(8 + kInteger + players_at * (24 + kInteger));
  f << "t: " << static_cast<std::int64_t>(*in++) << "\n";
  const auto players = static_cast<std::int64_t>(*in++);
  for (std::int64_t i = 0; i < players; ++i, in += 4)
    f << " p" << i << "input: " << (in[0] != 0) << "," << (in[1] != 0) << "," << (in[2] != 0) << ","
      << (in[3] != 0) << "\n";
  state.body = 0;
  state.bodies = static_cast<std::int64_t>(*in++);
  state.open = state.bodies > 0;
  if (!state.open)
    f << "\n";
  f.End();
  return !state.open;
}

class Pipe {
 public:
  Pipe() {
    Reserve();
    PairThreads::SetBackground([this] { return Lend() != Done::kNothing; });
  }
  ~Pipe() {
    // Not Drain: that would nudge a second thread that may be gone by now.
    PairThreads::SetBackground(nullptr);
    if (!taken_.empty())
      Queue();
    while (Piece() != Done::kNothing) {
    }
    TellStops();
  }

  // Where the caller puts a record's numbers; Taken() after each.
  std::vector<double>& Input() { return taken_; }

  // A short record's numbers, taken. The batch's room is reserved, so this
  // is a few stores: a range insert cost several times the record's worth.
  template <std::size_t N>
  void Take(const double (&numbers)[N]) {
    for (double v : numbers)
      taken_.push_back(v);
    Taken();
  }

  // A contact's level record and an impulse's point record.
  void TakeLevel(int lvl, int a, int b) {
    Take({double{kLevel}, double(lvl), double(a), double(b)});
  }
  void TakePoint(const Vector3& max_point, double depth) {
    Take({double{kPoint}, max_point.x(), max_point.y(), max_point.z(), depth});
  }

  void Taken() {
    // About a step of a large scene per batch: few hand-overs, short lag.
    if (taken_.size() >= kBatch)
      HandOver();
  }

  // Some record taken is not in the file yet: the second thread may be
  // writing to it.
  bool Busy() const { return in_flight_.load() != 0; }

  // Every record taken so far is in the file (or refused by the limit). The
  // caller's thread takes pieces too, rather than wait.
  void Drain() {
    if (!taken_.empty())
      HandOver();
    while (in_flight_.load() != 0)
      Lend();
    TellStops();
  }

 private:
  static constexpr std::size_t kBatch = 8192;
  // Numbers per piece, in whole records or bodies of a state record: a round
  // goes without the second thread's help for at most one piece.
  static constexpr std::size_t kPieceNumbers = 64;
  // Batches queued before the caller's thread takes pieces itself.
  static constexpr std::size_t kMostQueued = 4;

  void HandOver() {
    Queue();
    PairThreads::Nudge();
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queue_.size() <= kMostQueued)
          break;
      }
      Lend();
    }
    TellStops();
  }

  void Queue() {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(std::move(taken_));
    ++in_flight_;
    // Batches come back with their storage.
    if (spare_.empty()) {
      taken_ = std::vector<double>();
    } else {
      taken_ = std::move(spare_.back());
      spare_.pop_back();
    }
    taken_.clear();
    Reserve();
  }

  // Room for a batch and a large record over it (a state record of up to
  // about 600 bodies): growing it on the way would reallocate large blocks,
  // page faults and all.
  void Reserve() { taken_.reserve(2 * kBatch); }

  enum class Done { kPiece, kNothing, kOtherThread };

  // Formats a few records of the oldest batch, or writes it out once all are
  // formatted. The other thread may be at a piece: there may be more after.
  Done Piece() {
    std::unique_lock<std::mutex> working(piece_mutex_, std::try_to_lock);
    if (!working.owns_lock())
      return Done::kOtherThread;
    if (at_ == nullptr) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (queue_.empty())
        return Done::kNothing;
      numbers_ = std::move(queue_.front());
      queue_.pop_front();
      at_ = numbers_.data();
    }
    const double* end = numbers_.data() + numbers_.size();
    Record f(&text_);
    for (const double* stop = at_ + kPieceNumbers; at_ < end && at_ < stop;)
      if (FormatPart(at_, f, state_))
        ends_.push_back(text_.size());
    // Written piece by piece too: a batch's text written at once held the
    // thread for about 50 us, well into the next round.
    if (!state_.open) {
      stops_ = Write(text_, ends_) || stops_;
      text_.clear();
      ends_.clear();
    }
    if (at_ < end)
      return Done::kPiece;
    assert(!state_.open);  // a batch holds whole records
    at_ = nullptr;
    numbers_.clear();
    std::lock_guard<std::mutex> lock(mutex_);
    spare_.push_back(std::move(numbers_));
    numbers_ = std::vector<double>();
    limit_reached_ = limit_reached_ || stops_;
    stops_ = false;
    --in_flight_;
    return Done::kPiece;
  }

  // A piece, or the core to the other thread while it does one.
  Done Lend() {
    const Done done = Piece();
    if (done == Done::kOtherThread)
      std::this_thread::yield();
    return done;
  }

  void TellStops() {
    bool told;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      told = limit_reached_;
      limit_reached_ = false;
    }
    if (told)
      std::printf("The dump file %s reached its limit of %s; no more is written to it.\n",
                  global::DumpPath().c_str(), global::DumpLimitText(options.limit_bytes).c_str());
  }

  std::vector<double> taken_;  // the caller's thread only
  std::mutex mutex_;           // guards the queue, the spares and the stop flag
  std::deque<std::vector<double>> queue_;
  std::vector<std::vector<double>> spare_;
  std::atomic<int> in_flight_{0};  // changed under mutex_, read without it by Busy
  bool limit_reached_ = false;
  // The batch being formatted, by whichever thread holds piece_mutex_: its
  // text not yet written (kept with its storage), and whether the limit
  // stopped the file in this batch.
  std::mutex piece_mutex_;
  std::vector<double> numbers_;
  const double* at_ = nullptr;
  StateCursor state_;
  Text text_;
  std::vector<std::size_t> ends_;
  bool stops_ = false;
};

// Made out of line: inlined, its construction had every look-up save and
// restore six registers, and the solvers' trace looks it up for every
// contact's level and point.
[[gnu::noinline]] Pipe* MakePipe() {
  static Pipe pipe;
  return &pipe;
}

Pipe& ThePipe() {
  static Pipe* const pipe = MakePipe();
  return *pipe;
}

// Whether the file is open, without touching the stream while the second
// thread may write to it: records in flight were taken with the file open,
// and only this thread closes it, after draining them.
bool FileOpen(const Pipe& pipe) {
  return pipe.Busy() || global::dumpfile.is_open();
}

bool FileOpen() {
  return FileOpen(ThePipe());
}

}  // namespace

namespace global {

void ConfigureDump(const DumpOptions& o) {
  ThePipe().Drain();
  options = o;
}

const DumpOptions& GetDumpOptions() {
  return options;
}

std::string DumpPath() {
  return options.path.empty() ? DumpFileName(player_id) : options.path;
}

bool DumpFileOpen() {
  return FileOpen();
}

bool DumpStopped() {
  ThePipe().Drain();
  return stopped;
}

uint64_t DumpBytes() {
  ThePipe().Drain();
  return written;
}

void CloseDump() {
  ThePipe().Drain();
  if (dumpfile.is_open())
    dumpfile.close();
}

void ResetDump() {
  ThePipe().Drain();
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
  if (!FileOpen()) {
    ThePipe().Drain();
    if (!stopped) {
      dumpfile.clear();
      dumpfile.open(DumpPath(), std::ios::out | std::ios::trunc);
      written = 0;
      if (!dumpfile.is_open() && !told_unopened)
        std::printf("Cannot open the dump file %s; its records are dropped until it opens.\n",
                    DumpPath().c_str());
      told_unopened = !dumpfile.is_open();
    }
  }
  if (!FileOpen())
    return;
  std::vector<double>& out = ThePipe().Input();
  out.push_back(kState);
  out.push_back(simulation_time);
  out.push_back(static_cast<double>(players.size()));
  for (const Player& p : players) {
    out.push_back(p.forward);
    out.push_back(p.backward);
    out.push_back(p.left);
    out.push_back(p.right);
  }
  out.push_back(static_cast<double>(bodies.size()));
  // Thirteen numbers a body, written in place: a range insert per vector
  // cost more than the rest of the record.
  const std::size_t at = out.size();
  out.resize(at + 13 * bodies.size());
  double* o = out.data() + at;
  for (RBody* b : bodies) {
    const Quaternion q = b->GetAngPos();
    for (const Vector3* v : {&b->pos, &b->vel, &b->ang_vel}) {
      std::copy(v->axes, v->axes + 3, o);
      o += 3;
    }
    *o++ = q.s;
    std::copy(q.v.axes, q.v.axes + 3, o);
    o += 3;
  }
  ThePipe().Taken();
}

// Taken once per contact of a step, on the solvers' thread: kept short.
void DumpLevels(int lvl, int a, int b) {
  Pipe& pipe = ThePipe();
  if (FileOpen(pipe))
    pipe.TakeLevel(lvl, a, b);
}

void DumpPoints(Vector3 max_point, double depth) {
  Pipe& pipe = ThePipe();
  if (FileOpen(pipe))
    pipe.TakePoint(max_point, depth);
}

Trace::Sink* DumpSink() {
  class DumpFile : public Trace::Sink {
    void StateRecord() override { DumpInfo(); }
    void Level(int lvl, int a, int b) override { DumpLevels(lvl, a, b); }
    void Point(const Vector3& max_point, double depth) override { DumpPoints(max_point, depth); }
    // A step's reports of a large scene at once, on the step's one-thread
    // part: one look-up of the pipe and the file, and no call per report.
    void Replay(const Trace::Report* reports, std::size_t count) override {
      Pipe& pipe = ThePipe();
      if (!FileOpen(pipe))
        return;
      for (std::size_t k = 0; k < count; ++k) {
        const Trace::Report& r = reports[k];
        if (r.has_level)
          pipe.TakeLevel(r.lvl, r.a, r.b);
        if (r.has_point)
          pipe.TakePoint(r.point, r.depth);
      }
    }
  };
  static DumpFile sink;
  return &sink;
}

}  // namespace global
