#include "recorder/recorder.hpp"

#include "front/emit.hpp"
#include "platform/error.hpp"

Recorder::Recorder(Options o) : options(std::move(o)) {}

void Recorder::start() { throw platform::PlatformError("Recording is not available yet."); }
void Recorder::pause() { emit({{"event", "paused"}}); }
void Recorder::resume() { emit({{"event", "resumed"}}); }
void Recorder::stop() {
  emit({{"event", "stopped"}, {"frames", 0}, {"duration", 0}, {"output", options.output},
        {"systemAudio", ""}});
}
void Recorder::didOutputSampleBuffer(platform::Stream&, platform::SampleBufferRef, int64_t) {}
void Recorder::didStopWithError(platform::Stream&, const platform::PlatformError& error) {
  emit({{"event", "error"}, {"message", error.localizedDescription()}});
}
platform::SampleBufferRef Recorder::retimed(const platform::SampleBufferRef& sampleBuffer) {
  return sampleBuffer;
}
