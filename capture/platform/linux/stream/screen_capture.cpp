#include "platform/linux/stream/screen_capture.hpp"

#include <algorithm>
#include <new>
#include <string>

#include "platform/clock.hpp"
#include "platform/linux/stream/frame_pool.hpp"

namespace capture {

namespace platform::screen {

namespace {

constexpr int64_t kLargestSide = 16384;
constexpr int64_t kLargestPool = 16;
constexpr size_t kRowAlignment = 64;
// Frames come at most as often as a 60 Hz display refreshes; a missing or
// non-positive interval asks for just that.
constexpr std::chrono::nanoseconds kFastestInterval{1'000'000'000 / 60};

std::chrono::nanoseconds frameInterval(CMTime interval) {
  if (!CMTimeIsNumeric(interval) || interval.value <= 0 || interval.timescale <= 0)
    return kFastestInterval;
  const double seconds = CMTimeGetSeconds(interval);
  if (seconds >= 3600) return std::chrono::hours(1);
  return std::max(kFastestInterval, std::chrono::nanoseconds(static_cast<int64_t>(seconds * 1e9)));
}

SampleBufferRef makeFrame(FrameStatus status, CMTime stamp,
                          std::shared_ptr<const PixelBuffer> pixels) {
  auto sample = std::make_shared<SampleBuffer>();
  sample->numSamples = 1;
  sample->timing = {SampleTimingInfo{kCMTimeInvalid, stamp, kCMTimeInvalid}};
  sample->attachments =
      std::vector<SampleAttachments>{{{kStreamFrameInfoStatus, static_cast<int64_t>(status)}}};
  sample->imageBuffer = std::move(pixels);
  return sample;
}

// The stamp of a frame shown at `shown`: samples are handed out in order, so
// never at or before the previous one (an idle sample may have been stamped
// between the frame's showing and its arrival).
CMTime shownStamp(CMTime shown, CMTime previous) {
  if (!CMTimeIsNumeric(previous) || CMTimeCompare(shown, previous) > 0) return shown;
  return CMTimeAdd(CMTimeConvertScale(previous, 1'000'000'000), CMTimeMake(1, 1'000'000'000));
}

}  // namespace

ScreenCaptureSettings screenCaptureSettings(const StreamConfiguration& configuration) {
  const int64_t width = configuration.width;
  const int64_t height = configuration.height;
  if (width < 1 || height < 1 || width > kLargestSide || height > kLargestSide)
    throw PlatformError("The frame size " + std::to_string(width) + " x " + std::to_string(height) +
                        " is not supported.");
  if (configuration.pixelFormat != kPixelFormatBGRA)
    throw PlatformError("The pixel format " + std::to_string(configuration.pixelFormat) +
                        " is not supported.");
  ScreenCaptureSettings settings;
  settings.width = width;
  settings.height = height;
  const auto row = static_cast<size_t>(width) * 4;
  settings.bytesPerRow = (row + kRowAlignment - 1) / kRowAlignment * kRowAlignment;
  settings.interval = frameInterval(configuration.minimumFrameInterval);
  settings.poolSize =
      static_cast<size_t>(std::clamp<int64_t>(configuration.queueDepth, 1, kLargestPool));
  return settings;
}

ScreenCapture::ScreenCapture(std::unique_ptr<FrameSource> source, ScreenCaptureSettings settings,
                             SampleHandler onSample, FailureHandler onFailure)
    : source_(std::move(source)),
      settings_(settings),
      onSample_(std::move(onSample)),
      onFailure_(std::move(onFailure)) {
  try {
    pool_ = FramePool::make(settings_.poolSize,
                            settings_.bytesPerRow * static_cast<size_t>(settings_.height));
  } catch (const std::bad_alloc&) {
    throw PlatformError("Not enough memory for the frame buffers.");
  }
}

ScreenCapture::~ScreenCapture() { stop(); }

void ScreenCapture::start() {
  std::lock_guard lock(mutex_);
  if (thread_.joinable() || stopping_) return;
  thread_ = std::thread([this] { run(); });
}

void ScreenCapture::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

bool ScreenCapture::waitUntil(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  wake_.wait_until(lock, deadline, [this] { return stopping_; });
  return !stopping_;
}

SampleBufferRef ScreenCapture::captureOne() {
  changePending_ = changePending_ || source_->contentChanged();
  if (!changePending_) return makeFrame(frameStatusIdle, lastStamp_ = hostClockNow(), nullptr);
  // The source's own frames count against the same limit as the pool's.
  if (sharedHeld_->load() >= settings_.poolSize) return nullptr;
  auto pixels = std::make_shared<PixelBuffer>();
  pixels->width = settings_.width;
  pixels->height = settings_.height;
  pixels->pixelFormat = kPixelFormatBGRA;
  CMTime stamp = hostClockNow();
  FrameSource::SharedPixels shared = source_->grabShared();
  if (shared.pixels) {
    ++*sharedHeld_;
    pixels->bytesPerRow = shared.bytesPerRow;
    pixels->baseAddress = shared.pixels;
    pixels->storage = std::shared_ptr<void>(
        shared.pixels, [storage = std::move(shared.storage), held = sharedHeld_](void*) mutable {
          storage.reset();
          --*held;
        });
  } else {
    std::shared_ptr<uint8_t> storage = pool_->acquire();
    if (!storage) return nullptr;  // every buffer is held downstream: skip this frame
    source_->grab(storage.get(), settings_.bytesPerRow);
    pixels->bytesPerRow = settings_.bytesPerRow;
    pixels->baseAddress = storage.get();
    pixels->storage = std::move(storage);
  }
  changePending_ = false;
  pixels->grabNumber = ++grabs_;
  pixels->changedRows = source_->changedRows();
  stamp = shownStamp(source_->shownAt().value_or(stamp), lastStamp_);
  lastStamp_ = stamp;
  return makeFrame(frameStatusComplete, stamp, std::move(pixels));
}

std::chrono::steady_clock::time_point nextDeadline(std::chrono::steady_clock::time_point deadline,
                                                   std::chrono::steady_clock::time_point now,
                                                   std::chrono::nanoseconds interval) {
  deadline += interval;
  if (now - deadline >= interval) deadline += (now - deadline) / interval * interval;
  return deadline;
}

void ScreenCapture::run() {
  using Clock = std::chrono::steady_clock;
  const auto interval = settings_.interval;
  auto deadline = Clock::now();
  while (waitUntil(deadline)) {
    SampleBufferRef sample;
    try {
      sample = captureOne();
    } catch (const PlatformError& error) {
      onFailure_(error);
      return;
    } catch (const std::exception& error) {
      onFailure_(PlatformError(std::string("The screen capture failed: ") + error.what()));
      return;
    }
    if (sample) onSample_(std::move(sample));
    deadline = nextDeadline(deadline, Clock::now(), interval);
  }
}

}  // namespace platform::screen

}  // namespace capture
