#pragma once
// Shared pieces of the Recorder tests: scripted samples and a fixture that starts a recording on
// the fake platform.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "capture/event_log.hpp"
#include "platform/fake/fake_platform.hpp"
#include "recorder/recorder.hpp"

namespace recorder_test {

inline constexpr int32_t kNanos = 1000000000;

inline CMTime seconds(double s) { return CMTimeMake(std::llround(s * kNanos), kNanos); }

inline platform::SampleBufferRef frameAt(double s, int64_t status = platform::frameStatusComplete) {
  auto buffer = std::make_shared<platform::SampleBuffer>();
  buffer->timing = {{CMTimeMake(1, 30), seconds(s), seconds(s)}};
  buffer->attachments = std::vector<platform::SampleAttachments>{
      {{platform::kStreamFrameInfoStatus, platform::AttachmentValue(status)}}};
  return buffer;
}

inline platform::SampleBufferRef audioAt(double s) {
  auto buffer = std::make_shared<platform::SampleBuffer>();
  buffer->numSamples = 480;
  buffer->timing = {{CMTimeMake(1, 48000), seconds(s), kCMTimeInvalid}};
  return buffer;
}

inline std::vector<double> writtenTimes(const fake::FakeInput& input) {
  std::vector<double> times;
  for (const auto& b : input.appended) times.push_back(CMTimeGetSeconds(presentationTimeStamp(*b)));
  return times;
}

inline platform::ShareableContent oneDisplay(int64_t width, int64_t height) {
  platform::ShareableContent content;
  platform::Display display;
  display.displayID = 1;
  display.width = width;
  display.height = height;
  display.frame = {0, 0, static_cast<double>(width), static_cast<double>(height)};
  content.displays.push_back(display);
  return content;
}

inline Options job(const std::string& output = "/nonexistent-dir/movie.mov") {
  Options options;
  options.output = output;
  options.scale = 1.0;
  return options;
}

class RecorderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::reset();
    fake::state().content = oneDisplay(1920, 1080);
  }

  Recorder& start(Options options) {
    recorder = std::make_unique<Recorder>(std::move(options), events);
    EXPECT_FALSE(recorder->start());
    return *recorder;
  }

  fake::FakeStream& mainStream() { return *fake::state().streams.at(0); }
  fake::FakeWriter& movie() { return *fake::state().writers.at(0); }
  fake::FakeWriter& audioFile() { return *fake::state().writers.at(1); }
  fake::FakeInput& videoInput() { return *fake::state().inputs.at(0); }
  fake::FakeInput& audioInput() { return *fake::state().inputs.at(1); }

  void frame(double s, int64_t status = platform::frameStatusComplete) {
    mainStream().deliverAndWait(frameAt(s, status), platform::streamOutputTypeScreen);
  }
  void audio(double s, fake::FakeStream* from = nullptr) {
    (from ? *from : mainStream()).deliverAndWait(audioAt(s), platform::streamOutputTypeAudio);
  }
  // The next host-clock reading (pause, resume and stop each take one).
  static void clockReads(double s) {
    std::lock_guard lock(fake::stateMutex());
    fake::state().hostTimes.push_back(seconds(s));
  }

  EventLog events;
  std::unique_ptr<Recorder> recorder;
};

}  // namespace recorder_test
