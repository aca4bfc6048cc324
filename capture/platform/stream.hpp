#pragma once
// Capture streams: configured with a filter and settings, they deliver screen
// frames and audio to their outputs on a given queue, and tell their delegate
// when they stop on their own.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/cm_time.hpp"
#include "platform/content.hpp"
#include "platform/error.hpp"
#include "platform/filter.hpp"
#include "platform/queue.hpp"
#include "platform/sample_buffer.hpp"

namespace capture {

namespace platform {

struct StreamConfiguration {
  int64_t width = 0;
  int64_t height = 0;
  CMTime minimumFrameInterval = kCMTimeInvalid;
  std::optional<Rect> sourceRect;  // points of the display, top-left origin
  bool showsCursor = true;
  uint32_t pixelFormat = kPixelFormatBGRA;
  int64_t queueDepth = 3;
  bool capturesAudio = false;
  int64_t sampleRate = 48000;
  int64_t channelCount = 2;
  bool excludesCurrentProcessAudio = false;
};

enum StreamOutputType : int64_t { streamOutputTypeScreen = 0, streamOutputTypeAudio = 1 };

class Stream;

class StreamOutput {
 public:
  virtual ~StreamOutput() = default;
  // Called on the queue the output was registered with.
  virtual void didOutputSampleBuffer(Stream& stream, SampleBufferRef sampleBuffer,
                                     int64_t type) = 0;
};

class StreamDelegate {
 public:
  virtual ~StreamDelegate() = default;
  // Called on a thread of the stream's choosing, once per failure.
  virtual void didStopWithError(Stream& stream, const PlatformError& error) = 0;
};

using Completion = std::function<void(std::optional<PlatformError>)>;

class Stream {
 public:
  virtual ~Stream() = default;
  // Throws PlatformError when the output cannot be added.
  virtual void addStreamOutput(StreamOutput& output, int64_t type, SerialQueue& queue) = 0;
  // Each completion runs exactly once, on a thread of the stream's choosing.
  virtual void startCapture(Completion completion) = 0;
  virtual void stopCapture(Completion completion) = 0;
};

using StreamRef = std::shared_ptr<Stream>;

StreamRef makeStream(ContentFilterRef filter, const StreamConfiguration& configuration,
                     StreamDelegate* delegate);

}  // namespace platform

}  // namespace capture
