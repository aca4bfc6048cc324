#include "platform/linux/audio/capture_engine.hpp"

#include <algorithm>
#include <span>

#include "platform/clock.hpp"

namespace capture {

namespace platform::pulse {

namespace {

constexpr pa_usec_t kTickMicroseconds = 20000;
constexpr auto kConnectTimeout = std::chrono::milliseconds(5000);
// How far behind the present the mix is handed out, so that every source's
// audio for those frames has arrived. Grows with the lateness seen.
constexpr int64_t kHoldbackMinimumMs = 60;
constexpr int64_t kHoldbackMaximumMs = 250;
constexpr int64_t kHoldbackMarginMs = 20;
constexpr int64_t kMixHorizonSeconds = 10;
// How long starting waits for the first audio (see awaitFirstAudio). A
// sound server that has just come up may have rendered two seconds ahead.
constexpr int64_t kFirstAudioWaitNs = 2'500'000'000;
// Waiting time before a stream that could not be set up, or that the server
// ended, is tried again; doubles with each failure in a row.
constexpr int64_t kRetryFirstNs = 100'000'000;
constexpr int kRetryDoublingsMax = 5;

int64_t nowNs() { return hostClockNow().value; }

}  // namespace

CaptureEngine::CaptureEngine(AudioSelection selectionIn, AudioCapture::SampleHandler onSamples,
                             AudioCapture::FailureHandler onFailure)
    : selection(std::move(selectionIn)),
      onSamples_(std::move(onSamples)),
      onFailure_(std::move(onFailure)),
      mixer_(selection.channelCount, kMixHorizonSeconds * selection.sampleRate),
      frameBytes_(sizeof(float) * static_cast<size_t>(selection.channelCount)),
      holdbackFrames_(kHoldbackMinimumMs * selection.sampleRate / 1000) {}

int64_t CaptureEngine::retryDelay(int failures) {
  return kRetryFirstNs << std::clamp(failures, 0, kRetryDoublingsMax);
}

void CaptureEngine::done(pa_operation* operation) {
  if (operation) pa_operation_unref(operation);
}

void CaptureEngine::start() {
  pa_sample_spec spec = sampleSpec();
  if (!pa_sample_spec_valid(&spec) || selection.channelCount > 8)
    throw PlatformError("The audio format (" + std::to_string(selection.sampleRate) + " Hz, " +
                        std::to_string(selection.channelCount) + " channels) is not supported.");
  connection_ = std::make_unique<Connection>("orvik-capture", kConnectTimeout,
                                             [this](const std::string& why) { lost(why); });
  Connection::Lock lock(*connection_);
  pa_context_set_subscribe_callback(context(), &CaptureEngine::onEvent, this);
  done(pa_context_subscribe(context(), subscriptions(), nullptr, nullptr));
  const int64_t now = nowNs();
  begin(now);
  mixer_.startAt(hostFrameAt(now, selection.sampleRate) - holdbackFrames_);
  tick_ = pa_context_rttime_new(context(), pa_rtclock_now() + kTickMicroseconds,
                                &CaptureEngine::onTick, this);
  started(now);
}

// An output plays what it rendered a while ago: up to its latency ahead,
// which is tens of milliseconds on a busy output and up to seconds on one
// that had been idle. A monitor attached now first receives what the output
// renders from now on, so whatever it plays meanwhile, rendered before the
// monitor existed, never reaches it. Starting the default output's capture
// returns once its audio flows, so that whatever starts after it (the
// screen capture of the same stream, and with it the recording's timeline)
// begins where the audio does. Chosen applications' audio waits likewise for
// their playback streams (see ApplicationAudio::started); its stream is
// started before the screen's.
void CaptureEngine::awaitFirstAudio(int64_t started) {
  awaitUntil(started + kFirstAudioWaitNs, [this] { return audioFlowing_; });
}

void CaptureEngine::awaitUntil(int64_t deadline, const std::function<bool()>& ready) {
  awaiting_ = true;
  while (!failed_ && !ready() && nowNs() < deadline)
    pa_threaded_mainloop_wait(connection_->loop());  // woken by reads and ticks
  awaiting_ = false;
}

void CaptureEngine::wake() {
  if (awaiting_) pa_threaded_mainloop_signal(connection_->loop(), 0);
}

void CaptureEngine::stop() {
  if (!connection_) return;
  {
    Connection::Lock lock(*connection_);
    stopping_ = true;
    if (tick_) pa_threaded_mainloop_get_api(connection_->loop())->time_free(tick_);
    tick_ = nullptr;
    detachAll();
  }
  connection_.reset();  // no callback runs after this
  forgetAll();
}

pa_sample_spec CaptureEngine::sampleSpec() const {
  pa_sample_spec spec{};
  spec.format = PA_SAMPLE_FLOAT32NE;
  spec.rate = static_cast<uint32_t>(std::max(selection.sampleRate, 0));
  spec.channels = static_cast<uint8_t>(std::clamp(selection.channelCount, 0, 255));
  return spec;
}

// About 10 ms per read: small enough that the mix is handed out promptly.
uint32_t CaptureEngine::fragmentBytes() const {
  return static_cast<uint32_t>(frameBytes_ * static_cast<size_t>(selection.sampleRate) / 100);
}

// --- streams ---

void CaptureEngine::attach(Source& source, const std::string& device, int64_t now) {
  const pa_sample_spec spec = sampleSpec();
  pa_stream* stream = pa_stream_new(context(), "orvik capture", &spec, nullptr);
  auto giveUp = [&] {
    if (stream) {
      pa_stream_set_read_callback(stream, nullptr, nullptr);
      pa_stream_set_state_callback(stream, nullptr, nullptr);
      pa_stream_unref(stream);
    }
    source.retryAtNs = now + retryDelay(source.failures++);
  };
  if (!stream) return giveUp();
  if (source.sinkInput != PA_INVALID_INDEX &&
      pa_stream_set_monitor_stream(stream, source.sinkInput) < 0)
    return giveUp();
  pa_stream_set_read_callback(stream, &CaptureEngine::onRead, &source);
  pa_stream_set_state_callback(stream, &CaptureEngine::onStreamState, &source);
  pa_buffer_attr attributes{};
  attributes.maxlength = static_cast<uint32_t>(-1);
  attributes.tlength = static_cast<uint32_t>(-1);
  attributes.prebuf = static_cast<uint32_t>(-1);
  attributes.minreq = static_cast<uint32_t>(-1);
  attributes.fragsize = fragmentBytes();
  // A stream on a name the server resolves (the default output's monitor)
  // may move: PipeWire's Pulse server refuses one that may not, and the
  // default output is followed here anyway (SystemAudio).
  const bool alias = device.starts_with('@');
  const auto flags =
      static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | (alias ? 0 : PA_STREAM_DONT_MOVE));
  if (pa_stream_connect_record(stream, device.c_str(), &attributes, flags) < 0) return giveUp();
  source.stream = stream;
  source.ended = false;
  source.timeline.reset();
}

void CaptureEngine::detach(Source& source) {
  if (!source.stream) return;
  pa_stream_set_read_callback(source.stream, nullptr, nullptr);
  pa_stream_set_state_callback(source.stream, nullptr, nullptr);
  if (PA_STREAM_IS_GOOD(pa_stream_get_state(source.stream))) pa_stream_disconnect(source.stream);
  pa_stream_unref(source.stream);
  source.stream = nullptr;
  source.ended = false;
}

void CaptureEngine::onStreamState(pa_stream* stream, void* userdata) {
  auto* source = static_cast<Source*>(userdata);
  if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) source->ended = true;
}

