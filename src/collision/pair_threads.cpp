#include "collision/pair_threads.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

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
    Start();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      job_ = &job;
      count_ = count;
      next_.store(0);
      state_.store(State::kPending);
      round_.store(round_.load() + 1);
    }
    wake_.notify_all();
    Work();
    State pending = State::kPending;
    if (!state_.compare_exchange_strong(pending, State::kSkipped)) {
      if (!Await([this] { return state_.load() == State::kDone; }, kLastItem, false)) {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [this] { return state_.load() == State::kDone; });
      }
    }
    job_ = nullptr;
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

  void Work() {
    for (;;) {
      const std::size_t k = next_.fetch_add(1);
      if (k >= count_)
        return;
      (*job_)(k);
    }
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
      Work();
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
  std::size_t count_ = 0;
  std::atomic<std::size_t> next_{0};
  std::atomic<unsigned> round_{0};
  std::atomic<State> state_{State::kDone};
  std::atomic<bool> quit_{false};
  std::atomic<bool> nudged_{false};
  std::mutex background_mutex_;
  std::function<bool()> background_;
  std::thread thread_;
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

void SetBackground(std::function<bool()> work) {
  TheHelper().SetBackground(std::move(work));
}

void Nudge() {
  TheHelper().Nudge();
}

}  // namespace PairThreads
