#include "platform/linux/wayland/pipewire_stream.hpp"

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <mutex>

#include "platform/error.hpp"
#include "platform/linux/wayland/frame_time.hpp"

namespace capture {

namespace platform::wayland {

namespace {

// Damage regions a frame may carry.
constexpr size_t kDamageRegions = 16;

// The regions a frame's producer says changed since its frame before. A list
// is ended by an empty region; one that fills every place may have had more
// regions folded into its last one, which a producer (xdg-desktop-portal-wlr
// 0.7) gets wrong, so such a list is not used.
std::optional<std::vector<PixelRect>> damageOf(spa_buffer* buffer) {
  spa_meta* meta = spa_buffer_find_meta(buffer, SPA_META_VideoDamage);
  if (!meta) return std::nullopt;
  std::vector<PixelRect> damage;
  spa_meta_region* r = nullptr;
  spa_meta_for_each(r, meta) {
    if (!spa_meta_region_is_valid(r)) return damage;
    damage.push_back(
        {r->region.position.x, r->region.position.y, r->region.size.width, r->region.size.height});
  }
  return std::nullopt;
}

}  // namespace

struct PipeWireStream::Hooks {
  spa_hook stream{};
  spa_hook core{};
  pw_stream_events streamEvents{};
  pw_core_events coreEvents{};
};

struct PipeWireStream::Callbacks {
  static void stateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error) {
    auto* self = static_cast<PipeWireStream*>(data);
    if (state == PW_STREAM_STATE_ERROR) {
      self->fail(std::string("The screen-cast stream failed: ") +
                 (error ? error : "unknown error") + ".");
    } else if (state == PW_STREAM_STATE_STREAMING) {
      std::lock_guard lock(self->mutex_);
      self->streaming_ = true;
    } else if (state == PW_STREAM_STATE_UNCONNECTED) {
      self->fail("The screen-cast stream ended.");
    }
  }

  // The format the producer settled on; then the buffers we can read: shared
  // memory only, with the header and the crop region when it has them.
  static void paramChanged(void* data, uint32_t id, const spa_pod* param) {
    auto* self = static_cast<PipeWireStream*>(data);
    if (!param || id != SPA_PARAM_Format) return;
    spa_video_info_raw info{};
    if (spa_format_video_raw_parse(param, &info) < 0) return;
    {
      std::lock_guard lock(self->mutex_);
      self->width_ = info.size.width;
      self->height_ = info.size.height;
      self->opaque_ = info.format != SPA_VIDEO_FORMAT_BGRA;
    }
    uint8_t storage[1024];
    spa_pod_builder b{};
    spa_pod_builder_init(&b, storage, sizeof(storage));
    const spa_pod* params[4];
    spa_pod_frame frame{};
    spa_pod_builder_push_object(&b, &frame, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers);
    spa_pod_builder_add(&b, SPA_PARAM_BUFFERS_buffers, SPA_POD_CHOICE_RANGE_Int(4, 2, 16),
                        SPA_PARAM_BUFFERS_dataType,
                        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr)),
                        0);
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_pop(&b, &frame));
    spa_pod_builder_push_object(&b, &frame, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta);
    spa_pod_builder_add(&b, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size,
                        SPA_POD_Int(sizeof(spa_meta_header)), 0);
    params[1] = static_cast<const spa_pod*>(spa_pod_builder_pop(&b, &frame));
    spa_pod_builder_push_object(&b, &frame, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta);
    spa_pod_builder_add(&b, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoCrop),
                        SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_region)), 0);
    params[2] = static_cast<const spa_pod*>(spa_pod_builder_pop(&b, &frame));
    spa_pod_builder_push_object(&b, &frame, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta);
    spa_pod_builder_add(
        &b, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoDamage), SPA_PARAM_META_size,
        SPA_POD_CHOICE_RANGE_Int(sizeof(spa_meta_region) * kDamageRegions, sizeof(spa_meta_region),
                                 sizeof(spa_meta_region) * kDamageRegions),
        0);
    params[3] = static_cast<const spa_pod*>(spa_pod_builder_pop(&b, &frame));
    pw_stream_update_params(self->stream_, params, 4);
  }

  static void process(void* data) { static_cast<PipeWireStream*>(data)->onProcess(); }

  // A buffer the stream takes away (renegotiation, the producer gone) must
  // not be read or given back any more.
  static void removeBuffer(void* data, pw_buffer* buffer) {
    auto* self = static_cast<PipeWireStream*>(data);
    std::lock_guard lock(self->mutex_);
    self->damage_.lose();
    if (self->held_ != buffer) return;
    self->held_ = nullptr;
    self->fresh_ = false;
  }

  static void coreError(void* data, uint32_t id, int, int result, const char* message) {
    if (id != PW_ID_CORE) return;
    static_cast<PipeWireStream*>(data)->fail(
        std::string("The PipeWire connection failed: ") +
        (message && message[0] ? message : std::strerror(-result)) + ".");
  }
};

