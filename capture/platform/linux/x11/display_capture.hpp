#pragma once
// The whole display (or a rectangle of it), read from the root window.
#include "platform/linux/x11/capture.hpp"

namespace capture {

namespace platform::x11 {

// The root pixels of the filter's display, narrowed to the configuration's
// source rectangle (points of the display). Throws PlatformError when the
// display is gone or the rectangle is unusable.
struct Region {
  int x = 0, y = 0, width = 0, height = 0;
};
Region displayRegion(const Connection& connection, const ContentFilter& filter,
                     const StreamConfiguration& configuration);

class DisplayCapture : public Capture {
 public:
  DisplayCapture(const ContentFilter& filter, const StreamConfiguration& configuration);

 private:
  FrameOrigin frameOrigin() override;

  // The screen itself, children included, when it is read through a picture.
  xcb_render_picture_t rootPicture_ = 0;
};

}  // namespace platform::x11

}  // namespace capture
