#pragma once
// The X11 capture source of a filter's content, for callers that want frames
// by hand rather than from a stream (benchmarks): every grab into caller
// memory or, without a copy, in shared memory, falling back to a frame of
// its own when no shared segment is free.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/linux/x11/capture.hpp"

namespace capture {

namespace platform::x11 {

class Grabber {
 public:
  // Throws PlatformError.
  Grabber(const ContentFilter& filter, const StreamConfiguration& configuration)
      : capture_(makeCapture(filter, configuration)),
        bytesPerRow_(static_cast<size_t>(configuration.width) * 4),
        height_(static_cast<size_t>(configuration.height)) {}

  void grab(uint8_t* destination, size_t bytesPerRow) { capture_->grab(destination, bytesPerRow); }

  using SharedFrame = screen::FrameSource::SharedPixels;
  SharedFrame grabShared() {
    SharedFrame shared = capture_->grabShared();
    if (shared.pixels) return shared;
    auto frame = std::make_shared<std::vector<uint8_t>>(bytesPerRow_ * height_);
    grab(frame->data(), bytesPerRow_);
    return {frame->data(), bytesPerRow_, frame};
  }

  bool contentChanged() { return capture_->contentChanged(); }

 private:
  std::unique_ptr<Capture> capture_;
  size_t bytesPerRow_;
  size_t height_;
};

}  // namespace platform::x11

}  // namespace capture
