#pragma once
// A fixed number of equally sized frame buffers, allocated once. A buffer
// handed out goes back to the pool when its last reference is dropped, even
// after the pool's owner has gone.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace capture {

namespace platform::screen {

class FramePool : public std::enable_shared_from_this<FramePool> {
 public:
  // Throws std::bad_alloc when the memory cannot be had.
  static std::shared_ptr<FramePool> make(size_t count, size_t bytes);

  // A free buffer, or nullptr when every buffer is held.
  std::shared_ptr<uint8_t> acquire();
  size_t available() const;
  size_t bufferBytes() const { return bytes_; }

 private:
  FramePool(size_t count, size_t bytes);
  void release(uint8_t* buffer);

  struct Free {
    void operator()(uint8_t* p) const;
  };
  size_t bytes_;
  std::vector<std::unique_ptr<uint8_t, Free>> buffers_;
  mutable std::mutex mutex_;
  std::vector<uint8_t*> free_;
};

}  // namespace platform::screen

}  // namespace capture
