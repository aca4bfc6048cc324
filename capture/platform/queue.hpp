#pragma once
// Serial queues, dispatch groups and the global queue: the executors the
// recording logic runs its blocks on.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace capture {

namespace platform {

// Runs blocks one at a time, in order, on a thread of its own.
class SerialQueue {
 public:
  explicit SerialQueue(std::string label);
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& label() const { return label_; }
  void async(std::function<void()> block);
  // Runs the block on the queue once `seconds` have passed (on the steady
  // clock), behind whatever is queued by then. Blocks still waiting when the
  // queue is destroyed never run.
  void asyncAfter(double seconds, std::function<void()> block);
  // Runs the block on the queue and waits for it. Called from the queue
  // itself, it runs the block in place rather than deadlocking.
  void sync(const std::function<void()>& block);
  template <class F>
  auto syncResult(F&& f) -> decltype(f()) {
    decltype(f()) result{};
    sync([&] { result = f(); });
    return result;
  }
  bool isCurrent() const;

 private:
  void run();
  std::string label_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> blocks_;
  std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> timed_;
  bool closing_ = false;
  std::thread thread_;
};

// Counts outstanding work; `notify` runs its block once on the global queue
// when every `enter` has been matched by a `leave` (at once if none is open).
class DispatchGroup {
 public:
  void enter();
  void leave();
  void notify(std::function<void()> block);

 private:
  std::mutex mutex_;
  int outstanding_ = 0;
  std::function<void()> pending_;
};

// Runs a block on a thread of its own, without waiting for it.
void dispatchGlobalAsync(std::function<void()> block);

}  // namespace platform

}  // namespace capture
