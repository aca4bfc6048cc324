#include "platform/linux/audio/audio_capture.hpp"

#include "platform/linux/audio/application_audio.hpp"
#include "platform/linux/audio/system_audio.hpp"

namespace capture {

namespace platform::pulse {

AudioCapture::AudioCapture(AudioSelection selection, SampleHandler onSamples,
                           FailureHandler onFailure) {
  if (selection.applicationsOnly)
    engine_ = std::make_unique<ApplicationAudio>(std::move(selection), std::move(onSamples),
                                                 std::move(onFailure));
  else
    engine_ = std::make_unique<SystemAudio>(std::move(selection), std::move(onSamples),
                                            std::move(onFailure));
}

AudioCapture::~AudioCapture() { stop(); }

void AudioCapture::start() {
  try {
    engine_->start();
  } catch (...) {
    engine_->stop();
    throw;
  }
}

void AudioCapture::stop() {
  if (engine_) engine_->stop();
}

}  // namespace platform::pulse

}  // namespace capture
