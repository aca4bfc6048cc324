#include "platform/linux/pulse_capture.hpp"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <list>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.hpp"
#include "platform/linux/audio_mixer.hpp"
#include "platform/linux/audio_timeline.hpp"
#include "platform/linux/process_tree.hpp"
#include "platform/linux/pulse_connection.hpp"

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
// The device name the server resolves to the default output's monitor.
constexpr const char* kDefaultMonitor = "@DEFAULT_MONITOR@";

int64_t nowNs() { return hostClockNow().value; }

int64_t retryDelay(int failures) {
  return kRetryFirstNs << std::clamp(failures, 0, kRetryDoublingsMax);
}

std::optional<pid_t> processOf(const pa_proplist* properties) {
  const char* text = properties ? pa_proplist_gets(properties, PA_PROP_APPLICATION_PROCESS_ID)
                                : nullptr;
  if (!text) return std::nullopt;
  long pid = 0;
  const char* end = text + std::strlen(text);
  auto [ptr, ec] = std::from_chars(text, end, pid);
  if (ec != std::errc() || ptr != end || pid <= 0) return std::nullopt;
  return static_cast<pid_t>(pid);
}

}  // namespace

struct AudioCapture::Engine {
  // One record stream: the default output's monitor, or the monitor of one
  // application playback stream ("sink input").
  struct Source {
    Engine* engine = nullptr;
    uint32_t sinkInput = PA_INVALID_INDEX;
    uint32_t sink = PA_INVALID_INDEX;
    pa_stream* stream = nullptr;
    bool ended = false;     // the server ended the stream; taken down on the next tick
    bool querying = false;  // its playback stream is being looked up again
    AudioTimeline timeline;
    int failures = 0;
    int64_t retryAtNs = 0;
  };
  // A lookup by index in flight; owned here so that a lookup whose answer
  // never comes (the connection broke) leaks nothing.
  struct Query {
    Engine* engine = nullptr;
    uint32_t index = PA_INVALID_INDEX;
  };

  Engine(AudioSelection selectionIn, SampleHandler samples, FailureHandler failure)
      : selection(std::move(selectionIn)),
        onSamples(std::move(samples)),
        onFailure(std::move(failure)),
        mixer(selection.channelCount, kMixHorizonSeconds * selection.sampleRate),
        frameBytes(sizeof(float) * static_cast<size_t>(selection.channelCount)),
        holdbackFrames(kHoldbackMinimumMs * selection.sampleRate / 1000) {
    output.engine = this;
  }

  // Everything below runs on the loop thread or under the loop lock.

  const AudioSelection selection;
  const SampleHandler onSamples;
  const FailureHandler onFailure;
  std::unique_ptr<Connection> connection;
  pa_time_event* tick = nullptr;
  bool failed = false;
  bool stopping = false;
  AudioMixer mixer;
  const size_t frameBytes;
  int64_t holdbackFrames;
  Source output;
  std::map<uint32_t, std::unique_ptr<Source>> applications;  // by sink input
  std::map<uint32_t, std::string> monitors;                  // sink -> its monitor source
  // Application mode: one low-latency record stream on every output's
  // monitor, whose audio is thrown away. An output renders ahead of playing
  // by as much as its clients allow (up to seconds); audio rendered before a
  // new playback stream's monitor is attached would be lost. Keeping a
  // low-latency reader on each output makes it render in small steps.
  std::map<uint32_t, pa_stream*> anchors;
  std::string defaultSink;
  std::list<Query> queries;
  bool awaiting = false;      // start() waits for the first audio
  bool audioFlowing = false;  // some source has delivered audio
  std::vector<std::optional<int64_t>> delivered;  // scratch of handOut

  pa_context* context() const { return connection->context(); }

  void start() {
    pa_sample_spec spec = sampleSpec();
    if (!pa_sample_spec_valid(&spec) || selection.channelCount > 8)
      throw PlatformError("The audio format (" + std::to_string(selection.sampleRate) + " Hz, " +
                          std::to_string(selection.channelCount) +
                          " channels) is not supported.");
    connection = std::make_unique<Connection>("orvik-capture", kConnectTimeout,
                                              [this](const std::string& why) { lost(why); });
    Connection::Lock lock(*connection);
    pa_context_set_subscribe_callback(context(), &Engine::onEvent, this);
    const auto mask = selection.applicationsOnly
                          ? PA_SUBSCRIPTION_MASK_SINK_INPUT | PA_SUBSCRIPTION_MASK_SINK
                          : PA_SUBSCRIPTION_MASK_SERVER;
    done(pa_context_subscribe(context(), static_cast<pa_subscription_mask_t>(mask), nullptr,
                              nullptr));
    const int64_t now = nowNs();
    if (selection.applicationsOnly) {
      // Answers come in order: the sinks' monitors are known before the
      // playback streams are looked at.
      done(pa_context_get_sink_info_list(context(), &Engine::onSinkInfo, this));
      done(pa_context_get_sink_input_info_list(context(), &Engine::onSinkInputListInfo, this));
    } else {
      done(pa_context_get_server_info(context(), &Engine::onServerInfo, this));
      attach(output, kDefaultMonitor, now);
    }
    mixer.startAt(hostFrameAt(now, selection.sampleRate) - holdbackFrames);
    tick = pa_context_rttime_new(context(), pa_rtclock_now() + kTickMicroseconds, &Engine::onTick,
                                 this);
    awaitFirstAudio(now);
  }