namespace {

std::once_flag initialised;

// Raw BGRx/BGRA of any size, at most `maxRate` frames a second: the producer
// then sends no frame that would only be dropped here.
const spa_pod* enumFormat(spa_pod_builder& b, uint32_t maxRate) {
  spa_rectangle defaultSize{1920, 1080}, smallest{1, 1}, largest{16384, 16384};
  spa_fraction defaultRate{30, 1}, slowest{0, 1}, fastest{1000, 1};
  spa_fraction maxRateDefault{maxRate, 1}, maxRateLeast{1, 1}, maxRateMost{maxRate, 1};
  spa_pod_frame frame{};
  spa_pod_builder_push_object(&b, &frame, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
  spa_pod_builder_add(
      &b, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
      SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
      SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx,
                             SPA_VIDEO_FORMAT_BGRA),
      SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&defaultSize, &smallest, &largest),
      SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&defaultRate, &slowest, &fastest),
      SPA_FORMAT_VIDEO_maxFramerate,
      SPA_POD_CHOICE_RANGE_Fraction(&maxRateDefault, &maxRateLeast, &maxRateMost), 0);
  return static_cast<const spa_pod*>(spa_pod_builder_pop(&b, &frame));
}

}  // namespace

PipeWireStream::PipeWireStream(int fd, uint32_t node, uint32_t maxRate) : hooks_(new Hooks) {
  std::call_once(initialised, [] { pw_init(nullptr, nullptr); });
  loop_ = pw_thread_loop_new("orvik-pipewire", nullptr);
  context_ = loop_ ? pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0) : nullptr;
  if (!context_ || pw_thread_loop_start(loop_) < 0) {
    close(fd);
    if (context_) pw_context_destroy(context_);
    if (loop_) pw_thread_loop_destroy(loop_);
    delete hooks_;
    throw PlatformError("PipeWire cannot be used.");
  }
  pw_thread_loop_lock(loop_);
  core_ = pw_context_connect_fd(context_, fd, nullptr, 0);  // owns fd from here
  if (core_) {
    hooks_->coreEvents.version = PW_VERSION_CORE_EVENTS;
    hooks_->coreEvents.error = Callbacks::coreError;
    pw_core_add_listener(core_, &hooks_->core, &hooks_->coreEvents, this);
    stream_ = pw_stream_new(core_, "orvik-capture",
                            pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                              "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr));
  }
  int connected = -1;
  if (stream_) {
    hooks_->streamEvents.version = PW_VERSION_STREAM_EVENTS;
    hooks_->streamEvents.state_changed = Callbacks::stateChanged;
    hooks_->streamEvents.param_changed = Callbacks::paramChanged;
    hooks_->streamEvents.process = Callbacks::process;
    hooks_->streamEvents.remove_buffer = Callbacks::removeBuffer;
    pw_stream_add_listener(stream_, &hooks_->stream, &hooks_->streamEvents, this);
    uint8_t storage[1024];
    spa_pod_builder b{};
    spa_pod_builder_init(&b, storage, sizeof(storage));
    const spa_pod* params[1] = {enumFormat(b, std::max<uint32_t>(maxRate, 1))};
    connected = pw_stream_connect(
        stream_, PW_DIRECTION_INPUT, node,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                     PW_STREAM_FLAG_DONT_RECONNECT),
        params, 1);
  }
  pw_thread_loop_unlock(loop_);
  if (connected < 0) {
    teardown();
    throw PlatformError("The screen-cast stream cannot be connected through PipeWire.");
  }
}

PipeWireStream::~PipeWireStream() { teardown(); }

