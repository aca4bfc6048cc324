#pragma once
// Shared pieces of the Recorder tests on the fake platform: samples, a job,
// and the streams, writers and inputs in the order a recording makes them.
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "capture/event_log.hpp"
#include "platform/fake/fake_platform.hpp"
#include "recorder/recorder.hpp"

namespace capture {

namespace recorder_test {

inline CMTime seconds(double s) { return CMTimeMake(std::llround(s * 1e9), 1000000000); }

// A complete screen frame, or a buffer of audio, captured at `s`.
inline std::shared_ptr<platform::SampleBuffer> sampleAt(double s, bool video) {
  auto buffer = std::make_shared<platform::SampleBuffer>();
  buffer->numSamples = video ? 1 : 480;
  buffer->timing = {{CMTimeMake(1, 30), seconds(s), video ? seconds(s) : kCMTimeInvalid}};
  if (video)
    buffer->attachments = std::vector<platform::SampleAttachments>{
        {{platform::kStreamFrameInfoStatus, int64_t{platform::frameStatusComplete}}}};
  return buffer;
}

inline std::vector<double> writtenTimes(const fake::FakeInput& input) {
  std::vector<double> times;
  for (const auto& b : input.appended) times.push_back(CMTimeGetSeconds(presentationTimeStamp(*b)));
  return times;
}

inline platform::ShareableContent oneDisplay(int64_t width, int64_t height) {
  platform::ShareableContent content;
  content.displays = {{1, width, height, {0, 0, double(width), double(height)}}};
  return content;
}

// A job at scale 1 (the display's points are its pixels), with system audio when given a file.
inline Options job(std::optional<std::string> systemAudio = std::nullopt) {
  Options options;
  options.output = "/nonexistent-dir/movie.mov";
  options.scale = 1.0;
  options.systemAudio = std::move(systemAudio);
  return options;
}

inline fake::FakeStream& mainStream() { return *fake::state().streams.at(0); }
inline fake::FakeWriter& movie() { return *fake::state().writers.at(0); }
inline fake::FakeWriter& audioFile() { return *fake::state().writers.at(1); }
inline fake::FakeInput& videoInput() { return *fake::state().inputs.at(0); }
inline fake::FakeInput& audioInput() { return *fake::state().inputs.at(1); }

}  // namespace recorder_test

}  // namespace capture
