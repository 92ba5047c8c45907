#include "collision/pair_threads.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "collision/cdetector.h"

namespace {

// The second thread. Run hands out
// items 0..count-1, each run once on one of the two threads, and returns
// when all are done. If the helper has not woken by the time this thread
// finished every item, it is told to skip that round.
class Helper {
 public:
  ~Helper() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      quit_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
      thread_.join();
  }

  void Run(std::size_t count, const std::function<void(std::size_t)>& job) {
    if (!thread_.joinable())
      thread_ = std::thread([this] { Loop(); });
    {
      std::lock_guard<std::mutex> lock(mutex_);
      job_ = &job;
      count_ = count;
      next_.store(0);
      ++round_;
      state_ = State::kPending;
    }
    wake_.notify_all();
    Work();
    std::unique_lock<std::mutex> lock(mutex_);
    if (state_ == State::kPending)
      state_ = State::kSkipped;
    else
      done_.wait(lock, [this] { return state_ == State::kDone; });
    job_ = nullptr;
  }

 private:
  enum class State { kPending, kRunning, kSkipped, kDone };

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
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return quit_ || round_ != seen; });
      if (quit_)
        return;
      seen = round_;
      if (state_ != State::kPending)
        continue;
      state_ = State::kRunning;
      lock.unlock();
      Work();
      lock.lock();
      state_ = State::kDone;
      done_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  const std::function<void(std::size_t)>* job_ = nullptr;
  std::size_t count_ = 0;
  std::atomic<std::size_t> next_{0};
  unsigned round_ = 0;
  State state_ = State::kDone;
  bool quit_ = false;
  std::thread thread_;
};

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
  found->push_back(Found{j, record, gap});
  return record;
}

void Run(std::size_t count, const std::function<void(std::size_t)>& job) {
  static Helper helper;
  helper.Run(count, job);
}

}  // namespace PairThreads