  // An output plays what it rendered a while ago: up to its latency ahead,
  // which is tens of milliseconds on a busy output and up to seconds on one
  // that had been idle. A monitor attached now first receives what the output
  // renders from now on, so whatever it plays meanwhile, rendered before the
  // monitor existed, never reaches it. Starting the default output's capture
  // returns once its audio flows, so that whatever starts after it (the
  // screen capture of the same stream, and with it the recording's timeline)
  // begins where the audio does. (Chosen applications' audio comes on a
  // stream of its own that has no screen to hold back.)
  void awaitFirstAudio(int64_t started) {
    if (selection.applicationsOnly) return;
    const int64_t deadline = started + kFirstAudioWaitNs;
    awaiting = true;
    while (!failed && !audioFlowing && nowNs() < deadline)
      pa_threaded_mainloop_wait(connection->loop());  // woken by reads and ticks
    awaiting = false;
  }

  void wake() {
    if (awaiting) pa_threaded_mainloop_signal(connection->loop(), 0);
  }

  void stop() {
    if (!connection) return;
    {
      Connection::Lock lock(*connection);
      stopping = true;
      if (tick) pa_threaded_mainloop_get_api(connection->loop())->time_free(tick);
      tick = nullptr;
      detach(output);
      for (auto& [index, source] : applications) detach(*source);
      for (auto& [index, anchor] : anchors) release(anchor);
      anchors.clear();
    }
    connection.reset();  // no callback runs after this
    applications.clear();
    queries.clear();
  }

  pa_sample_spec sampleSpec() const {
    pa_sample_spec spec{};
    spec.format = PA_SAMPLE_FLOAT32NE;
    spec.rate = static_cast<uint32_t>(std::max(selection.sampleRate, 0));
    spec.channels = static_cast<uint8_t>(std::clamp(selection.channelCount, 0, 255));
    return spec;
  }

  static void done(pa_operation* operation) {
    if (operation) pa_operation_unref(operation);
  }

  Query* newQuery(uint32_t index) { return &queries.emplace_back(Query{this, index}); }
  void finish(Query* query) {
    queries.remove_if([query](const Query& q) { return &q == query; });
  }

  // --- streams ---

  void attach(Source& source, const std::string& device, int64_t now) {
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
    pa_stream_set_read_callback(stream, &Engine::onRead, &source);
    pa_stream_set_state_callback(stream, &Engine::onStreamState, &source);
    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<uint32_t>(-1);
    attributes.tlength = static_cast<uint32_t>(-1);
    attributes.prebuf = static_cast<uint32_t>(-1);
    attributes.minreq = static_cast<uint32_t>(-1);
    // About 10 ms per read: small enough that the mix is handed out promptly.
    attributes.fragsize =
        static_cast<uint32_t>(frameBytes * static_cast<size_t>(selection.sampleRate) / 100);
    const auto flags = static_cast<pa_stream_flags_t>(
        PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(stream, device.c_str(), &attributes, flags) < 0) return giveUp();
    source.stream = stream;
    source.ended = false;
    source.timeline.reset();
  }

