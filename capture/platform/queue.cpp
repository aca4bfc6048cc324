#include "platform/queue.hpp"

namespace capture {

namespace platform {

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
  thread_ = std::thread([this] { run(); });
}

SerialQueue::~SerialQueue() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) {
    if (thread_.get_id() == std::this_thread::get_id())
      thread_.detach();
    else
      thread_.join();
  }
}

// The wake-up is given under the lock: once it is released the block may
// already have run on the queue's thread, and a block may drop the queue's
// owner, and with it the queue.
void SerialQueue::async(std::function<void()> block) {
  std::lock_guard lock(mutex_);
  blocks_.push_back(std::move(block));
  wake_.notify_one();
}

void SerialQueue::asyncAfter(double seconds, std::function<void()> block) {
  const auto at = std::chrono::steady_clock::now() +
                  std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                      std::chrono::duration<double>(seconds > 0 ? seconds : 0));
  std::lock_guard lock(mutex_);
  timed_.emplace(at, std::move(block));
  wake_.notify_one();
}

void SerialQueue::sync(const std::function<void()>& block) {
  if (isCurrent()) {
    block();
    return;
  }
  std::mutex doneMutex;
  std::condition_variable doneWake;
  bool done = false;
  async([&] {
    block();
    std::lock_guard lock(doneMutex);
    done = true;
    doneWake.notify_one();
  });
  std::unique_lock lock(doneMutex);
  doneWake.wait(lock, [&] { return done; });
}

bool SerialQueue::isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

void SerialQueue::run() {
  for (;;) {
    std::function<void()> block;
    {
      std::unique_lock lock(mutex_);
      for (;;) {
        // Timed blocks that are due join the queue in the order of their times.
        const auto now = std::chrono::steady_clock::now();
        while (!closing_ && !timed_.empty() && timed_.begin()->first <= now) {
          blocks_.push_back(std::move(timed_.begin()->second));
          timed_.erase(timed_.begin());
        }
        if (closing_ || !blocks_.empty()) break;
        if (timed_.empty())
          wake_.wait(lock);
        else
          wake_.wait_until(lock, timed_.begin()->first);
      }
      if (blocks_.empty()) return;
      block = std::move(blocks_.front());
      blocks_.pop_front();
    }
    block();
  }
}

void DispatchGroup::enter() {
  std::lock_guard lock(mutex_);
  ++outstanding_;
}

void DispatchGroup::leave() {
  std::function<void()> fire;
  {
    std::lock_guard lock(mutex_);
    if (--outstanding_ == 0 && pending_) fire = std::exchange(pending_, nullptr);
  }
  if (fire) dispatchGlobalAsync(std::move(fire));
}

void DispatchGroup::notify(std::function<void()> block) {
  {
    std::lock_guard lock(mutex_);
    if (outstanding_ > 0) {
      pending_ = std::move(block);
      return;
    }
  }
  dispatchGlobalAsync(std::move(block));
}

void dispatchGlobalAsync(std::function<void()> block) { std::thread(std::move(block)).detach(); }

}  // namespace platform

}  // namespace capture
