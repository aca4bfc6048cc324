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

// A network runs a parallel loop per layer, back to back; a worker that has
// just finished one waits this long for the next before it sleeps, so that a
// frame's layers do not each pay a wake-up. Between frames it sleeps.
constexpr auto briefWait = std::chrono::microseconds(50);

thread_local int threadIndex = 0;  // 0 on every thread that is not a worker

class SleepingThreadPool final : public cv::parallel::ParallelForAPI {
 public:
  ~SleepingThreadPool() override { stop(); }

  void parallel_for(int tasks, Body body, void* data) override {
    if (workers_.empty() || tasks <= 1 || threadIndex != 0 || running_) {
      body(0, tasks, data);
      return;
    }
    running_ = true;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      body_ = body;
      data_ = data;
      tasks_ = tasks;
      next_.store(0, std::memory_order_relaxed);
      busy_.store(static_cast<int>(workers_.size()), std::memory_order_relaxed);
      generation_.fetch_add(1, std::memory_order_release);
    }
    wake_.notify_all();
    work();
    // The workers finish their last tasks about when this thread does.
    const auto until = std::chrono::steady_clock::now() + briefWait;
    while (busy_.load(std::memory_order_acquire) != 0 && std::chrono::steady_clock::now() < until)
      std::this_thread::yield();
    if (busy_.load(std::memory_order_acquire) != 0) {
      std::unique_lock<std::mutex> lock(mutex_);
      done_.wait(lock, [this] { return busy_.load(std::memory_order_acquire) == 0; });
    }
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
    for (int task = next_.fetch_add(1, std::memory_order_relaxed); task < tasks_;
         task = next_.fetch_add(1, std::memory_order_relaxed))
      body_(task, task + 1, data_);
  }

  void serve(int index) {
    threadIndex = index;
    unsigned seen = generation_.load(std::memory_order_acquire);
    for (;;) {
      const auto until = std::chrono::steady_clock::now() + briefWait;
      while (generation_.load(std::memory_order_acquire) == seen && !stopping_.load() &&
             std::chrono::steady_clock::now() < until)
        std::this_thread::yield();
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [&] {
          return stopping_.load() || generation_.load(std::memory_order_acquire) != seen;
        });
        if (stopping_.load()) return;
        seen = generation_.load(std::memory_order_acquire);
      }
      work();
      if (busy_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        std::lock_guard<std::mutex> lock(mutex_);
        done_.notify_one();
      }
    }
  }

  void stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& worker : workers_) worker.join();
    workers_.clear();
    stopping_ = false;
  }

  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  std::atomic<unsigned> generation_{0};
  std::atomic<int> next_{0};
  std::atomic<int> busy_{0};
  std::atomic<bool> stopping_{false};  // set under mutex_
  bool running_ = false;               // a loop is under way (touched by the calling thread only)
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
