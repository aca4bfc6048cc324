#pragma once
// Application audio: only what chosen applications play (and the processes
// they started), one monitor stream per playback stream of theirs, mixed.
// Playback streams that come later are picked up, ones that move to another
// output are followed.
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "platform/linux/audio/capture_engine.hpp"

namespace capture {

namespace platform::pulse {

class ApplicationAudio : public CaptureEngine {
 public:
  ApplicationAudio(AudioSelection selection, AudioCapture::SampleHandler onSamples,
                   AudioCapture::FailureHandler onFailure);

 private:
  // A lookup by index in flight; owned here so that a lookup whose answer
  // never comes (the connection broke) leaks nothing.
  struct Query {
    ApplicationAudio* capture = nullptr;
    uint32_t index = PA_INVALID_INDEX;
  };

  pa_subscription_mask_t subscriptions() const override {
    return static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK_INPUT |
                                               PA_SUBSCRIPTION_MASK_SINK);
  }
  void begin(int64_t now) override;
  void started(int64_t now) override;
  void event(unsigned facility, unsigned type, uint32_t index) override;
  void noteDelivered(std::vector<std::optional<int64_t>>& delivered) const override;
  void reconcile(int64_t now) override;
  void detachAll() override;
  void forgetAll() override;

  Query* newQuery(uint32_t index);
  void finish(Query* query);
  pa_stream* anchor(const std::string& monitor);
  static void discard(pa_stream* stream, size_t, void*);
  static void release(pa_stream* stream);
  bool wanted(const pa_sink_input_info& info) const;
  void consider(const pa_sink_input_info& info);
  void forget(uint32_t sinkInput);
  void learnSink(const pa_sink_info& info);
  static void onSinkInfo(pa_context*, const pa_sink_info* info, int, void* userdata);
  static void onSinkInputListInfo(pa_context*, const pa_sink_input_info* info, int, void* userdata);
  static void onSinkInputInfo(pa_context*, const pa_sink_input_info* info, int eol, void* userdata);

  // True once every source playing at start has delivered in step with the
  // clock for a steady stretch, or gone.
  bool playingDelivered();

  std::map<uint32_t, std::unique_ptr<Source>> applications_;  // by sink input
  // The chosen playback streams that were playing (not corked) at start, and
  // whether the list they come from is complete.
  std::set<uint32_t> playingAtStart_;
  bool listed_ = false;
  std::map<uint32_t, int64_t> inStepSince_;   // host frame since each one keeps up
  std::map<uint32_t, std::string> monitors_;  // sink -> its monitor source
  // One low-latency record stream on every output's monitor, whose audio is
  // thrown away. An output renders ahead of playing by as much as its clients
  // allow (up to seconds); audio rendered before a new playback stream's
  // monitor is attached would be lost. Keeping a low-latency reader on each
  // output makes it render in small steps.
  std::map<uint32_t, pa_stream*> anchors_;
  std::list<Query> queries_;
};

}  // namespace platform::pulse

}  // namespace capture
