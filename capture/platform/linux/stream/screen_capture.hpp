#pragma once
// The screen half of a capture stream: a thread that, once per frame
// interval (on absolute deadlines, so the rate does not drift), asks its
// frame source whether the content changed, grabs it when it did (into
// memory of the source's own that it hands out without a copy, or else into
// a pooled buffer), and hands out a sample stamped on the host clock:
// complete with new pixels, or idle (no pixels, nearly free) when nothing
// changed; a frame whose source knows when it was shown carries that time
// (never before a sample already handed out). When every buffer is still held downstream the frame
// is skipped, never waited for. A failing source is reported once and ends the thread.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/error.hpp"
#include "platform/linux/stream/frame_source.hpp"
#include "platform/sample_buffer.hpp"
#include "platform/stream.hpp"

namespace capture {

namespace platform::screen {

class FramePool;

struct ScreenCaptureSettings {
  int64_t width = 0;
  int64_t height = 0;
  size_t bytesPerRow = 0;
  std::chrono::nanoseconds interval{0};
  size_t poolSize = 0;
};

// The screen settings a stream configuration asks for. Throws PlatformError
// for a frame size or pixel format the capture cannot produce.
ScreenCaptureSettings screenCaptureSettings(const StreamConfiguration& configuration);

// When to capture next after the frame due at `deadline` was taken, at
// `now`: one interval later; at once when that has passed too (a grab that
// ran late, behind a busy X server, is followed straight away rather than
// losing its frame); after a stall of whole intervals, the frames missed
// are given up and the next is taken at once.
std::chrono::steady_clock::time_point nextDeadline(std::chrono::steady_clock::time_point deadline,
                                                   std::chrono::steady_clock::time_point now,
                                                   std::chrono::nanoseconds interval);

class ScreenCapture {
 public:
  using SampleHandler = std::function<void(SampleBufferRef)>;
  using FailureHandler = std::function<void(const PlatformError&)>;

  // Both handlers run on the capture thread; `onFailure` at most once.
  // Allocates the buffer pool (throws PlatformError when it cannot).
  ScreenCapture(std::unique_ptr<FrameSource> source, ScreenCaptureSettings settings,
                SampleHandler onSample, FailureHandler onFailure);
  ~ScreenCapture();
  ScreenCapture(const ScreenCapture&) = delete;
  ScreenCapture& operator=(const ScreenCapture&) = delete;

  void start();
  // Ends the thread and waits for it. Not to be called from a handler.
  void stop();

 private:
  void run();
  bool waitUntil(std::chrono::steady_clock::time_point deadline);
  SampleBufferRef captureOne();

  std::unique_ptr<FrameSource> source_;
  const ScreenCaptureSettings settings_;
  SampleHandler onSample_;
  FailureHandler onFailure_;
  std::shared_ptr<FramePool> pool_;
  // Frames of the source's own memory still held downstream.
  std::shared_ptr<std::atomic<size_t>> sharedHeld_ = std::make_shared<std::atomic<size_t>>(0);
  bool changePending_ = false;
  uint64_t grabs_ = 0;
  CMTime lastStamp_ = kCMTimeInvalid;  // of the last sample handed out

  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace platform::screen

}  // namespace capture
