#include "platform/sleeping_thread_pool.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/core/parallel/parallel_backend.hpp>

namespace vision {

namespace {

using Body = cv::parallel::ParallelForAPI::FN_parallel_for_body_cb_t;
using Clock = std::chrono::steady_clock;

// A network runs a parallel loop per layer, back to back, each a few tens of
// microseconds long; a worker that has just finished one watches this long
// for the next before it sleeps, so that it is there in time for a frame's
// layers. Between frames it sleeps.
constexpr auto briefWait = std::chrono::microseconds(50);

void relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#else
  std::this_thread::yield();
#endif
}

// Waits until `done` holds or `wait` has passed; true when it holds.
template <typename Done>
bool watch(Done done, Clock::duration wait) {
  const auto until = Clock::now() + wait;
  for (unsigned i = 0;; ++i) {
    if (done()) return true;
    if (i % 64 == 63 && Clock::now() >= until) return false;
    relax();
  }
}

thread_local int threadIndex = 0;  // 0 on every thread that is not a worker

// A loop is open from when its tasks are published until the calling thread
// has taken the last one; a worker joins only while it is open (it counts
// itself in `active_` first, then checks), and the caller waits only for the
// workers that joined, never for one that is still waking up.
class SleepingThreadPool final : public cv::parallel::ParallelForAPI {
 public:
  ~SleepingThreadPool() override { stop(); }

  void parallel_for(int tasks, Body body, void* data) override {
    if (workers_.empty() || tasks <= 1 || threadIndex != 0 || running_) {
      body(0, tasks, data);
      return;
    }
    running_ = true;
    body_ = body;
    data_ = data;
    tasks_ = tasks;
    next_.store(0);
    open_.store(true);
    generation_.fetch_add(1);
    if (sleeping_.load() > 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      wake_.notify_all();
    }
    work();
    open_.store(false);
    // Whoever joined is running its last task.
    while (!watch([this] { return active_.load() == 0; }, briefWait)) std::this_thread::yield();
    running_ = false;
  }

  int getThreadNum() const override { return threadIndex; }
  int getNumThreads() const override { return static_cast<int>(workers_.size()) + 1; }

  int setNumThreads(int threads) override {
    const int previous = getNumThreads();
    stop();
    for (int i = 1; i < std::max(threads, 1); ++i) workers_.emplace_back([this, i] { serve(i); });
    return previous;
  }

  const char* getName() const override { return "sleeping"; }

 private:
  // Takes tasks one at a time until none is left.
  void work() {
    for (int task = next_.fetch_add(1); task < tasks_; task = next_.fetch_add(1))
      body_(task, task + 1, data_);
  }

  void serve(int index) {
    threadIndex = index;
    unsigned seen = generation_.load();
    for (;;) {
      if (!watch([&] { return generation_.load() != seen || stopping_.load(); }, briefWait)) {
        std::unique_lock<std::mutex> lock(mutex_);
        sleeping_.fetch_add(1);
        wake_.wait(lock, [&] { return generation_.load() != seen || stopping_.load(); });
        sleeping_.fetch_sub(1);
      }
      if (stopping_.load()) return;
      seen = generation_.load();
      active_.fetch_add(1);
      if (open_.load()) work();
      active_.fetch_sub(1);
    }
  }

  void stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_.store(true);
    }
    wake_.notify_all();
    for (std::thread& worker : workers_) worker.join();
    workers_.clear();
    stopping_.store(false);
  }

  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable wake_;
  // Sequentially consistent throughout: the joining protocol relies on it.
  std::atomic<unsigned> generation_{0};
  std::atomic<bool> open_{false};
  std::atomic<int> next_{0};
  std::atomic<int> active_{0};
  std::atomic<int> sleeping_{0};
  std::atomic<bool> stopping_{false};
  bool running_ = false;  // a loop is under way (touched by the calling thread only)
  // The open loop's work, written only while no worker is active.
  Body body_ = nullptr;
  void* data_ = nullptr;
  int tasks_ = 0;
};

}  // namespace

void useSleepingThreadPool(int threads) {
  auto pool = std::make_shared<SleepingThreadPool>();
  pool->setNumThreads(threads);
  cv::parallel::setParallelForBackend(pool, false);
  cv::setNumThreads(threads);
}

}  // namespace vision
