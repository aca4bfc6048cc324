#pragma once
// What audio capture from the sound server shares, whatever it records: the
// connection and its loop thread, record streams on monitors placed on the
// host-clock timeline, the mix handed out a little behind the present on a
// periodic tick, and the report of a broken connection. Which monitors are
// recorded is the part each kind of capture adds.
#include <pulse/pulseaudio.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/audio/audio_capture.hpp"
#include "platform/linux/audio/connection.hpp"
#include "platform/linux/audio/mixer.hpp"
#include "platform/linux/audio/timeline.hpp"

namespace capture {

namespace platform::pulse {

class CaptureEngine {
 public:
  virtual ~CaptureEngine() = default;
  CaptureEngine(const CaptureEngine&) = delete;
  CaptureEngine& operator=(const CaptureEngine&) = delete;

  // Connects and begins capturing. Throws PlatformError.
  void start();
  // Ends capture; no handler runs after it returns.
  void stop();

 protected:
  CaptureEngine(AudioSelection selection, AudioCapture::SampleHandler onSamples,
                AudioCapture::FailureHandler onFailure);

  // One record stream: the default output's monitor, or the monitor of one
  // application playback stream ("sink input").
  struct Source {
    CaptureEngine* engine = nullptr;
    uint32_t sinkInput = PA_INVALID_INDEX;
    uint32_t sink = PA_INVALID_INDEX;
    pa_stream* stream = nullptr;
    bool ended = false;     // the server ended the stream; taken down on the next tick
    bool querying = false;  // its playback stream is being looked up again
    AudioTimeline timeline;
    int failures = 0;
    int64_t retryAtNs = 0;
  };

  // The kind of capture's part. All run on the loop thread or under its lock.
  // The server events to subscribe to.
  virtual pa_subscription_mask_t subscriptions() const = 0;
  // The first queries and streams, as `start` connects.
  virtual void begin(int64_t now) = 0;
  // Once the tick runs: waits, where it matters, for the audio to flow.
  virtual void started(int64_t) {}
  // A subscribed server event (never while stopping or after a failure).
  virtual void event(unsigned facility, unsigned type, uint32_t index) = 0;
  // Notes, for every source being captured, the frame after the last audio
  // it delivered (see mixReadyUntil).
  virtual void noteDelivered(std::vector<std::optional<int64_t>>& delivered) const = 0;
  // Brings back streams that ended or could not be set up.
  virtual void reconcile(int64_t now) = 0;
  // Takes down every stream (under the lock), then forgets them (after the
  // connection has gone).
  virtual void detachAll() = 0;
  virtual void forgetAll() {}

  pa_context* context() const { return connection_->context(); }
  pa_sample_spec sampleSpec() const;
  uint32_t fragmentBytes() const;
  void attach(Source& source, const std::string& device, int64_t now);
  static void detach(Source& source);
  // A stream that failed waits before it is tried again.
  static int64_t retryDelay(int failures);
  static void done(pa_operation* operation);
  // Returns once some source has delivered audio, or at the latest a while
  // after `started`.
  void awaitFirstAudio(int64_t started);
  // Returns once `ready` holds (checked after every read and tick), the
  // connection failed, or `deadline` has passed.
  void awaitUntil(int64_t deadline, const std::function<bool()>& ready);
  // Takes down a source the server ended; true when it is due to be tried again.
  static bool revive(Source& source, int64_t now);
  static void noteSource(const Source& source, std::vector<std::optional<int64_t>>& delivered);

  const AudioSelection selection;

 private:
  static void onEvent(pa_context* context, pa_subscription_event_type_t event, uint32_t index,
                      void* userdata);
  static void onStreamState(pa_stream* stream, void* userdata);
  static void onRead(pa_stream* stream, size_t, void* userdata);
  static void onTick(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata);
  void read(Source& source, pa_stream* stream);
  void noteLateness(int64_t lateFrames);
  void onTickNow();
  void handOut(int64_t now);
  void deliver(MixedChunk chunk);
  void wake();
  void lost(const std::string& why);

  const AudioCapture::SampleHandler onSamples_;
  const AudioCapture::FailureHandler onFailure_;
  std::unique_ptr<Connection> connection_;
  pa_time_event* tick_ = nullptr;
  bool failed_ = false;
  bool stopping_ = false;
  AudioMixer mixer_;
  const size_t frameBytes_;
  int64_t holdbackFrames_;
  bool awaiting_ = false;                          // start() waits for audio
  bool audioFlowing_ = false;                      // some source has delivered audio
  std::vector<std::optional<int64_t>> delivered_;  // scratch of handOut
};

}  // namespace platform::pulse

}  // namespace capture
