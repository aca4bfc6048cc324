#include "platform/linux/x11/composed_capture.hpp"

#include <xcb/composite.h>
#include <xcb/render.h>
#include <xcb/xcb_renderutil.h>
#include <xcb/xfixes.h>

#include <algorithm>

#include "platform/linux/x11/display_capture.hpp"
#include "platform/linux/x11/windows.hpp"

namespace capture {

namespace platform::x11 {

ComposedCapture::ComposedCapture(const ContentFilter& filter,
                                 const StreamConfiguration& configuration)
    : Capture(configuration) {
  const Region region = displayRegion(*connection, filter, configuration);
  setSource(region.x, region.y, region.width, region.height);
  for (const auto& app : filter.applications) excludedPids_.push_back(app.processID);
  setUpCanvas();
  setUpScaling();
  attachSharedMemory();
  watchDamage(connection->root);
  settle();
  checkConnection(*connection);
}

void ComposedCapture::setUpCanvas() {
  xcb_window_t root = connection->root;
  // Every top-level window keeps its contents in a pixmap of its own while
  // the server goes on showing them as before.
  xcb_composite_redirect_subwindows(c, root, XCB_COMPOSITE_REDIRECT_AUTOMATIC);

  canvas_ = xcb_generate_id(c);
  xcb_create_pixmap(c, connection->screen->root_depth, canvas_, root,
                    static_cast<uint16_t>(sourceWidth), static_cast<uint16_t>(sourceHeight));
  canvasPicture_ = xcb_generate_id(c);
  xcb_render_create_picture(c, canvasPicture_, canvas_,
                            visualFormat(connection->screen->root_visual), 0, nullptr);

  // The root's background is not readable once windows cover it. A window
  // that shows its parent's background, kept off screen and out of the way of
  // input at the bottom of the stack, repaints it on request.
  background_ = xcb_generate_id(c);
  const uint32_t values[] = {XCB_BACK_PIXMAP_PARENT_RELATIVE, 1};
  xcb_create_window(c, XCB_COPY_FROM_PARENT, background_, root, static_cast<int16_t>(sourceX),
                    static_cast<int16_t>(sourceY), static_cast<uint16_t>(sourceWidth),
                    static_cast<uint16_t>(sourceHeight), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                    XCB_COPY_FROM_PARENT, XCB_CW_BACK_PIXMAP | XCB_CW_OVERRIDE_REDIRECT, values);
  xcb_composite_redirect_window(c, background_, XCB_COMPOSITE_REDIRECT_MANUAL);
  const xcb_xfixes_region_t empty = xcb_generate_id(c);
  xcb_xfixes_create_region(c, empty, 0, nullptr);
  xcb_xfixes_set_window_shape_region(c, background_, 2 /* input shape */, 0, 0, empty);
  xcb_xfixes_destroy_region(c, empty);
  const uint32_t below[] = {XCB_STACK_MODE_BELOW};
  xcb_configure_window(c, background_, XCB_CONFIG_WINDOW_STACK_MODE, below);
  xcb_map_window(c, background_);
  backgroundPixmap_ = xcb_generate_id(c);
  if (succeeded(c, xcb_composite_name_window_pixmap_checked(c, background_, backgroundPixmap_))) {
    backgroundPicture_ = xcb_generate_id(c);
    xcb_render_create_picture(c, backgroundPicture_, backgroundPixmap_,
                              visualFormat(connection->screen->root_visual), 0, nullptr);
  } else {
    backgroundPixmap_ = 0;
  }
}

Capture::FrameOrigin ComposedCapture::frameOrigin() {
  composeRegion();
  return {canvasPicture_, {canvas_, 0, 0}};
}

// Builds the region from the background and every viewable top-level window,
// bottom to top, leaving out the excluded applications' windows.
void ComposedCapture::composeRegion() {
  xcb_window_t root = connection->root;
  if (backgroundPicture_) {
    xcb_clear_area(c, 0, background_, 0, 0, 0, 0);
    xcb_render_composite(c, XCB_RENDER_PICT_OP_SRC, backgroundPicture_, 0, canvasPicture_, 0, 0, 0,
                         0, 0, 0, static_cast<uint16_t>(sourceWidth),
                         static_cast<uint16_t>(sourceHeight));
  } else {
    const xcb_render_color_t black{0, 0, 0, 0xFFFF};
    const xcb_rectangle_t all{0, 0, static_cast<uint16_t>(sourceWidth),
                              static_cast<uint16_t>(sourceHeight)};
    xcb_render_fill_rectangles(c, XCB_RENDER_PICT_OP_SRC, canvasPicture_, black, 1, &all);
  }

  Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr));
  if (!tree) return;
  const xcb_window_t* children = xcb_query_tree_children(tree.get());
  const int count = xcb_query_tree_children_length(tree.get());
  std::vector<xcb_get_window_attributes_cookie_t> attributeCookies(static_cast<size_t>(count));
  std::vector<xcb_get_geometry_cookie_t> geometryCookies(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    attributeCookies[i] = xcb_get_window_attributes(c, children[i]);
    geometryCookies[i] = xcb_get_geometry(c, children[i]);
  }
  std::map<xcb_window_t, std::optional<int32_t>> seen;
  for (int i = 0; i < count; ++i) {
    const xcb_window_t child = children[i];
    Reply<xcb_get_window_attributes_reply_t> attributes(
        xcb_get_window_attributes_reply(c, attributeCookies[i], nullptr));
    Reply<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(c, geometryCookies[i], nullptr));
    if (child == background_ || !attributes || !geometry) continue;
    if (attributes->map_state != XCB_MAP_STATE_VIEWABLE ||
        attributes->_class != XCB_WINDOW_CLASS_INPUT_OUTPUT)
      continue;
    auto cached = ownerCache_.find(child);
    std::optional<int32_t> owner;
    if (cached != ownerCache_.end()) {
      owner = cached->second;
    } else {
      const auto client = findClientWindow(c, child);
      owner = windowPid(c, client.value_or(child));
    }
    seen[child] = owner;
    if (owner &&
        std::find(excludedPids_.begin(), excludedPids_.end(), *owner) != excludedPids_.end())
      continue;
    const int x = geometry->x - sourceX, y = geometry->y - sourceY;
    const int width = geometry->width + 2 * geometry->border_width;
    const int height = geometry->height + 2 * geometry->border_width;
    if (x >= sourceWidth || y >= sourceHeight || x + width <= 0 || y + height <= 0) continue;
    // A window of a pixel format Render does not know is left out.
    const xcb_render_pictvisual_t* format =
        xcb_render_util_find_visual_format(formats, attributes->visual);
    if (!format) continue;
    const xcb_pixmap_t pixmap = xcb_generate_id(c);
    xcb_composite_name_window_pixmap(c, child, pixmap);
    const xcb_render_picture_t picture = xcb_generate_id(c);
    xcb_render_create_picture(c, picture, pixmap, format->format, 0, nullptr);
    const bool hasAlpha = geometry->depth == 32;
    xcb_render_composite(c, hasAlpha ? XCB_RENDER_PICT_OP_OVER : XCB_RENDER_PICT_OP_SRC, picture, 0,
                         canvasPicture_, 0, 0, 0, 0, static_cast<int16_t>(x),
                         static_cast<int16_t>(y), static_cast<uint16_t>(width),
                         static_cast<uint16_t>(height));
    xcb_render_free_picture(c, picture);
    xcb_free_pixmap(c, pixmap);
  }
  ownerCache_ = std::move(seen);
}

}  // namespace platform::x11

}  // namespace capture
