#include "platform/linux/stream/frame_pool.hpp"

#include <cstdlib>
#include <new>

namespace capture {

namespace platform::screen {

namespace {
constexpr size_t kAlignment = 64;
}

void FramePool::Free::operator()(uint8_t* p) const { std::free(p); }

std::shared_ptr<FramePool> FramePool::make(size_t count, size_t bytes) {
  return std::shared_ptr<FramePool>(new FramePool(count, bytes));
}

FramePool::FramePool(size_t count, size_t bytes) : bytes_(bytes) {
  const size_t rounded = (bytes + kAlignment - 1) / kAlignment * kAlignment;
  if (rounded < bytes) throw std::bad_alloc();
  buffers_.reserve(count);
  free_.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    auto* memory =
        static_cast<uint8_t*>(std::aligned_alloc(kAlignment, rounded ? rounded : kAlignment));
    if (!memory) throw std::bad_alloc();
    buffers_.emplace_back(memory);
    free_.push_back(memory);
  }
}

std::shared_ptr<uint8_t> FramePool::acquire() {
  uint8_t* buffer = nullptr;
  {
    std::lock_guard lock(mutex_);
    if (free_.empty()) return nullptr;
    buffer = free_.back();
    free_.pop_back();
  }
  return std::shared_ptr<uint8_t>(buffer,
                                  [pool = shared_from_this()](uint8_t* p) { pool->release(p); });
}

size_t FramePool::available() const {
  std::lock_guard lock(mutex_);
  return free_.size();
}

void FramePool::release(uint8_t* buffer) {
  std::lock_guard lock(mutex_);
  free_.push_back(buffer);
}

}  // namespace platform::screen

}  // namespace capture
