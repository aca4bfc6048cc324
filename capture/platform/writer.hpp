#pragma once
// Media writers: a movie (H.264 in QuickTime) and an audio file (AAC in M4A),
// each fed through one input.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <variant>

#include "platform/cm_time.hpp"
#include "platform/sample_buffer.hpp"

namespace capture {

namespace platform {

enum class FileType { quickTimeMovie, appleM4A };
enum class MediaType { video, audio };

inline constexpr const char* kVideoCodecTypeH264 = "avc1";
inline constexpr uint32_t kAudioFormatMPEG4AAC = 0x61616320;  // 'aac '

// The highest frame rate a writer can be told to expect.
inline constexpr int64_t kMaxExpectedSourceFrameRate = 1000;

struct VideoSettings {
  std::string codec = kVideoCodecTypeH264;
  int64_t width = 0;
  int64_t height = 0;
  int64_t averageBitRate = 0;
  int64_t expectedSourceFrameRate = 0;  // at most kMaxExpectedSourceFrameRate
};

struct AudioSettings {
  uint32_t formatID = kAudioFormatMPEG4AAC;
  double sampleRate = 48000;
  int64_t numberOfChannels = 2;
  int64_t encoderBitRate = 192000;
};

using OutputSettings = std::variant<VideoSettings, AudioSettings>;

class AssetWriterInput {
 public:
  virtual ~AssetWriterInput() = default;
  virtual void setExpectsMediaDataInRealTime(bool realTime) = 0;
  // True when a sample can be taken without waiting.
  virtual bool isReadyForMoreMediaData() = 0;
  virtual bool appendSampleBuffer(const SampleBufferRef& sampleBuffer) = 0;
  virtual void markAsFinished() = 0;
};

using AssetWriterInputRef = std::shared_ptr<AssetWriterInput>;

class AssetWriter {
 public:
  virtual ~AssetWriter() = default;
  virtual void setMovieFragmentInterval(CMTime interval) = 0;
  // Throws PlatformError when the input cannot be added (settings refused).
  virtual void addInput(const AssetWriterInputRef& input) = 0;
  // Runs at most once, on a thread of the writer's own, as soon as the file
  // can no longer be written (a full disk, an I/O error, the file system
  // gone), with the system's reason ("No space left on device"). From then
  // on the input takes nothing and nothing more is written to the file; it
  // stays playable up to its last whole fragment. Set before startWriting.
  virtual void setFailureHandler(std::function<void(const std::string& reason)> handler) = 0;
  virtual bool startWriting() = 0;
  virtual void startSessionAtSourceTime(CMTime time) = 0;
  virtual void endSessionAtSourceTime(CMTime time) = 0;
  // The completion runs exactly once, on a thread of the writer's own, when
  // the file is complete (or has failed).
  virtual void finishWriting(std::function<void()> completion) = 0;
};

using AssetWriterRef = std::shared_ptr<AssetWriter>;

// Both throw PlatformError: the writer when the file cannot be created, the
// input when its settings are refused.
AssetWriterRef makeAssetWriter(const std::string& path, FileType fileType);
AssetWriterInputRef makeAssetWriterInput(MediaType mediaType, const OutputSettings& settings);

}  // namespace platform

}  // namespace capture
