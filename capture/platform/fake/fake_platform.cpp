#include "platform/fake/fake_platform.hpp"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include <time.h>
#include <unistd.h>

#include "platform/error.hpp"

namespace capture {

namespace fake {

using platform::PlatformError;

namespace {

State initialState() {
  State s;
  const char* path = std::getenv("ORVIK_FAKE_SCRIPT");
  if (!path) return s;
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  if (!file) {
    std::fprintf(stderr, "fake platform: cannot read the script %s\n", path);
    _exit(2);
  }
  if (auto error = applyScript(s, text.str())) {
    std::fprintf(stderr, "fake platform: %s\n", error->c_str());
    _exit(2);
  }
  return s;
}

double seconds(CMTime t) { return CMTimeGetSeconds(t); }

}  // namespace

State& state() {
  static State s = initialState();
  return s;
}

std::mutex& stateMutex() {
  static std::mutex m;
  return m;
}

void reset() {
  std::lock_guard lock(stateMutex());
  state() = State{};
}

// ---- streams ----

FakeStream::FakeStream(platform::ContentFilterRef f, platform::StreamConfiguration c,
                       platform::StreamDelegate* d)
    : filter(std::move(f)), configuration(c), delegate(d) {}

void FakeStream::addStreamOutput(platform::StreamOutput& output, int64_t type,
                                 platform::SerialQueue& queue) {
  std::lock_guard lock(mutex);
  if (addOutputError) throw PlatformError(*addOutputError);
  outputs.push_back({&output, type, &queue});
}

FakeStream::~FakeStream() { halt(); }

void FakeStream::startCapture(platform::Completion completion) {
  std::optional<PlatformError> error;
  {
    std::lock_guard lock(mutex);
    if (startError)
      error = PlatformError(*startError);
    else
      started = true;
  }
  std::optional<Generator> generator;
  {
    std::lock_guard lock(stateMutex());
    generator = state().generator;
  }
  if (!error && generator) generatorThread = std::thread([this, g = *generator] { generate(g); });
  std::thread([completion = std::move(completion), error] { completion(error); }).join();
}

void FakeStream::stopCapture(platform::Completion completion) {
  if (whileStopping) whileStopping();
  halt(true);
  std::optional<PlatformError> error;
  {
    std::lock_guard lock(mutex);
    stopped = true;
    if (stopError) error = PlatformError(*stopError);
  }
  std::thread([completion = std::move(completion), error] { completion(error); }).join();
}

void FakeStream::deliver(platform::SampleBufferRef sample, int64_t type) {
  std::vector<Output> targets;
  {
    std::lock_guard lock(mutex);
    for (const auto& o : outputs)
      if (o.type == type) targets.push_back(o);
  }
  for (const auto& o : targets)
    o.queue->async(
        [this, o, sample, type] { o.output->didOutputSampleBuffer(*this, sample, type); });
}

void FakeStream::halt(bool stopping) {
  {
    std::lock_guard lock(haltMutex);
    halting = true;
    handOverHeldAudio = handOverHeldAudio || stopping;
  }
  haltWake.notify_all();
  if (generatorThread.joinable() && generatorThread.get_id() != std::this_thread::get_id())
    generatorThread.join();
}

void FakeStream::generate(Generator g) {
  using clock = std::chrono::steady_clock;
  const auto began = clock::now();
  const auto frameStep = std::chrono::duration_cast<clock::duration>(
      std::chrono::duration<double>(1.0 / (g.frameRate > 0 ? g.frameRate : 1.0)));
  const auto audioPeriod = std::chrono::duration_cast<clock::duration>(
      std::chrono::duration<double>(g.audioInterval > 0 ? g.audioInterval : 3600.0));
  bool hasScreen = false;
  {
    std::lock_guard lock(mutex);
    for (const auto& o : outputs)
      hasScreen = hasScreen || o.type == platform::streamOutputTypeScreen;
  }
  const CMTime latency = CMTimeMake(std::llround(std::max(g.audioLatency, 0.0) * 1e9), 1000000000);
  const CMTime audioStep = CMTimeMake(std::llround(g.audioInterval * 1e9), 1000000000);
  std::optional<CMTime> audioCaptured;  // capture time of the last audio handed over
  auto audioAt = [](CMTime captured) {
    auto audio = std::make_shared<platform::SampleBuffer>();
    audio->numSamples = 480;
    audio->timing = {{CMTimeMake(1, 48000), captured, kCMTimeInvalid}};
    return audio;
  };
  auto nextFrame = began, nextAudio = began;
  int64_t frameNumber = 0;
  for (;;) {
    const auto due = std::min(nextFrame, nextAudio);
    {
      std::unique_lock lock(haltMutex);
      if (haltWake.wait_until(lock, due, [this] { return halting; })) {
        if (!handOverHeldAudio || !audioCaptured || latency == kCMTimeZero ||
            CMTimeCompare(audioStep, kCMTimeZero) <= 0)
          return;
        // Stopping: the audio captured since the last buffer, up to now.
        const CMTime now = platform::hostClockNow();
        for (CMTime t = CMTimeAdd(*audioCaptured, audioStep); CMTimeCompare(t, now) < 0;
             t = CMTimeAdd(t, audioStep))
          deliver(audioAt(t), platform::streamOutputTypeAudio);
        return;
      }
    }
    if (hasScreen && g.failAfter >= 0 &&
        clock::now() - began >= std::chrono::duration<double>(g.failAfter)) {
      if (delegate) delegate->didStopWithError(*this, PlatformError(g.failMessage));
      return;  // a failed stream delivers nothing more
    }
    const CMTime now = platform::hostClockNow();
    if (due == nextFrame) {
      ++frameNumber;
      auto frame = std::make_shared<platform::SampleBuffer>();
      frame->timing = {{CMTimeMake(1, 600), now, now}};
      const bool idle = g.incompleteEvery > 0 && frameNumber % g.incompleteEvery == 0;
      frame->attachments = std::vector<platform::SampleAttachments>{
          {{platform::kStreamFrameInfoStatus,
            platform::AttachmentValue(
                int64_t{idle ? platform::frameStatusIdle : platform::frameStatusComplete})}}};
      deliver(frame, platform::streamOutputTypeScreen);
      nextFrame += frameStep;
    } else {
      audioCaptured = CMTimeSubtract(now, latency);
      deliver(audioAt(*audioCaptured), platform::streamOutputTypeAudio);
      nextAudio += audioPeriod;
    }
  }
}

void FakeStream::deliverAndWait(platform::SampleBufferRef sample, int64_t type) {
  std::vector<Output> targets;
  {
    std::lock_guard lock(mutex);
    for (const auto& o : outputs)
      if (o.type == type) targets.push_back(o);
  }
  for (const auto& o : targets)
    o.queue->sync(
        [this, o, &sample, type] { o.output->didOutputSampleBuffer(*this, sample, type); });
}

void FakeStream::failWith(const std::string& description) {
  std::thread([this, description] {
    if (delegate) delegate->didStopWithError(*this, PlatformError(description));
  }).join();
}

// ---- writers ----

FakeInput::FakeInput(platform::MediaType m, platform::OutputSettings s)
    : mediaType(m), settings(std::move(s)) {}
void FakeInput::setExpectsMediaDataInRealTime(bool realTime) { expectsRealTime = realTime; }
bool FakeInput::isReadyForMoreMediaData() { return ready.load(); }
bool FakeInput::appendSampleBuffer(const platform::SampleBufferRef& sampleBuffer) {
  if (finished) ++appendsAfterFinished;
  appended.push_back(sampleBuffer);
  return true;
}
void FakeInput::markAsFinished() { finished = true; }

FakeWriter::FakeWriter(std::string p, platform::FileType t) : path(std::move(p)), fileType(t) {}
void FakeWriter::setMovieFragmentInterval(CMTime interval) { fragmentInterval = interval; }
void FakeWriter::setFailureHandler(std::function<void(const std::string&)> handler) {
  failureHandler = std::move(handler);
}
void FakeWriter::failWith(const std::string& reason) {
  std::thread([this, reason] {
    if (failureHandler) failureHandler(reason);
  }).join();
}
void FakeWriter::addInput(const platform::AssetWriterInputRef& input) { inputs.push_back(input); }
bool FakeWriter::startWriting() {
  ++startWritingCalls;
  return true;
}
void FakeWriter::startSessionAtSourceTime(CMTime time) { sessionStart = time; }
void FakeWriter::endSessionAtSourceTime(CMTime time) { sessionEnd = time; }
void FakeWriter::finishWriting(std::function<void()> completion) {
  ++finishCalls;
  bool summary;
  {
    std::lock_guard lock(stateMutex());
    summary = state().writeSummaries;
  }
  if (summary) {
    std::ofstream file(path);
    file.precision(17);
    file << "{\"sessionStart\":" << (sessionStart ? seconds(*sessionStart) : -1.0)
         << ",\"sessionEnd\":" << (sessionEnd ? seconds(*sessionEnd) : -1.0) << ",\"times\":[";
    const char* separator = "";
    for (const auto& input : inputs)
      for (const auto& sample : static_cast<FakeInput&>(*input).appended) {
        file << separator << seconds(platform::presentationTimeStamp(*sample));
        separator = ",";
      }
    file << "]}\n";
  }
  std::thread(std::move(completion)).detach();
}

}  // namespace fake

// ---- the platform entry points, answered from the script ----

namespace platform {

ShareableContent getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly) {
  std::lock_guard lock(fake::stateMutex());
  auto& s = fake::state();
  ++s.contentQueries;
  s.contentQueryArguments.emplace_back(excludingDesktopWindows, onScreenWindowsOnly);
  std::optional<std::string> error = s.contentError;
  if (!s.nextContentErrors.empty()) {
    error = s.nextContentErrors.front();
    s.nextContentErrors.pop_front();
  }
  if (error) throw PlatformError(*error);
  return s.content;
}

CMTime hostClockNow() {
  std::lock_guard lock(fake::stateMutex());
  auto& s = fake::state();
  if (s.hostClock) return s.hostClock();
  if (s.realHostClock) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return CMTimeMake(static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec, 1000000000);
  }
  if (!s.hostTimes.empty()) {
    s.hostNow = s.hostTimes.front();
    s.hostTimes.pop_front();
  }
  return s.hostNow;
}