void CaptureEngine::onRead(pa_stream* stream, size_t, void* userdata) {
  auto* source = static_cast<Source*>(userdata);
  source->engine->read(*source, stream);
}

void CaptureEngine::read(Source& source, pa_stream* stream) {
  const int rate = selection.sampleRate;
  const int64_t now = nowNs();
  const int64_t nowFrame = hostFrameAt(now, rate);
  // The first unread frame arrived `unread` frames' time ago: the server
  // hands audio over as it renders it, in fragments of about 10 ms. The
  // latency the server reports for a monitor is not used: it includes how
  // far the output renders ahead of playing, which changes by hundreds of
  // milliseconds whenever a playback stream comes or goes, and would tear
  // the timeline at exactly those moments.
  const size_t readableBytes = pa_stream_readable_size(stream);
  const bool measured = readableBytes != static_cast<size_t>(-1);
  const auto unread = measured ? static_cast<int64_t>(readableBytes / frameBytes_) : 0;
  const int64_t measuredFirst = nowFrame - unread;

  int64_t consumed = 0;
  for (;;) {
    const size_t readable = pa_stream_readable_size(stream);
    if (readable == 0 || readable == static_cast<size_t>(-1)) break;
    const void* data = nullptr;
    size_t bytes = 0;
    if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) break;
    const auto frames = static_cast<int64_t>(bytes / frameBytes_);
    if (!data) {
      // Audio the server lost: what follows is placed by its own time.
      source.timeline.reset();
    } else if (frames > 0) {
      std::optional<AudioTimeline::Placement> placement;
      if (measured)
        placement = source.timeline.place(measuredFirst + consumed, frames);
      else if (auto next = source.timeline.continuation())
        placement = source.timeline.place(*next, frames);
      if (placement) {
        const auto* samples = static_cast<const float*>(data);
        const auto channels = static_cast<size_t>(selection.channelCount);
        const auto skip = static_cast<size_t>(placement->skip);
        mixer_.add(placement->start + placement->skip,
                   std::span<const float>(samples + skip * channels,
                                          (static_cast<size_t>(frames) - skip) * channels));
        noteLateness(nowFrame - (placement->start + frames));
        source.failures = 0;
        audioFlowing_ = true;
      }
    }
    pa_stream_drop(stream);
    consumed += frames;
  }
  handOut(now);
  wake();
}

