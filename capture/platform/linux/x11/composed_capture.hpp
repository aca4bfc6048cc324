#pragma once
// The display composed from its windows in stacking order, leaving out the
// excluded applications' windows so that what lies beneath them shows.
#include <map>
#include <optional>
#include <vector>

#include "platform/linux/x11/capture.hpp"

namespace capture {

namespace platform::x11 {

class ComposedCapture : public Capture {
 public:
  ComposedCapture(const ContentFilter& filter, const StreamConfiguration& configuration);

 private:
  FrameOrigin frameOrigin() override;
  void setUpCanvas();
  void composeRegion();

  std::vector<int32_t> excludedPids_;
  std::map<xcb_window_t, std::optional<int32_t>> ownerCache_;
  // The region built up from the desktop background and the windows that are
  // not left out.
  xcb_pixmap_t canvas_ = 0;
  xcb_render_picture_t canvasPicture_ = 0;
  xcb_window_t background_ = 0;  // keeps a copy of the root's background
  xcb_pixmap_t backgroundPixmap_ = 0;
  xcb_render_picture_t backgroundPicture_ = 0;
};

}  // namespace platform::x11

}  // namespace capture