double wallClockNow() {
  std::lock_guard lock(fake::stateMutex());
  if (fake::state().realHostClock)
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
  return fake::state().wallNow;
}

bool isOperatingSystemAtLeast(int, int, int) {
  std::lock_guard lock(fake::stateMutex());
  return fake::state().osNewEnough;
}

Image captureImage(const ContentFilter&, const StreamConfiguration& configuration) {
  std::lock_guard lock(fake::stateMutex());
  auto& s = fake::state();
  s.lastImageConfiguration = configuration;
  if (s.imageError) throw PlatformError(*s.imageError);
  if (configuration.width <= 0 || configuration.height <= 0 || configuration.width > 16384 ||
      configuration.height > 16384)
    throw PlatformError("The image size is not supported.");
  Image image;
  image.width = configuration.width;
  image.height = configuration.height;
  image.bytesPerRow = static_cast<size_t>(image.width) * 4;
  image.pixels.resize(image.bytesPerRow * static_cast<size_t>(image.height));
  for (size_t i = 0; i < image.pixels.size(); i += 4)
    for (int b = 0; b < 4; ++b) image.pixels[i + b] = (s.imageColorBGRA >> (8 * b)) & 0xFF;
  return image;
}

StreamRef makeStream(ContentFilterRef filter, const StreamConfiguration& configuration,
                     StreamDelegate* delegate) {
  auto stream = std::make_shared<fake::FakeStream>(std::move(filter), configuration, delegate);
  std::function<void(fake::FakeStream&)> prepare;
  {
    std::lock_guard lock(fake::stateMutex());
    fake::state().streams.push_back(stream);
    prepare = fake::state().prepareStream;
  }
  if (prepare) prepare(*stream);
  return stream;
}

AssetWriterRef makeAssetWriter(const std::string& path, FileType fileType) {
  std::lock_guard lock(fake::stateMutex());
  auto& s = fake::state();
  if (s.writerError) throw PlatformError(*s.writerError);
  auto writer = std::make_shared<fake::FakeWriter>(path, fileType);
  s.writers.push_back(writer);
  return writer;
}

AssetWriterInputRef makeAssetWriterInput(MediaType mediaType, const OutputSettings& settings) {
  std::lock_guard lock(fake::stateMutex());
  auto& s = fake::state();
  if (s.refuseSettings)
    if (auto refusal = s.refuseSettings(settings)) throw PlatformError(*refusal);
  auto input = std::make_shared<fake::FakeInput>(mediaType, settings);
  s.inputs.push_back(input);
  return input;
}

}  // namespace platform

}  // namespace capture