void CaptureEngine::noteLateness(int64_t lateFrames) {
  const int64_t rate = selection.sampleRate;
  const int64_t wanted =
      std::clamp(lateFrames + kHoldbackMarginMs * rate / 1000, kHoldbackMinimumMs * rate / 1000,
                 kHoldbackMaximumMs * rate / 1000);
  holdbackFrames_ = std::max(holdbackFrames_, wanted);
}

void CaptureEngine::onTick(pa_mainloop_api*, pa_time_event*, const struct timeval*,
                           void* userdata) {
  static_cast<CaptureEngine*>(userdata)->onTickNow();
}

void CaptureEngine::onTickNow() {
  if (failed_ || stopping_) return;
  const int64_t now = nowNs();
  reconcile(now);
  handOut(now);
  wake();
  pa_context_rttime_restart(context(), tick_, pa_rtclock_now() + kTickMicroseconds);
}

// Hands out the mix as far as it is complete (see mixReadyUntil): at once
// after a read when every source has delivered, else on the tick.
void CaptureEngine::handOut(int64_t now) {
  if (failed_ || stopping_) return;
  delivered_.clear();
  noteDelivered(delivered_);
  const int64_t until =
      mixReadyUntil(hostFrameAt(now, selection.sampleRate), holdbackFrames_, delivered_);
  if (auto chunk = mixer_.take(until)) deliver(std::move(*chunk));
}

void CaptureEngine::deliver(MixedChunk chunk) {
  const int32_t rate = selection.sampleRate;
  auto audio = std::make_shared<AudioBufferList>();
  audio->sampleRate = rate;
  audio->channelCount = selection.channelCount;
  audio->samples = std::move(chunk.samples);
  auto sample = std::make_shared<SampleBuffer>();
  sample->numSamples = static_cast<int64_t>(audio->samples.size()) / selection.channelCount;
  sample->timing = {
      SampleTimingInfo{CMTimeMake(1, rate), CMTimeMake(chunk.startFrame, rate), kCMTimeInvalid}};
  sample->audioBuffer = std::move(audio);
  onSamples_(std::move(sample));
}

void CaptureEngine::lost(const std::string& why) {
  if (failed_ || stopping_) return;
  failed_ = true;
  wake();
  if (onFailure_)
    onFailure_(PlatformError("The connection to the sound server was lost: " + why + "."));
}

bool CaptureEngine::revive(Source& source, int64_t now) {
  if (source.stream && source.ended) {
    detach(source);
    source.retryAtNs = now + retryDelay(source.failures++);
  }
  return !source.stream && now >= source.retryAtNs;
}

void CaptureEngine::noteSource(const Source& source,
                               std::vector<std::optional<int64_t>>& delivered) {
  if (source.stream && !source.ended) delivered.push_back(source.timeline.continuation());
}

void CaptureEngine::onEvent(pa_context*, pa_subscription_event_type_t event, uint32_t index,
                            void* userdata) {
  auto* engine = static_cast<CaptureEngine*>(userdata);
  if (engine->stopping_ || engine->failed_) return;
  engine->event(event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK,
                event & PA_SUBSCRIPTION_EVENT_TYPE_MASK, index);
}

}  // namespace platform::pulse

}  // namespace capture
