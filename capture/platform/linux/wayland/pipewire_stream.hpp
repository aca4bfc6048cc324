#pragma once
// A PipeWire consumer of one screen-cast node: raw BGRx/BGRA frames in shared
// memory, the newest one kept (and the buffer it lies in held back from the
// producer) until a newer one comes. The producer sends frames only when the
// screen changes, so a still screen costs nothing here.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "platform/linux/wayland/frame_damage.hpp"
#include "platform/linux/wayland/geometry.hpp"

struct pw_thread_loop;
struct pw_context;
struct pw_core;
struct pw_stream;
struct pw_buffer;

namespace capture {

namespace platform::wayland {

struct Frame {
  const uint8_t* pixels = nullptr;
  int64_t width = 0, height = 0;
  size_t bytesPerRow = 0;
  bool opaque = true;  // BGRx: the fourth byte means nothing
  std::optional<PixelRect> crop;
  int64_t shown = 0;  // when the compositor showed it: ns, CLOCK_MONOTONIC
};

class PipeWireStream {
 public:
  // Connects through `fd` (taken over, closed in every case) to `node`,
  // asking for at most `maxRate` frames a second. Throws PlatformError.
  PipeWireStream(int fd, uint32_t node, uint32_t maxRate);
  ~PipeWireStream();
  PipeWireStream(const PipeWireStream&) = delete;
  PipeWireStream& operator=(const PipeWireStream&) = delete;

  // True when a frame came since the last read.
  bool fresh();
  // Waits until a frame is there; false at the deadline.
  bool waitForFrame(std::chrono::steady_clock::time_point deadline);
  // Runs `read` on the newest frame (not at all without one), with what
  // changed since the frame read before; the frame stays untouched meanwhile.
  void read(const std::function<void(const Frame&, FrameDamage&)>& read);
  // Why the stream ended, once it has.
  std::optional<std::string> failure();

  struct Callbacks;

 private:
  void teardown();
  void fail(std::string why);
  void onProcess();

  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  pw_stream* stream_ = nullptr;
  struct Hooks;
  Hooks* hooks_ = nullptr;

  std::mutex mutex_;  // guards everything below
  std::condition_variable arrived_;
  pw_buffer* held_ = nullptr;
  Frame frame_;
  bool fresh_ = false;
  bool streaming_ = false;
  int64_t width_ = 0, height_ = 0;
  bool opaque_ = true;
  std::optional<std::string> failure_;
  FrameDamage damage_;
};

}  // namespace platform::wayland

}  // namespace capture
