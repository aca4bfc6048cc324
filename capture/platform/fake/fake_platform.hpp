#pragma once
// A scripted, deterministic platform for unit tests. Tests set what the
// services answer (content, clock readings, failures) and inspect what the
// logic asked of them (stream configurations, appended samples, sessions).
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.hpp"
#include "platform/content.hpp"
#include "platform/screenshot.hpp"
#include "platform/stream.hpp"
#include "platform/writer.hpp"

namespace capture {

namespace fake {

// What a started stream produces on its own thread (the spawned program of
// the end-to-end tests has no test code to deliver samples).
struct Generator {
  double frameRate = 30;     // screen frames per second, stamped on the host clock
  double audioInterval = 0;  // seconds between audio buffers; 0: no audio
  // Audio is handed over this many seconds after it was captured, as a sound
  // server that holds it back does; what is still held when the capture is
  // stopped is handed over before the stop completes.
  double audioLatency = 0;
  int64_t incompleteEvery = 0;  // every n-th frame is idle; 0: all complete
  double failAfter = -1;        // seconds after start the screen stream fails; < 0: never
  std::string failMessage = "The stream stopped.";
};

class FakeStream : public platform::Stream {
 public:
  struct Output {
    platform::StreamOutput* output;
    int64_t type;
    platform::SerialQueue* queue;
  };

  FakeStream(platform::ContentFilterRef filter, platform::StreamConfiguration configuration,
             platform::StreamDelegate* delegate);
  ~FakeStream() override;

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

 private:
  void generate(Generator generator);
  void halt(bool stopping = false);
  std::thread generatorThread;
  std::mutex haltMutex;
  std::condition_variable haltWake;
  bool halting = false;
  bool handOverHeldAudio = false;  // the halt is a stop: held audio goes out first
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
  void setFailureHandler(std::function<void(const std::string& reason)> handler) override;
  void addInput(const platform::AssetWriterInputRef& input) override;
  bool startWriting() override;
  // Test side: reports a failure of the file from a thread of its own and waits for it.
  void failWith(const std::string& reason);
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
  std::function<void(const std::string&)> failureHandler;
};

struct State {
  // Content queries: either a snapshot or a failure description.
  platform::ShareableContent content;
  std::optional<std::string> contentError;
  // Answers of the next queries, one each, before `contentError` applies
  // (nothing: the snapshot).
  std::deque<std::optional<std::string>> nextContentErrors;
  int contentQueries = 0;
  std::vector<std::pair<bool, bool>> contentQueryArguments;

  // Host clock: readings are taken from `hostTimes` while it has any, then
  // `hostNow` is answered; with `realHostClock` the monotonic clock is read
  // (and the real wall clock instead of `wallNow`).
  bool realHostClock = false;
  // When set, answers every reading instead (a test's own clock).
  std::function<CMTime()> hostClock;
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
  // Started streams generate samples by themselves.
  std::optional<Generator> generator;
  // Finished writers leave a summary of what they were given at their path
  // (JSON: session start and end, the written presentation times).
  bool writeSummaries = false;
  std::vector<std::shared_ptr<FakeStream>> streams;
  std::vector<std::shared_ptr<FakeWriter>> writers;
  std::vector<std::shared_ptr<FakeInput>> inputs;
};

// The one process-wide state; `reset` puts it back as new. When the
// environment names a script (ORVIK_FAKE_SCRIPT, a JSON file), the state
// starts out as that script says.
State& state();
std::mutex& stateMutex();
void reset();
// Fills the state from a script; returns an error text when it is malformed.
std::optional<std::string> applyScript(State& state, const std::string& json);

}  // namespace fake

}  // namespace capture
