#pragma once
// Media samples as the capture streams deliver them and the writers take them:
// timing, per-sample attachments (the frame status of a screen frame), and the
// media data itself, shared between copies.
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "platform/cm_time.hpp"

namespace capture {

namespace platform {

inline constexpr uint32_t kPixelFormatBGRA = 0x42475241;  // 'BGRA'

// Rows [begin, end) of a frame.
struct RowSpan {
  int32_t begin = 0;
  int32_t end = 0;
};

// One frame of pixels. `storage` keeps the memory alive (a pooled buffer goes
// back to its pool when the last reference is dropped).
struct PixelBuffer {
  int64_t width = 0;
  int64_t height = 0;
  size_t bytesPerRow = 0;
  uint32_t pixelFormat = kPixelFormatBGRA;
  uint8_t* baseAddress = nullptr;
  std::shared_ptr<void> storage;
  // Screen frames count their grabs from 1 (0: not counted). Where the source
  // can tell, `changedRows` holds every row that may differ from the frame of
  // the grab before (in order, apart); the others are the same. Nothing means
  // any row may differ.
  uint64_t grabNumber = 0;
  std::optional<std::vector<RowSpan>> changedRows;
};

// Interleaved 32-bit float PCM.
struct AudioBufferList {
  int32_t sampleRate = 48000;
  int32_t channelCount = 2;
  std::vector<float> samples;  // frames × channels
};

using AttachmentValue = std::variant<int64_t, double, std::string>;
using SampleAttachments = std::map<std::string, AttachmentValue>;

// Key of the frame status in a screen frame's attachments, and its values.
inline constexpr const char* kStreamFrameInfoStatus = "SCStreamFrameInfoStatus";
enum FrameStatus : int64_t {
  frameStatusComplete = 0,
  frameStatusIdle = 1,
  frameStatusBlank = 2,
  frameStatusSuspended = 3,
  frameStatusStarted = 4,
  frameStatusStopped = 5,
};

struct SampleTimingInfo {
  CMTime duration = kCMTimeInvalid;
  CMTime presentationTimeStamp = kCMTimeInvalid;
  CMTime decodeTimeStamp = kCMTimeInvalid;
};

struct SampleBuffer {
  bool isValid = true;
  int64_t numSamples = 1;  // audio frames for audio, 1 for video
  // Either one entry that applies to every sample (each sample then lasts
  // `duration` after the previous one) or one entry per sample.
  std::vector<SampleTimingInfo> timing;
  std::optional<std::vector<SampleAttachments>> attachments;
  std::shared_ptr<const PixelBuffer> imageBuffer;
  std::shared_ptr<const AudioBufferList> audioBuffer;
};

using SampleBufferRef = std::shared_ptr<const SampleBuffer>;

// The per-sample attachment dictionaries, or nullptr when there are none. Never creates them.
const std::vector<SampleAttachments>* sampleAttachments(const SampleBuffer& buffer);
// Timing of one sample; an index out of range leaves every time invalid.
SampleTimingInfo sampleTimingInfo(const SampleBuffer& buffer, int64_t index);
// A buffer sharing the media data with new timing: one entry for all samples,
// or one per sample. Nothing on failure (wrong entry count).
SampleBufferRef copyWithNewTiming(const SampleBufferRef& buffer,
                                  std::span<const SampleTimingInfo> timing);
// Presentation time of the first sample (invalid when there is no timing).
CMTime presentationTimeStamp(const SampleBuffer& buffer);
// The audio of a buffer from `from` on (the frames before it dropped), or
// nothing when no frame is left or the buffer holds no audio.
SampleBufferRef audioFrom(const SampleBufferRef& buffer, CMTime from);

}  // namespace platform

}  // namespace capture
