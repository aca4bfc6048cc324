#include "fake_platform.hpp"

#include <thread>

#include "../error.hpp"

namespace fake {

using platform::PlatformError;

State& state() {
  static State s;
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

void FakeStream::startCapture(platform::Completion completion) {
  std::optional<PlatformError> error;
  {
    std::lock_guard lock(mutex);
    if (startError)
      error = PlatformError(*startError);
    else
      started = true;
  }
  std::thread([completion = std::move(completion), error] { completion(error); }).join();
}

void FakeStream::stopCapture(platform::Completion completion) {
  if (whileStopping) whileStopping();
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
    o.queue->async([this, o, sample, type] { o.output->didOutputSampleBuffer(*this, sample, type); });
}

void FakeStream::deliverAndWait(platform::SampleBufferRef sample, int64_t type) {
  std::vector<Output> targets;
  {
    std::lock_guard lock(mutex);
    for (const auto& o : outputs)
      if (o.type == type) targets.push_back(o);
  }
  for (const auto& o : targets)
    o.queue->sync([this, o, &sample, type] { o.output->didOutputSampleBuffer(*this, sample, type); });
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
void FakeWriter::addInput(const platform::AssetWriterInputRef& input) { inputs.push_back(input); }
bool FakeWriter::startWriting() {
  ++startWritingCalls;
  return true;
}
void FakeWriter::startSessionAtSourceTime(CMTime time) { sessionStart = time; }
void FakeWriter::endSessionAtSourceTime(CMTime time) { sessionEnd = time; }
void FakeWriter::finishWriting(std::function<void()> completion) {
  ++finishCalls;
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
  if (s.contentError) throw PlatformError(*s.contentError);
  return s.content;
}

CMTime hostClockNow() {
  std::lock_guard lock(fake::stateMutex());
  auto& s = fake::state();
  if (!s.hostTimes.empty()) {
    s.hostNow = s.hostTimes.front();
    s.hostTimes.pop_front();
  }
  return s.hostNow;
}

double wallClockNow() {
  std::lock_guard lock(fake::stateMutex());
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
