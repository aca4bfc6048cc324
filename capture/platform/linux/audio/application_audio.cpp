#include "platform/linux/audio/application_audio.hpp"

#include <charconv>
#include <cstring>
#include <optional>

#include "platform/clock.hpp"
#include "platform/linux/process_tree.hpp"

namespace capture {

namespace platform::pulse {
namespace {

int64_t nowNs() { return hostClockNow().value; }

// How long starting waits for the chosen applications' playback streams to
// deliver (see started): an output renders up to the largest latency its
// clients allow (2 s for some players) before it hands a new monitor
// anything. Streams that never deliver hold the start no longer than this.
constexpr int64_t kPlayingWaitNs = 3'000'000'000;
constexpr int64_t kSteadyMs = 100;
// Audio arrives in fragments of about 10 ms, and the loop looks every 20 ms:
// a stream whose audio ends further back than this is not keeping up.
constexpr int64_t kInStepMs = 40;

std::optional<pid_t> processOf(const pa_proplist* properties) {
  const char* text =
      properties ? pa_proplist_gets(properties, PA_PROP_APPLICATION_PROCESS_ID) : nullptr;
  if (!text) return std::nullopt;
  long pid = 0;
  const char* end = text + std::strlen(text);
  auto [ptr, ec] = std::from_chars(text, end, pid);
  if (ec != std::errc() || ptr != end || pid <= 0) return std::nullopt;
  return static_cast<pid_t>(pid);
}

}  // namespace

ApplicationAudio::ApplicationAudio(AudioSelection selection, AudioCapture::SampleHandler onSamples,
                                   AudioCapture::FailureHandler onFailure)
    : CaptureEngine(std::move(selection), std::move(onSamples), std::move(onFailure)) {}

void ApplicationAudio::begin(int64_t) {
  // Answers come in order: the sinks' monitors are known before the
  // playback streams are looked at.
  done(pa_context_get_sink_info_list(context(), &ApplicationAudio::onSinkInfo, this));
  done(
      pa_context_get_sink_input_info_list(context(), &ApplicationAudio::onSinkInputListInfo, this));
}

// An output renders its playback streams ahead of playing them, by up to
// the largest buffer a client asked for (seconds for some players); a
// monitor attached now only receives what is rendered from now on. Starting
// returns once every chosen stream that was playing has delivered through
// its monitor, so that the recording, whose screen starts afterwards, begins
// with their sound. Streams that are corked (paused) are not waited for, nor
// are those that start later.
void ApplicationAudio::started(int64_t now) {
  awaitUntil(now + kPlayingWaitNs, [this] { return playingDelivered(); });
}

bool ApplicationAudio::playingDelivered() {
  if (!listed_) return false;
  // A monitor attached to a stream hands its first audio over when the
  // output next renders, which for an output that renders seconds ahead may
  // be a second or two away, and may begin with a burst, then a pause: a
  // silent gap at the recording's start. A stream counts once its audio has
  // kept up with the clock for a steady stretch, looked at on every read and
  // tick.
  const int64_t rate = selection.sampleRate;
  const int64_t now = hostFrameAt(nowNs(), selection.sampleRate);
  for (const uint32_t index : playingAtStart_) {
    const auto it = applications_.find(index);
    if (it == applications_.end()) continue;
    const auto next = it->second->timeline.continuation();
    if (!next || now - *next > rate * kInStepMs / 1000) {
      inStepSince_.erase(index);
      return false;
    }
    const int64_t since = inStepSince_.try_emplace(index, now).first->second;
    if (now - since < rate * kSteadyMs / 1000) return false;
  }
  return true;
}

void ApplicationAudio::detachAll() {
  for (auto& [index, source] : applications_) detach(*source);
  for (auto& [index, anchor] : anchors_) release(anchor);
  anchors_.clear();
}

void ApplicationAudio::forgetAll() {
  applications_.clear();
  queries_.clear();
}

void ApplicationAudio::noteDelivered(std::vector<std::optional<int64_t>>& delivered) const {
  for (const auto& [index, source] : applications_) noteSource(*source, delivered);
}

void ApplicationAudio::event(unsigned facility, unsigned type, uint32_t index) {
  switch (facility) {
    case PA_SUBSCRIPTION_EVENT_SINK_INPUT:
      if (type == PA_SUBSCRIPTION_EVENT_REMOVE)
        forget(index);
      else
        done(pa_context_get_sink_input_info(context(), index, &ApplicationAudio::onSinkInputInfo,
                                            newQuery(index)));
      break;
    case PA_SUBSCRIPTION_EVENT_SINK:
      if (type == PA_SUBSCRIPTION_EVENT_REMOVE) {
        monitors_.erase(index);
        auto anchor = anchors_.find(index);
        if (anchor != anchors_.end()) {
          release(anchor->second);
          anchors_.erase(anchor);
        }
      } else {
        done(pa_context_get_sink_info_by_index(context(), index, &ApplicationAudio::onSinkInfo,
                                               this));
      }
      break;
    default:
      break;
  }
}

ApplicationAudio::Query* ApplicationAudio::newQuery(uint32_t index) {
  return &queries_.emplace_back(Query{this, index});
}
void ApplicationAudio::finish(Query* query) {
  queries_.remove_if([query](const Query& q) { return &q == query; });
}

void ApplicationAudio::reconcile(int64_t now) {
  for (auto& [index, source] : applications_) {
    if (!revive(*source, now) || source->querying) continue;
    // Look the playback stream up again: it may have moved to another
    // output, or be gone.
    source->querying = true;
    source->retryAtNs = now + retryDelay(source->failures++);
    done(pa_context_get_sink_input_info(context(), index, &ApplicationAudio::onSinkInputInfo,
                                        newQuery(index)));
  }
}

pa_stream* ApplicationAudio::anchor(const std::string& monitor) {
  const pa_sample_spec spec = sampleSpec();
  pa_stream* stream = pa_stream_new(context(), "orvik capture pacing", &spec, nullptr);
  if (!stream) return nullptr;
  pa_stream_set_read_callback(stream, &ApplicationAudio::discard, nullptr);
  pa_buffer_attr attributes{};
  attributes.maxlength = attributes.tlength = attributes.prebuf = attributes.minreq =
      static_cast<uint32_t>(-1);
  attributes.fragsize = fragmentBytes();
  const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
  if (pa_stream_connect_record(stream, monitor.c_str(), &attributes, flags) < 0) {
    release(stream);
    return nullptr;
  }
  return stream;
}

void ApplicationAudio::discard(pa_stream* stream, size_t, void*) {
  const void* data = nullptr;
  size_t bytes = 0;
  while (pa_stream_readable_size(stream) > 0 &&
         pa_stream_readable_size(stream) != static_cast<size_t>(-1) &&
         pa_stream_peek(stream, &data, &bytes) == 0 && bytes > 0)
    pa_stream_drop(stream);
}

void ApplicationAudio::release(pa_stream* stream) {
  if (!stream) return;
  pa_stream_set_read_callback(stream, nullptr, nullptr);
  if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) pa_stream_disconnect(stream);
  pa_stream_unref(stream);
}

// --- which playback streams to record ---

bool ApplicationAudio::wanted(const pa_sink_input_info& info) const {
  const std::optional<pid_t> pid = processOf(info.proplist);
  if (!pid) return false;
  if (*pid == selection.ownProcess) return false;
  return proc::isSelfOrDescendantOf(*pid, selection.applicationProcesses);
}

void ApplicationAudio::consider(const pa_sink_input_info& info) {
  const int64_t now = nowNs();
  auto it = applications_.find(info.index);
  if (it == applications_.end()) {
    if (!wanted(info)) return;
    auto source = std::make_unique<Source>();
    source->engine = this;
    source->sinkInput = info.index;
    source->retryAtNs = now + retryDelay(0);
    it = applications_.emplace(info.index, std::move(source)).first;
  }
  Source& source = *it->second;
  source.querying = false;
  if (source.stream && !source.ended && source.sink == info.sink) return;
  detach(source);  // moved to another output, or ended
  source.sink = info.sink;
  auto monitor = monitors_.find(source.sink);
  if (monitor != monitors_.end())
    attach(source, monitor->second, now);
  else
    done(pa_context_get_sink_info_by_index(context(), source.sink, &ApplicationAudio::onSinkInfo,
                                           this));
}

void ApplicationAudio::forget(uint32_t sinkInput) {
  auto it = applications_.find(sinkInput);
  if (it == applications_.end()) return;
  detach(*it->second);
  applications_.erase(it);
}

void ApplicationAudio::learnSink(const pa_sink_info& info) {
  if (!info.monitor_source_name) return;
  monitors_[info.index] = info.monitor_source_name;
  if (!anchors_.count(info.index)) anchors_[info.index] = anchor(info.monitor_source_name);
  const int64_t now = nowNs();
  for (auto& [index, source] : applications_)
    if (!source->stream && !source->querying && source->sink == info.index)
      attach(*source, info.monitor_source_name, now);
}

void ApplicationAudio::onSinkInfo(pa_context*, const pa_sink_info* info, int, void* userdata) {
  if (info) static_cast<ApplicationAudio*>(userdata)->learnSink(*info);
}

void ApplicationAudio::onSinkInputListInfo(pa_context*, const pa_sink_input_info* info, int,
                                           void* userdata) {
  auto* engine = static_cast<ApplicationAudio*>(userdata);
  if (!info) {
    engine->listed_ = true;
    return;
  }
  engine->consider(*info);
  if (!info->corked && engine->applications_.count(info->index))
    engine->playingAtStart_.insert(info->index);
}

void ApplicationAudio::onSinkInputInfo(pa_context*, const pa_sink_input_info* info, int eol,
                                       void* userdata) {
  auto* query = static_cast<Query*>(userdata);
  ApplicationAudio* engine = query->capture;
  if (info) {
    engine->consider(*info);
    return;
  }
  if (eol < 0) engine->forget(query->index);  // no such playback stream any more
  engine->finish(query);
}

}  // namespace platform::pulse

}  // namespace capture
