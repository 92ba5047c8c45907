#include "collision/pair_threads.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <typeinfo>

#include "collision/cdetector.h"

namespace {

// The second thread. Run hands out items 0..count-1, each run once on one of
// the two threads, and returns when all are done. If the helper has not
// started by the time this thread finished every item, it is told to skip
// that round. Between rounds it does the background work, piece by piece,
// so that a round goes without its help for at most one piece.
//
// Waking a sleeping thread costs tens of microseconds here, about a tenth of
// a round, so neither side sleeps at once: the helper looks for the next
// round or piece a while after each one (a step's rounds come close
// together), and Run waits for the helper's last item by looking, since an
// item is short.
class Helper {
 public:
  ~Helper() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      quit_.store(true);
    }
    wake_.notify_all();
    if (thread_.joinable())
      thread_.join();
  }

  void Run(std::size_t count, const std::function<void(std::size_t)>& job) {
    ran_ = true;
    if (!Shares(job)) {
      for (std::size_t k = 0; k < count; ++k)
        job(k);
      return;
    }
    RunHelped(count, job);
  }

  // Sharing is not always a gain: where memory passes slowly from core to
  // core (seen on a virtual machine), the rounds' gain was lost again in the
  // caller's reading what the helper made, and small scenes' steps took
  // longer shared than not. So whole steps are timed both ways, and go the
  // way that was faster lately, with the last kTrial steps of every cycle
  // the other way to keep that figure current: a cycle of kCycle steps while
  // the two are close, of kLongCycle once one is clearly ahead, as a trial
  // of the slower way costs time. The first half of a run of steps the other
  // way is not counted: it finds the caches as the other way left them.
  // Which thread runs an item never changes a result, so the clock may
  // decide.
  void BeginStep() {
    // A cycle also ends once its way is clearly the slower, so that a mean
    // the other way left long ago (a scene since changed, say) does not hold
    // a whole long cycle.
    if (phase_ == cycle_ || (phase_ > 0 && phase_ < cycle_ - kTrial && samples_[0] > 0 &&
                             samples_[1] > 0 && mean_[faster_] > kClear * mean_[1 - faster_]))
      phase_ = 0;
    if (phase_ == 0) {
      faster_ = samples_[0] == 0 || mean_[1] <= mean_[0] ? 1 : 0;
      const bool clear = samples_[0] > 0 && samples_[1] > 0 &&
                         std::max(mean_[0], mean_[1]) > kClear * std::min(mean_[0], mean_[1]);
      cycle_ = clear ? kLongCycle : kCycle;
    }
    const unsigned phase = phase_++;
    const bool trial = phase >= cycle_ - kTrial;
    way_ = trial ? 1 - faster_ : faster_;
    counted_ = trial ? phase >= cycle_ - kTrial / 2 : phase >= kTrial / 2;
    ran_ = false;
    in_step_ = true;
    next_round_ = 0;
    ++steps_;
  }

  void EndStep(std::chrono::steady_clock::duration took) {
    EndRound(std::chrono::steady_clock::now());
    in_step_ = false;
    const int way = way_;
    way_ = 1;
    // A step of a small scene runs no round and says nothing of either way.
    if (!counted_ || !ran_)
      return;
    double seconds = std::chrono::duration<double>(took).count();
    if (samples_[way]++ == 0) {
      mean_[way] = seconds;
      return;
    }
    // A step the scheduler cut into says little about the next: it moves the
    // mean no more than a step twice as long would.
    seconds = std::min(seconds, 2 * mean_[way]);
    mean_[way] += (seconds - mean_[way]) / 8;
  }

  void SetBackground(std::function<bool()> work) {
    std::lock_guard<std::mutex> lock(background_mutex_);
    background_ = std::move(work);
  }

  void Nudge() {
    Start();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      nudged_.store(true);
    }
    wake_.notify_all();
  }

 private:
  enum class State { kPending, kRunning, kSkipped, kDone };

  // Within a shared step each round goes its own way too: one whose items
  // are short for the memory they touch (the collision solver's parts of a
  // few records, say) can take longer shared than alone, while the pair
  // tests gain. A round is known
  // by its place in the step and the type of its job; it is timed from its
  // start to the next round's start or the step's end, so that the caller's
  // reading what it made counts too; and it goes the way that was faster,
  // the other way now and then to keep that figure current.
  struct Round {
    const std::type_info* job = nullptr;
    double mean[2] = {0, 0};  // seconds, by way
    unsigned samples[2] = {0, 0};
  };

  bool Shares(const std::function<void(std::size_t)>& job) {
    if (!in_step_)
      return true;
    if (way_ == 0)
      return false;
    const auto now = std::chrono::steady_clock::now();
    EndRound(now);
    if (next_round_ >= kRounds)
      return true;
    Round& round = rounds_[next_round_];
    if (round.job == nullptr || *round.job != job.target_type()) {
      round = Round();
      round.job = &job.target_type();
    }
    const bool known = round.samples[0] > 0 && round.samples[1] > 0;
    const int faster = known && round.mean[0] < round.mean[1] ? 0 : 1;
    const bool clear = known && std::max(round.mean[0], round.mean[1]) >
                                    kClear * std::min(round.mean[0], round.mean[1]);
    // Each round's trials fall on steps of their own, so that the one tried
    // is timed after the others' usual ways.
    const unsigned place = static_cast<unsigned>(next_round_);
    const bool trial = round.samples[1 - faster] < kTrial
                           ? (steps_ + place) % kTrial == 0
                           : (steps_ + 5 * place) % (clear ? kLongCycle : kCycle) == 0;
    const int way = trial ? 1 - faster : faster;
    open_ = next_round_++;
    open_way_ = way;
    open_start_ = now;
    return way == 1;
  }

  void EndRound(std::chrono::steady_clock::time_point now) {
    if (open_ >= kRounds)
      return;
    Round& round = rounds_[open_];
    double seconds = std::chrono::duration<double>(now - open_start_).count();
    open_ = kRounds;
    // The least of the first few: a round's first runs either way can find
    // cold caches or a helper that has yet to start, and a mean that began
    // there would keep that way from its next trials for long.
    if (round.samples[open_way_]++ < kTrial) {
      if (round.samples[open_way_] == 1 || seconds < round.mean[open_way_])
        round.mean[open_way_] = seconds;
      return;
    }
    seconds = std::min(seconds, 2 * round.mean[open_way_]);
    round.mean[open_way_] += (seconds - round.mean[open_way_]) / 8;
  }

  void RunHelped(std::size_t count, const std::function<void(std::size_t)>& job) {
    assert(count <= UINT32_MAX);  // see Pack
    Start();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      job_ = &job;
      left_.store(Pack(0, static_cast<std::uint32_t>(count)));
      state_.store(State::kPending);
      round_.store(round_.load() + 1);
    }
    wake_.notify_all();
    Work(false);
    State pending = State::kPending;
    if (!state_.compare_exchange_strong(pending, State::kSkipped)) {
      if (!Await([this] { return state_.load() == State::kDone; }, kLastItem, false)) {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [this] { return state_.load() == State::kDone; });
      }
    }
    job_ = nullptr;
  }

  void Start() {
    if (!thread_.joinable())
      thread_ = std::thread([this] { Loop(); });
  }

  // One piece of background work; false if there was none.
  bool Background() {
    std::lock_guard<std::mutex> lock(background_mutex_);
    return background_ && background_();
  }
  static constexpr std::chrono::microseconds kLastItem{50};
  static constexpr std::chrono::microseconds kNextRound{1000};

  // Looks for ready() for up to look; false if it never came. A yielding
  // look leaves the core to any other thread that wants it meanwhile.
  template <typename Ready>
  static bool Await(Ready ready, std::chrono::microseconds look, bool yielding) {
    const auto until = std::chrono::steady_clock::now() + look;
    for (unsigned k = 1;; ++k) {
      if (ready())
        return true;
      if (yielding && k % 16 == 0)
        std::this_thread::yield();
      if (k % 64 == 0 && std::chrono::steady_clock::now() > until)
        return false;
    }
  }

  // The items left, [front, back), in one word. Run's caller takes from the
  // front and the helper from the back, a quarter of what is left at a time:
  // each thread then keeps to neighbouring items, and so mostly to the same
  // bodies from round to round, as handing memory from core to core is
  // slow; and few takes mean few trips of this word between the cores.
  static std::uint64_t Pack(std::uint32_t front, std::uint32_t back) {
    return std::uint64_t{front} << 32 | back;
  }

  bool Take(bool from_back, std::size_t* begin, std::size_t* end) {
    std::uint64_t left = left_.load();
    for (;;) {
      const std::uint32_t front = static_cast<std::uint32_t>(left >> 32);
      const std::uint32_t back = static_cast<std::uint32_t>(left);
      if (front >= back)
        return false;
      const std::uint32_t take = std::max<std::uint32_t>(1, (back - front) / 4);
      const std::uint64_t rest = from_back ? Pack(front, back - take) : Pack(front + take, back);
      if (left_.compare_exchange_weak(left, rest)) {
        *begin = from_back ? back - take : front;
        *end = *begin + take;
        return true;
      }
    }
  }

  void Work(bool from_back) {
    std::size_t begin, end;
    while (Take(from_back, &begin, &end))
      for (std::size_t k = begin; k < end; ++k)
        (*job_)(k);
  }

  void Loop() {
    unsigned seen = 0;
    for (;;) {
      const auto moved = [&] { return quit_.load() || round_.load() != seen || nudged_.load(); };
      if (!Await(moved, kNextRound, true)) {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, moved);
      }
      if (quit_.load())
        return;
      if (round_.load() == seen) {
        // Nudged: pieces until there are none or a round comes.
        nudged_.store(false);
        while (round_.load() == seen && !quit_.load() && Background()) {
        }
        continue;
      }
      seen = round_.load();
      // Pieces a round cut short, joined or not, are taken up after it.
      nudged_.store(true);
      State pending = State::kPending;
      if (!state_.compare_exchange_strong(pending, State::kRunning))
        continue;
      Work(true);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        state_.store(State::kDone);
      }
      done_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  const std::function<void(std::size_t)>* job_ = nullptr;
  std::atomic<std::uint64_t> left_{0};
  std::atomic<unsigned> round_{0};
  std::atomic<State> state_{State::kDone};
  std::atomic<bool> quit_{false};
  std::atomic<bool> nudged_{false};
  std::mutex background_mutex_;
  std::function<bool()> background_;
  std::thread thread_;
  static constexpr unsigned kCycle = 64;
  static constexpr unsigned kLongCycle = 256;
  static constexpr unsigned kTrial = 4;
  static constexpr double kClear = 1.1;
  int way_ = 1;  // of this step, 0 alone or 1 shared; outside a step, shared
  int faster_ = 1;
  bool counted_ = false;
  bool ran_ = false;         // whether this step ran a round
  double mean_[2] = {0, 0};  // running means of a step, seconds, by way
  unsigned samples_[2] = {0, 0};
  unsigned phase_ = 0;
  unsigned cycle_ = kCycle;
  static constexpr std::size_t kRounds = 16;  // a step's first; any after go shared
  Round rounds_[kRounds];
  bool in_step_ = false;
  unsigned steps_ = 0;
  std::size_t next_round_ = 0;
  std::size_t open_ = kRounds;  // the round being timed, if below kRounds
  int open_way_ = 1;
  std::chrono::steady_clock::time_point open_start_;
};