  static void detach(Source& source) {
    if (!source.stream) return;
    pa_stream_set_read_callback(source.stream, nullptr, nullptr);
    pa_stream_set_state_callback(source.stream, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(source.stream))) pa_stream_disconnect(source.stream);
    pa_stream_unref(source.stream);
    source.stream = nullptr;
    source.ended = false;
  }

  static void onStreamState(pa_stream* stream, void* userdata) {
    auto* source = static_cast<Source*>(userdata);
    if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) source->ended = true;
  }

  static void onRead(pa_stream* stream, size_t, void* userdata) {
    auto* source = static_cast<Source*>(userdata);
    source->engine->read(*source, stream);
  }

  void read(Source& source, pa_stream* stream) {
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
    const auto unread = measured ? static_cast<int64_t>(readableBytes / frameBytes) : 0;
    const int64_t measuredFirst = nowFrame - unread;

    int64_t consumed = 0;
    for (;;) {
      const size_t readable = pa_stream_readable_size(stream);
      if (readable == 0 || readable == static_cast<size_t>(-1)) break;
      const void* data = nullptr;
      size_t bytes = 0;
      if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) break;
      const auto frames = static_cast<int64_t>(bytes / frameBytes);
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
          mixer.add(placement->start + placement->skip,
                    std::span<const float>(samples + skip * channels,
                                           (static_cast<size_t>(frames) - skip) * channels));
          noteLateness(nowFrame - (placement->start + frames));
          source.failures = 0;
          audioFlowing = true;
        }
      }
      pa_stream_drop(stream);
      consumed += frames;
    }
    handOut(now);
    wake();
  }

  void noteLateness(int64_t lateFrames) {
    const int64_t rate = selection.sampleRate;
    const int64_t wanted = std::clamp(lateFrames + kHoldbackMarginMs * rate / 1000,
                                      kHoldbackMinimumMs * rate / 1000,
                                      kHoldbackMaximumMs * rate / 1000);
    holdbackFrames = std::max(holdbackFrames, wanted);
  }

  // --- the periodic pass: hand out the mix, bring streams back ---

  static void onTick(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
    auto* engine = static_cast<Engine*>(userdata);
    engine->onTickNow();
  }

  void onTickNow() {
    if (failed || stopping) return;
    const int64_t now = nowNs();
    reconcile(now);
    handOut(now);
    wake();
    pa_context_rttime_restart(context(), tick, pa_rtclock_now() + kTickMicroseconds);
  }

  // Hands out the mix as far as it is complete (see mixReadyUntil): at once
  // after a read when every source has delivered, else on the tick.
  void handOut(int64_t now) {
    if (failed || stopping) return;
    delivered.clear();
    auto note = [&](const Source& source) {
      if (source.stream && !source.ended) delivered.push_back(source.timeline.continuation());
    };
    if (selection.applicationsOnly)
      for (const auto& [index, source] : applications) note(*source);
    else
      note(output);
    const int64_t until =
        mixReadyUntil(hostFrameAt(now, selection.sampleRate), holdbackFrames, delivered);
    if (auto chunk = mixer.take(until)) deliver(std::move(*chunk));
  }

  void reconcile(int64_t now) {
    auto revive = [&](Source& source) {
      if (source.stream && source.ended) {
        detach(source);
        source.retryAtNs = now + retryDelay(source.failures++);
      }
      return !source.stream && now >= source.retryAtNs;
    };
    if (!selection.applicationsOnly) {
      if (revive(output)) attach(output, kDefaultMonitor, now);
      return;
    }
    for (auto& [index, source] : applications) {
      if (!revive(*source) || source->querying) continue;
      // Look the playback stream up again: it may have moved to another
      // output, or be gone.
      source->querying = true;
      source->retryAtNs = now + retryDelay(source->failures++);
      done(pa_context_get_sink_input_info(context(), index, &Engine::onSinkInputInfo,
                                          newQuery(index)));
    }
  }

  void deliver(MixedChunk chunk) {
    const int32_t rate = selection.sampleRate;
    auto audio = std::make_shared<AudioBufferList>();
    audio->sampleRate = rate;
    audio->channelCount = selection.channelCount;
    audio->samples = std::move(chunk.samples);
    auto sample = std::make_shared<SampleBuffer>();
    sample->numSamples =
        static_cast<int64_t>(audio->samples.size()) / selection.channelCount;
    sample->timing = {SampleTimingInfo{CMTimeMake(1, rate), CMTimeMake(chunk.startFrame, rate),
                                       kCMTimeInvalid}};
    sample->audioBuffer = std::move(audio);
    onSamples(std::move(sample));
  }

  pa_stream* anchor(const std::string& monitor) {
    const pa_sample_spec spec = sampleSpec();
    pa_stream* stream = pa_stream_new(context(), "orvik capture pacing", &spec, nullptr);
    if (!stream) return nullptr;
    pa_stream_set_read_callback(stream, &Engine::discard, nullptr);
    pa_buffer_attr attributes{};
    attributes.maxlength = attributes.tlength = attributes.prebuf = attributes.minreq =
        static_cast<uint32_t>(-1);
    attributes.fragsize =
        static_cast<uint32_t>(frameBytes * static_cast<size_t>(selection.sampleRate) / 100);
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(stream, monitor.c_str(), &attributes, flags) < 0) {
      release(stream);
      return nullptr;
    }
    return stream;
  }

  static void discard(pa_stream* stream, size_t, void*) {
    const void* data = nullptr;
    size_t bytes = 0;
    while (pa_stream_readable_size(stream) > 0 && pa_stream_readable_size(stream) != static_cast<size_t>(-1) &&
           pa_stream_peek(stream, &data, &bytes) == 0 && bytes > 0)
      pa_stream_drop(stream);
  }

  static void release(pa_stream* stream) {
    if (!stream) return;
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) pa_stream_disconnect(stream);
    pa_stream_unref(stream);
  }

  // --- which playback streams to record ---

  bool wanted(const pa_sink_input_info& info) const {
    const std::optional<pid_t> pid = processOf(info.proplist);
    if (!pid) return false;
    if (*pid == selection.ownProcess) return false;
    return proc::isSelfOrDescendantOf(*pid, selection.applicationProcesses);
  }

  void consider(const pa_sink_input_info& info) {
    const int64_t now = nowNs();
    auto it = applications.find(info.index);
    if (it == applications.end()) {
      if (!wanted(info)) return;
      auto source = std::make_unique<Source>();
      source->engine = this;
      source->sinkInput = info.index;
      source->retryAtNs = now + retryDelay(0);
      it = applications.emplace(info.index, std::move(source)).first;
    }
    Source& source = *it->second;
    source.querying = false;
    if (source.stream && !source.ended && source.sink == info.sink) return;
    detach(source);  // moved to another output, or ended
    source.sink = info.sink;
    auto monitor = monitors.find(source.sink);
    if (monitor != monitors.end())
      attach(source, monitor->second, now);
    else
      done(pa_context_get_sink_info_by_index(context(), source.sink, &Engine::onSinkInfo, this));
  }

  void forget(uint32_t sinkInput) {
    auto it = applications.find(sinkInput);
    if (it == applications.end()) return;
    detach(*it->second);
    applications.erase(it);
  }

  void learnSink(const pa_sink_info& info) {
    if (!info.monitor_source_name) return;
    monitors[info.index] = info.monitor_source_name;
    if (!anchors.count(info.index)) anchors[info.index] = anchor(info.monitor_source_name);
    const int64_t now = nowNs();
    for (auto& [index, source] : applications)
      if (!source->stream && !source->querying && source->sink == info.index)
        attach(*source, info.monitor_source_name, now);
  }

  static void onSinkInfo(pa_context*, const pa_sink_info* info, int, void* userdata) {
    if (info) static_cast<Engine*>(userdata)->learnSink(*info);
  }

  static void onSinkInputListInfo(pa_context*, const pa_sink_input_info* info, int,
                                  void* userdata) {
    if (info) static_cast<Engine*>(userdata)->consider(*info);
  }

  static void onSinkInputInfo(pa_context*, const pa_sink_input_info* info, int eol,
                              void* userdata) {
    auto* query = static_cast<Query*>(userdata);
    Engine* engine = query->engine;
    if (info) {
      engine->consider(*info);
      return;
    }
    if (eol < 0) engine->forget(query->index);  // no such playback stream any more
    engine->finish(query);
  }

  static void onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
    auto* engine = static_cast<Engine*>(userdata);
    if (!info || !info->default_sink_name) return;
    const std::string name = info->default_sink_name;
    if (!engine->defaultSink.empty() && name != engine->defaultSink) {
      // The default output changed: follow it.
      detach(engine->output);
      engine->output.failures = 0;
      engine->output.retryAtNs = 0;
    }
    engine->defaultSink = name;
  }

  static void onEvent(pa_context* context, pa_subscription_event_type_t event, uint32_t index,
                      void* userdata) {
    auto* engine = static_cast<Engine*>(userdata);
    if (engine->stopping || engine->failed) return;
    const auto facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const auto type = event & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    switch (facility) {
      case PA_SUBSCRIPTION_EVENT_SINK_INPUT:
        if (type == PA_SUBSCRIPTION_EVENT_REMOVE)
          engine->forget(index);
        else
          done(pa_context_get_sink_input_info(context, index, &Engine::onSinkInputInfo,
                                              engine->newQuery(index)));
        break;
      case PA_SUBSCRIPTION_EVENT_SINK:
        if (type == PA_SUBSCRIPTION_EVENT_REMOVE) {
          engine->monitors.erase(index);
          auto anchor = engine->anchors.find(index);
          if (anchor != engine->anchors.end()) {
            release(anchor->second);
            engine->anchors.erase(anchor);
          }
        }
        else
          done(pa_context_get_sink_info_by_index(context, index, &Engine::onSinkInfo, engine));
        break;
      case PA_SUBSCRIPTION_EVENT_SERVER:
        done(pa_context_get_server_info(context, &Engine::onServerInfo, engine));
        break;
      default:
        break;
    }
  }

  void lost(const std::string& why) {
    if (failed || stopping) return;
    failed = true;
    wake();
    if (onFailure) onFailure(PlatformError("The connection to the sound server was lost: " + why + "."));
  }
};

AudioCapture::AudioCapture(AudioSelection selection, SampleHandler onSamples,
                           FailureHandler onFailure)
    : engine_(std::make_unique<Engine>(std::move(selection), std::move(onSamples),
                                       std::move(onFailure))) {}

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
