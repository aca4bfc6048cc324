// The screen stream's frame source on X11.
#include "platform/linux/stream/frame_source.hpp"

#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>

#include "platform/error.hpp"
#include "platform/linux/backends.hpp"
#include "platform/linux/x11/capture.hpp"

namespace capture {

namespace platform::screen {
namespace {

// The capture source of the filter's content. While the content is still no
// pixels are read, so nothing would notice the X server going away; a round
// trip on a connection of its own, once a second, does.
class ProbedSource : public FrameSource {
 public:
  ProbedSource(const ContentFilter& filter, const StreamConfiguration& configuration)
      : capture_(x11::makeCapture(filter, configuration)), probe_(xcb_connect(nullptr, nullptr)) {}
  ~ProbedSource() override { xcb_disconnect(probe_); }
  ProbedSource(const ProbedSource&) = delete;
  ProbedSource& operator=(const ProbedSource&) = delete;

  void grab(uint8_t* destination, size_t bytesPerRow) override {
    capture_->grab(destination, bytesPerRow);
  }
  // Frames straight from the shared memory the X server writes into: no copy.
  SharedPixels grabShared() override { return capture_->grabShared(); }
  bool contentChanged() override {
    const auto now = std::chrono::steady_clock::now();
    if (now >= nextProbe_) {
      nextProbe_ = now + std::chrono::seconds(1);
      std::free(xcb_get_input_focus_reply(probe_, xcb_get_input_focus(probe_), nullptr));
      if (xcb_connection_has_error(probe_))
        throw PlatformError("The connection to the X server was lost.");
    }
    return capture_->contentChanged();
  }
  std::optional<std::vector<RowSpan>> changedRows() override { return capture_->changedRows(); }

 private:
  std::unique_ptr<x11::Capture> capture_;
  xcb_connection_t* probe_;
  std::chrono::steady_clock::time_point nextProbe_{};
};

}  // namespace

}  // namespace platform::screen

namespace platform::x11 {

std::unique_ptr<screen::FrameSource> makeFrameSource(const ContentFilter& filter,
                                                     const StreamConfiguration& configuration) {
  return std::make_unique<screen::ProbedSource>(filter, configuration);
}

}  // namespace platform::x11

}  // namespace capture