Helper& TheHelper() {
  static Helper helper;
  return helper;
}

}  // namespace

namespace PairThreads {

Collision* Test(RBody* a, RBody* b, std::size_t j, std::vector<Found>* found) {
  double gap;
  CDetector::PairAxes axes;
  const CDetector::AxisVerdict verdict = CDetector::TestAxes(a, b, &gap, &axes);
  if (verdict == CDetector::AxisVerdict::kApart)
    return nullptr;
  Collision* record = nullptr;
  if (verdict == CDetector::AxisVerdict::kOverlapping)
    record = CDetector::GetCollisionPoints(a, b, false, axes);
  found->push_back(Found{j, record, record == nullptr && CDetector::GapClearsRings(a, b, gap), 0});
  return record;
}

void Run(std::size_t count, const std::function<void(std::size_t)>& job) {
  TheHelper().Run(count, job);
}

TimedStep::TimedStep() : start_(std::chrono::steady_clock::now()) {
  TheHelper().BeginStep();
}

TimedStep::~TimedStep() {
  TheHelper().EndStep(std::chrono::steady_clock::now() - start_);
}

void SetBackground(std::function<bool()> work) {
  TheHelper().SetBackground(std::move(work));
}

void Nudge() {
  TheHelper().Nudge();
}

}  // namespace PairThreads