void PipeWireStream::teardown() {
  if (!loop_) return;
  pw_thread_loop_lock(loop_);
  if (stream_) {
    {
      std::lock_guard lock(mutex_);
      if (held_ && !failure_) pw_stream_queue_buffer(stream_, held_);
      held_ = nullptr;
    }
    pw_stream_disconnect(stream_);
    pw_stream_destroy(stream_);
  }
  if (core_) pw_core_disconnect(core_);
  pw_thread_loop_unlock(loop_);
  pw_thread_loop_stop(loop_);
  pw_context_destroy(context_);
  pw_thread_loop_destroy(loop_);
  loop_ = nullptr;
  stream_ = nullptr;
  core_ = nullptr;
  delete hooks_;
  hooks_ = nullptr;
}

void PipeWireStream::fail(std::string why) {
  {
    std::lock_guard lock(mutex_);
    if (!failure_) failure_ = std::move(why);
  }
  arrived_.notify_all();
}

// On PipeWire's thread: takes the newest buffer with content, gives back the
// others and the one held so far; notes what each changed.
void PipeWireStream::onProcess() {
  pw_buffer* newest = nullptr;
  while (pw_buffer* b = pw_stream_dequeue_buffer(stream_)) {
    const spa_data& d = b->buffer->datas[0];
    if (!d.data || !d.chunk || d.chunk->size == 0) {
      pw_stream_queue_buffer(stream_, b);  // no new content in this one
      continue;
    }
    const auto* header = static_cast<const spa_meta_header*>(
        spa_buffer_find_meta_data(b->buffer, SPA_META_Header, sizeof(spa_meta_header)));
    const bool sound = header && !(header->flags & SPA_META_HEADER_FLAG_CORRUPTED);
    {
      std::lock_guard lock(mutex_);
      damage_.add(sound ? std::optional<uint64_t>(header->seq) : std::nullopt, damageOf(b->buffer));
    }
    if (newest) pw_stream_queue_buffer(stream_, newest);
    newest = b;
  }
  if (!newest) return;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const int64_t arrival = static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
  const auto* header = static_cast<const spa_meta_header*>(
      spa_buffer_find_meta_data(newest->buffer, SPA_META_Header, sizeof(spa_meta_header)));
  const spa_data& d = newest->buffer->datas[0];
  Frame frame;
  frame.shown =
      shownTime(header && header->pts > 0 ? std::optional(header->pts) : std::nullopt, arrival);
  pw_buffer* previous = nullptr;
  {
    std::lock_guard lock(mutex_);
    frame.width = width_;
    frame.height = height_;
    frame.opaque = opaque_;
    frame.bytesPerRow = d.chunk->stride > 0 ? static_cast<size_t>(d.chunk->stride)
                                            : static_cast<size_t>(width_) * 4;
    const bool complete =
        width_ > 0 && height_ > 0 &&
        d.chunk->offset + frame.bytesPerRow * static_cast<size_t>(height_) <= d.maxsize;
    if (!complete) {
      previous = newest;  // not what was negotiated: dropped
      damage_.lose();
    } else {
      frame.pixels = static_cast<const uint8_t*>(d.data) + d.chunk->offset;
      auto* crop = static_cast<spa_meta_region*>(
          spa_buffer_find_meta_data(newest->buffer, SPA_META_VideoCrop, sizeof(spa_meta_region)));
      if (crop && spa_meta_region_is_valid(crop))
        frame.crop = PixelRect{crop->region.position.x, crop->region.position.y,
                               crop->region.size.width, crop->region.size.height};
      previous = held_;
      held_ = newest;
      frame_ = frame;
      fresh_ = true;
    }
  }
  if (previous) pw_stream_queue_buffer(stream_, previous);
  arrived_.notify_all();
}

bool PipeWireStream::fresh() {
  std::lock_guard lock(mutex_);
  return fresh_;
}

bool PipeWireStream::waitForFrame(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  return arrived_.wait_until(lock, deadline, [this] { return fresh_ || failure_; }) && fresh_;
}

void PipeWireStream::read(const std::function<void(const Frame&, FrameDamage&)>& read) {
  std::lock_guard lock(mutex_);
  if (!held_) return;
  fresh_ = false;
  read(frame_, damage_);
}

std::optional<std::string> PipeWireStream::failure() {
  std::lock_guard lock(mutex_);
  return failure_;
}

}  // namespace platform::wayland

}  // namespace capture
