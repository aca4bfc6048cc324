#pragma once
// A scripted, deterministic platform for unit tests. Tests set what the
// services answer (content, clock readings, failures) and inspect what the
// logic asked of them (stream configurations, appended samples, sessions).
#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "../clock.hpp"
#include "../content.hpp"
#include "../screenshot.hpp"
#include "../stream.hpp"
#include "../writer.hpp"

namespace fake {

class FakeStream : public platform::Stream {
 public:
  struct Output {
    platform::StreamOutput* output;
    int64_t type;
    platform::SerialQueue* queue;
  };

  FakeStream(platform::ContentFilterRef filter, platform::StreamConfiguration configuration,
             platform::StreamDelegate* delegate);

  void addStreamOutput(platform::StreamOutput& output, int64_t type,
                       platform::SerialQueue& queue) override;
  void startCapture(platform::Completion completion) override;
  void stopCapture(platform::Completion completion) override;

  // Test side: hands a sample to every output registered for `type`, on its
  // queue (asynchronously, as a capture service would).
  void deliver(platform::SampleBufferRef sample, int64_t type);
  // The same, waiting until every output has handled the sample.
  void deliverAndWait(platform::SampleBufferRef sample, int64_t type);
  // Reports a failure through the delegate from a thread of its own and waits for it.
  void failWith(const std::string& description);

  const platform::ContentFilterRef filter;
  const platform::StreamConfiguration configuration;
  platform::StreamDelegate* const delegate;

  std::mutex mutex;
  std::vector<Output> outputs;
  std::optional<std::string> addOutputError;
  std::optional<std::string> startError;
  std::optional<std::string> stopError;
  bool started = false;
  bool stopped = false;
  // Runs inside stopCapture before its completion, as samples still in
  // flight would arrive while a capture is being stopped.
  std::function<void()> whileStopping;
};

class FakeInput : public platform::AssetWriterInput {
 public:
  FakeInput(platform::MediaType mediaType, platform::OutputSettings settings);
  void setExpectsMediaDataInRealTime(bool realTime) override;
  bool isReadyForMoreMediaData() override;
  bool appendSampleBuffer(const platform::SampleBufferRef& sampleBuffer) override;
  void markAsFinished() override;

  const platform::MediaType mediaType;
  const platform::OutputSettings settings;
  std::atomic<bool> ready{true};
  bool expectsRealTime = false;
  bool finished = false;
  std::vector<platform::SampleBufferRef> appended;
  int appendsAfterFinished = 0;
};

class FakeWriter : public platform::AssetWriter {
 public:
  FakeWriter(std::string path, platform::FileType fileType);
  void setMovieFragmentInterval(CMTime interval) override;
  void addInput(const platform::AssetWriterInputRef& input) override;
  bool startWriting() override;
  void startSessionAtSourceTime(CMTime time) override;
  void endSessionAtSourceTime(CMTime time) override;
  void finishWriting(std::function<void()> completion) override;

  const std::string path;
  const platform::FileType fileType;
  CMTime fragmentInterval = kCMTimeInvalid;
  std::vector<platform::AssetWriterInputRef> inputs;
  int startWritingCalls = 0;
  std::optional<CMTime> sessionStart;
  std::optional<CMTime> sessionEnd;
  int finishCalls = 0;
};

struct State {
  // Content queries: either a snapshot or a failure description.
  platform::ShareableContent content;
  std::optional<std::string> contentError;
  int contentQueries = 0;
  std::vector<std::pair<bool, bool>> contentQueryArguments;

  // Host clock: readings are taken from `hostTimes` while it has any, then
  // `hostNow` is answered.
  std::deque<CMTime> hostTimes;
  CMTime hostNow = CMTimeMake(0, 1000000000);
  double wallNow = 1.7e9;

  bool osNewEnough = true;

  // Single-image capture: the image is made from the configuration's size in
  // this colour unless `imageError` is set.
  std::optional<std::string> imageError;
  uint32_t imageColorBGRA = 0xFF336699;
  std::optional<platform::StreamConfiguration> lastImageConfiguration;

  // Writers and inputs: refusals, and what was made.
  std::optional<std::string> writerError;
  std::function<std::optional<std::string>(const platform::OutputSettings&)> refuseSettings;

  // Scripts each stream as it is made (failures of its outputs, start or stop).
  std::function<void(FakeStream&)> prepareStream;
  std::vector<std::shared_ptr<FakeStream>> streams;
  std::vector<std::shared_ptr<FakeWriter>> writers;
  std::vector<std::shared_ptr<FakeInput>> inputs;
};

// The one process-wide state; `reset` puts it back as new.
State& state();
std::mutex& stateMutex();
void reset();

}  // namespace fake
