#pragma once
// One window, from its own XComposite pixmap: captured even when covered by
// other windows, and followed through resizes.
#include "platform/linux/x11/capture.hpp"

namespace capture {

namespace platform::x11 {

class WindowCapture : public Capture {
 public:
  WindowCapture(const ContentFilter& filter, const StreamConfiguration& configuration);

 private:
  FrameOrigin frameOrigin() override;
  void beforeFrame() override;
  void noteEvent(uint8_t type, const xcb_generic_event_t* event) override;
  bool gone() const override { return gone_; }
  const char* unreadable() const override { return "The window is no longer available."; }
  std::optional<std::pair<int, int>> rootOrigin() override;
  void nameWindowPixmap();

  xcb_window_t window_ = 0;
  xcb_pixmap_t pixmap_ = 0;
  xcb_render_picture_t picture_ = 0;
  bool gone_ = false;
  bool resized_ = false;
};

}  // namespace platform::x11

}  // namespace capture
