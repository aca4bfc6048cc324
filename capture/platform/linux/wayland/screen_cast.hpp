#pragma once
// One screen cast of a filter's content through the portal and PipeWire, and
// its frames scaled to a configured size: what the screen stream and the
// single-image capture on Wayland are made of.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/filter.hpp"
#include "platform/linux/wayland/outputs.hpp"
#include "platform/linux/wayland/pipewire_stream.hpp"
#include "platform/linux/wayland/portal.hpp"
#include "platform/sample_buffer.hpp"
#include "platform/stream.hpp"

struct SwsContext;

namespace capture {

namespace platform::wayland {

class ScreenCast {
 public:
  // Asks the portal for the filter's content (the user may be asked once per
  // target; the answer is remembered) and connects to its stream. Throws
  // PlatformError, also when the user shared something else than the display
  // asked for, or the desktop cannot capture the content at all.
  ScreenCast(const ContentFilter& filter, const StreamConfiguration& configuration);
  ~ScreenCast();
  ScreenCast(const ScreenCast&) = delete;
  ScreenCast& operator=(const ScreenCast&) = delete;

  PipeWireStream& stream() { return *stream_; }
  // Throws PlatformError once the stream, the portal session or the
  // compositor has gone; looks at the latter two at most once a second.
  void checkAlive();
  // Has the compositor repaint the captured output, at most every 100 ms:
  // producers that send frames only on change send none of a still screen,
  // not even the first, otherwise. For while no frame has come yet.
  void repaintIfDue();
  // Writes the newest frame, cropped and scaled as configured, into
  // `destination` (BGRA, alpha 255); gives when it was shown (ns,
  // CLOCK_MONOTONIC). Nothing when there is no frame yet.
  std::optional<int64_t> read(uint8_t* destination, size_t bytesPerRow);
  // The rows of the last frame read that may differ from the frame read
  // before it, where that is known.
  const std::optional<std::vector<RowSpan>>& changedRows() const { return changedRows_; }

 private:
  std::unique_ptr<Connection> connection_;
  std::unique_ptr<Portal> portal_;
  std::unique_ptr<PipeWireStream> stream_;
  StreamConfiguration configuration_;
  double pointsWidth_ = 0;  // of the captured content
  SwsContext* scaler_ = nullptr;
  std::optional<std::vector<RowSpan>> changedRows_;
  std::optional<PixelRect> lastRegion_;  // of the last frame read unscaled
  bool damageComplete_ = false;          // frames' damage covers all they change
  std::chrono::steady_clock::time_point nextProbe_{};
  std::string outputName_;  // of the captured display
  std::chrono::steady_clock::time_point nextRepaint_{};
};

}  // namespace platform::wayland

}  // namespace capture
