#include "platform/linux/x11/window_capture.hpp"

#include <xcb/composite.h>
#include <xcb/render.h>

#include "platform/error.hpp"

namespace capture {

namespace platform::x11 {

WindowCapture::WindowCapture(const ContentFilter& filter, const StreamConfiguration& configuration)
    : Capture(configuration) {
  window_ = filter.window.windowID;
  Reply<xcb_get_window_attributes_reply_t> attributes(
      xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window_), nullptr));
  if (!attributes || attributes->map_state != XCB_MAP_STATE_VIEWABLE)
    throw PlatformError("The window is not available for capture.");
  const uint32_t events[] = {XCB_EVENT_MASK_STRUCTURE_NOTIFY};
  xcb_change_window_attributes(c, window_, XCB_CW_EVENT_MASK, events);
  xcb_composite_redirect_window(c, window_, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
  nameWindowPixmap();
  setUpScaling();
  attachSharedMemory();
  watchDamage(window_);
  settle();
  checkConnection(*connection);
}

// The window's own pixmap holds all of it, covered or not. A new one is
// named after every resize.
void WindowCapture::nameWindowPixmap() {
  if (picture_) xcb_render_free_picture(c, picture_);
  if (pixmap_) xcb_free_pixmap(c, pixmap_);
  picture_ = pixmap_ = 0;
  Reply<xcb_get_window_attributes_reply_t> attributes(
      xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window_), nullptr));
  Reply<xcb_get_geometry_reply_t> geometry(
      xcb_get_geometry_reply(c, xcb_get_geometry(c, window_), nullptr));
  if (!attributes || !geometry || attributes->map_state != XCB_MAP_STATE_VIEWABLE)
    throw PlatformError("The window is no longer available.");
  pixmap_ = xcb_generate_id(c);
  if (!succeeded(c, xcb_composite_name_window_pixmap_checked(c, window_, pixmap_))) {
    pixmap_ = 0;
    throw PlatformError("The window is no longer available.");
  }
  picture_ = xcb_generate_id(c);
  xcb_render_create_picture(c, picture_, pixmap_, visualFormat(attributes->visual), 0, nullptr);
  const int border = geometry->border_width;
  setSource(border, border, geometry->width, geometry->height);
  resized_ = false;
}

void WindowCapture::noteEvent(uint8_t type, const xcb_generic_event_t* event) {
  if (type == XCB_DESTROY_NOTIFY || type == XCB_UNMAP_NOTIFY) {
    gone_ = true;
  } else if (type == XCB_CONFIGURE_NOTIFY) {
    const auto* configure = reinterpret_cast<const xcb_configure_notify_event_t*>(event);
    if (configure->window == window_ &&
        (configure->width != sourceWidth || configure->height != sourceHeight))
      resized_ = true;
    changed = true;
  }
}

void WindowCapture::beforeFrame() {
  if (gone_) throw PlatformError("The window is no longer available.");
  if (resized_) nameWindowPixmap();
}

Capture::FrameOrigin WindowCapture::frameOrigin() {
  return {picture_, {pixmap_, sourceX, sourceY}};
}

std::optional<std::pair<int, int>> WindowCapture::rootOrigin() {
  Reply<xcb_translate_coordinates_reply_t> position(xcb_translate_coordinates_reply(
      c, xcb_translate_coordinates(c, window_, connection->root, 0, 0), nullptr));
  if (!position) return std::nullopt;
  return std::pair<int, int>{position->dst_x, position->dst_y};
}

}  // namespace platform::x11

}  // namespace capture
