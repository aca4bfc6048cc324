#pragma once
// The Linux asset writer: one fragmented file, one input, and a thread of its
// own that encodes behind a short queue so that appending never waits.
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/linux/media/fragmented_file.hpp"
#include "platform/linux/media/track_encoder.hpp"
#include "platform/queue.hpp"
#include "platform/writer.hpp"

namespace capture {

namespace platform {

class MediaWriter;

class MediaInput : public AssetWriterInput {
 public:
  MediaInput(MediaType mediaType, OutputSettings settings);
  void setExpectsMediaDataInRealTime(bool realTime) override;
  bool isReadyForMoreMediaData() override;
  bool appendSampleBuffer(const SampleBufferRef& sampleBuffer) override;
  void markAsFinished() override;

  const MediaType mediaType;
  const OutputSettings settings;

 private:
  friend class MediaWriter;
  std::weak_ptr<MediaWriter> writer_;
};

class MediaWriter : public AssetWriter, public std::enable_shared_from_this<MediaWriter> {
 public:
  MediaWriter(std::string path, FileType fileType);
  ~MediaWriter() override;

  void setMovieFragmentInterval(CMTime interval) override;
  void setFailureHandler(std::function<void(const std::string& reason)> handler) override;
  void addInput(const AssetWriterInputRef& input) override;
  bool startWriting() override;
  void startSessionAtSourceTime(CMTime time) override;
  void endSessionAtSourceTime(CMTime time) override;
  void finishWriting(std::function<void()> completion) override;

  // The input's side, called on the caller's thread.
  bool isReady() const;
  bool append(const SampleBufferRef& sample);
  void markInputFinished() { inputFinished_ = true; }

 private:
  std::optional<int64_t> positionOf(CMTime time) const;
  // Writer's thread.
  void fail(const std::string& reason);
  // When the open fragment goes to the file by itself, and the check that
  // does it; nothing while no fragment is open.
  std::optional<std::chrono::steady_clock::time_point> fragmentDue() const;
  void watchFragment();

  const std::string path_;
  const FileType fileType_;
  CMTime fragmentInterval_ = CMTimeMake(2, 1);
  std::shared_ptr<MediaInput> input_;
  std::unique_ptr<TrackEncoder> encoder_;
  int capacity_ = 3;
  std::unique_ptr<FragmentedFile> file_;
  bool started_ = false;
  std::atomic<bool> finishing_{false};
  std::function<void(const std::string&)> failureHandler_;
  // Writer's thread: a check of the open fragment is due, and when the last
  // sample was encoded.
  bool watching_ = false;
  std::chrono::steady_clock::time_point lastEncodedAt_;
  std::optional<CMTime> sessionStart_;
  std::optional<CMTime> sessionEnd_;
  std::atomic<bool> inputFinished_{false};
  std::atomic<bool> failed_{false};
  std::atomic<int> pending_{0};
  // Last member: destroyed first, so queued work finishes while the encoder
  // and the file still exist.
  SerialQueue queue_;
};

}  // namespace platform

}  // namespace capture
