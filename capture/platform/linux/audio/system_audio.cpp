#include "platform/linux/audio/system_audio.hpp"

namespace capture {

namespace platform::pulse {
namespace {

// The device name the server resolves to the default output's monitor.
constexpr const char* kDefaultMonitor = "@DEFAULT_MONITOR@";

}  // namespace

SystemAudio::SystemAudio(AudioSelection selection, AudioCapture::SampleHandler onSamples,
                         AudioCapture::FailureHandler onFailure)
    : CaptureEngine(std::move(selection), std::move(onSamples), std::move(onFailure)) {
  output_.engine = this;
}

void SystemAudio::begin(int64_t now) {
  done(pa_context_get_server_info(context(), &SystemAudio::onServerInfo, this));
  attach(output_, kDefaultMonitor, now);
}

void SystemAudio::event(unsigned facility, unsigned, uint32_t) {
  if (facility == PA_SUBSCRIPTION_EVENT_SERVER)
    done(pa_context_get_server_info(context(), &SystemAudio::onServerInfo, this));
}

void SystemAudio::reconcile(int64_t now) {
  if (revive(output_, now)) attach(output_, kDefaultMonitor, now);
}

void SystemAudio::onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
  auto* self = static_cast<SystemAudio*>(userdata);
  if (!info || !info->default_sink_name) return;
  const std::string name = info->default_sink_name;
  if (!self->defaultSink_.empty() && name != self->defaultSink_) {
    // The default output changed: follow it.
    detach(self->output_);
    self->output_.failures = 0;
    self->output_.retryAtNs = 0;
  }
  self->defaultSink_ = name;
}

}  // namespace platform::pulse

}  // namespace capture
