#include "platform/linux/x11/display_capture.hpp"

#include <cmath>
#include <optional>

#include "platform/error.hpp"
#include "platform/linux/x11/monitors.hpp"

namespace capture {

namespace platform::x11 {

Region displayRegion(const Connection& connection, const ContentFilter& filter,
                     const StreamConfiguration& configuration) {
  const double scale = desktopScale(connection.xcb, connection.root);
  std::optional<Monitor> monitor;
  for (const auto& m : listMonitors(connection))
    if (m.id == filter.display.displayID) monitor = m;
  if (!monitor) throw PlatformError("The display is no longer available.");
  Region region{monitor->x, monitor->y, monitor->width, monitor->height};
  if (configuration.sourceRect) {
    const Rect& r = *configuration.sourceRect;
    const double left = std::floor(r.x * scale), top = std::floor(r.y * scale);
    const double right = std::ceil((r.x + r.width) * scale),
                 bottom = std::ceil((r.y + r.height) * scale);
    if (!(right > left && bottom > top) || right - left > kLargestSide ||
        bottom - top > kLargestSide || std::fabs(left) > kLargestSide ||
        std::fabs(top) > kLargestSide)
      throw PlatformError("The source rectangle is not supported.");
    region.x += static_cast<int>(left);
    region.y += static_cast<int>(top);
    region.width = static_cast<int>(right - left);
    region.height = static_cast<int>(bottom - top);
  }
  return region;
}

DisplayCapture::DisplayCapture(const ContentFilter& filter,
                               const StreamConfiguration& configuration)
    : Capture(configuration) {
  const Region region = displayRegion(*connection, filter, configuration);
  setSource(region.x, region.y, region.width, region.height);
  setUpScaling();
  // Scaled or partly off the screen, the root is read through a picture,
  // with its child windows included.
  const xcb_screen_t* screen = connection->screen;
  const bool inside = sourceX >= 0 && sourceY >= 0 &&
                      sourceX + sourceWidth <= screen->width_in_pixels &&
                      sourceY + sourceHeight <= screen->height_in_pixels;
  if (!inside && !scaled) {
    scaled = true;  // through the picture, at the same size
    createOutputPicture();
  }
  if (scaled) {
    rootPicture_ = xcb_generate_id(c);
    const uint32_t includeInferiors[] = {XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS};
    xcb_render_create_picture(c, rootPicture_, connection->root, visualFormat(screen->root_visual),
                              XCB_RENDER_CP_SUBWINDOW_MODE, includeInferiors);
  }
  attachSharedMemory();
  watchDamage(connection->root);
  if (!scaled) trackChangedRows();
  checkConnection(*connection);
}

Capture::FrameOrigin DisplayCapture::frameOrigin() {
  return {rootPicture_, {connection->root, sourceX, sourceY}};
}

}  // namespace platform::x11

}  // namespace capture
