#pragma once
// System audio: everything the default output plays, from its monitor,
// following the default output when it changes.
#include <string>

#include "platform/linux/audio/capture_engine.hpp"

namespace capture {

namespace platform::pulse {

class SystemAudio : public CaptureEngine {
 public:
  SystemAudio(AudioSelection selection, AudioCapture::SampleHandler onSamples,
              AudioCapture::FailureHandler onFailure);

 private:
  pa_subscription_mask_t subscriptions() const override { return PA_SUBSCRIPTION_MASK_SERVER; }
  void begin(int64_t now) override;
  void started(int64_t now) override { awaitFirstAudio(now); }
  void event(unsigned facility, unsigned type, uint32_t index) override;
  void noteDelivered(std::vector<std::optional<int64_t>>& delivered) const override {
    noteSource(output_, delivered);
  }
  void reconcile(int64_t now) override;
  void detachAll() override { detach(output_); }
  static void onServerInfo(pa_context*, const pa_server_info* info, void* userdata);

  Source output_;
  std::string defaultSink_;
};

}  // namespace platform::pulse

}  // namespace capture
