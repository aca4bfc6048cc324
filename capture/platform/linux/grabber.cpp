#include "platform/linux/grabber.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/render.h>
#include <xcb/shm.h>
#include <xcb/xcb_renderutil.h>
#include <xcb/xfixes.h>

#include "platform/error.hpp"
#include "platform/linux/cursor_blend.hpp"
#include "platform/linux/x11_connection.hpp"
#include "platform/linux/x11_monitors.hpp"
#include "platform/linux/x11_windows.hpp"

namespace platform::x11 {
namespace {

constexpr int64_t kLargestSide = 16384;
// Frames handed out without a copy that may be held at once.
constexpr size_t kLargestRing = 16;

xcb_render_fixed_t fixed(double v) { return static_cast<xcb_render_fixed_t>(std::lround(v * 65536.0)); }

bool extensionPresent(xcb_connection_t* c, xcb_extension_t* extension) {
  const xcb_query_extension_reply_t* reply = xcb_get_extension_data(c, extension);
  return reply && reply->present;
}

// Sends a request and waits for its verdict.
bool succeeded(xcb_connection_t* c, xcb_void_cookie_t cookie) {
  xcb_generic_error_t* error = xcb_request_check(c, cookie);
  std::free(error);
  return error == nullptr;
}

}  // namespace

// A shared memory segment of one output frame. The mapping lives as long as
// any frame handed out in it; the server lets go of it with the connection.
struct Segment {
  xcb_shm_seg_t id = 0;
  uint8_t* data = nullptr;
  ~Segment() {
    if (data) shmdt(data);
  }
};

// What a grab works from. Pixel rectangles are in the coordinates of the
// drawable they are taken from (the root window, or the captured window).
struct Grabber::State {
  enum class Mode { root, composed, window };

  std::unique_ptr<Connection> connection;
  xcb_connection_t* c = nullptr;
  Mode mode = Mode::root;
  bool showsCursor = false;
  int outWidth = 0, outHeight = 0;

  // The captured region: root pixels for the display modes, window pixels
  // (inside its border) for the window mode.
  int sourceX = 0, sourceY = 0, sourceWidth = 0, sourceHeight = 0;

  // Shared memory the server writes frames into (none without MIT-SHM):
  // one for copies into the caller's memory, and a ring handed out as is.
  bool sharedMemory = false;
  std::shared_ptr<Segment> primary;
  std::vector<std::shared_ptr<Segment>> ring;

  const xcb_render_query_pict_formats_reply_t* formats = nullptr;
  xcb_render_pictformat_t argb32 = 0;

  // The scaled frame when the output size differs from the source region.
  bool scaled = false;
  xcb_pixmap_t outPixmap = 0;
  xcb_render_picture_t outPicture = 0;

  // Root mode: the screen itself, children included.
  xcb_render_picture_t rootPicture = 0;

  // Composed mode: the region built up from the desktop background and the
  // windows that are not left out.
  std::vector<int32_t> excludedPids;
  std::map<xcb_window_t, std::optional<int32_t>> ownerCache;
  xcb_pixmap_t canvas = 0;
  xcb_render_picture_t canvasPicture = 0;
  xcb_window_t background = 0;  // keeps a copy of the root's background
  xcb_pixmap_t backgroundPixmap = 0;
  xcb_render_picture_t backgroundPicture = 0;

  // Window mode.
  xcb_window_t window = 0;
  int border = 0;
  xcb_pixmap_t windowPixmap = 0;
  xcb_render_picture_t windowPicture = 0;
  bool windowGone = false;
  bool windowResized = false;

  xcb_damage_damage_t damage = 0;
  uint8_t damageEvent = 0;
  uint16_t subtractSequence = 0;  // damage reported before it is already taken
  bool changed = true;
  int lastPointerX = -1, lastPointerY = -1;

  ~State();
  void negotiate();
  std::shared_ptr<Segment> makeSegment();
  std::shared_ptr<Segment> freeRingSegment();
  void setUpScaling();
  void setUpRoot(const ContentFilter& filter, const StreamConfiguration& configuration);
  void setUpComposed();
  void setUpWindow(const ContentFilter& filter);
  void nameWindowPixmap();
  void pollEvents();
  void settle();
  void composeRegion();
  // Issues the server-side work of one frame; says where to read it.
  struct Readable {
    xcb_drawable_t drawable;
    int x, y;
  };
  Readable prepareFrame();
  void readToSegment(const Readable& frame, Segment& segment);
  void readInto(const Readable& frame, uint8_t* destination, size_t bytesPerRow);
  void drawCursor(uint8_t* destination, size_t bytesPerRow);
  xcb_render_pictformat_t visualFormat(xcb_visualid_t visual) const;
};

Grabber::State::~State() {
  if (!c) return;
  if (primary) xcb_shm_detach(c, primary->id);
  for (const auto& segment : ring) xcb_shm_detach(c, segment->id);
  // Everything else goes with the connection.
}

void Grabber::State::negotiate() {
  const std::pair<xcb_extension_t*, const char*> required[] = {
      {&xcb_render_id, "RENDER"}, {&xcb_composite_id, "Composite"}, {&xcb_xfixes_id, "XFIXES"},
      {&xcb_damage_id, "DAMAGE"}};
  for (const auto& [extension, name] : required)
    if (!extensionPresent(c, extension))
      throw PlatformError(std::string("The X server lacks the ") + name + " extension.");
  std::free(xcb_render_query_version_reply(c, xcb_render_query_version(c, 0, 11), nullptr));
  std::free(xcb_composite_query_version_reply(c, xcb_composite_query_version(c, 0, 4), nullptr));
  std::free(xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 5, 0), nullptr));
  std::free(xcb_damage_query_version_reply(c, xcb_damage_query_version(c, 1, 1), nullptr));
  damageEvent = xcb_get_extension_data(c, &xcb_damage_id)->first_event + XCB_DAMAGE_NOTIFY;
  formats = xcb_render_util_query_formats(c);
  if (!formats) throw PlatformError("The X server's picture formats cannot be read.");
  const xcb_render_pictforminfo_t* info = xcb_render_util_find_standard_format(formats, XCB_PICT_STANDARD_ARGB_32);
  if (!info) throw PlatformError("The X server has no 32-bit picture format.");
  argb32 = info->id;
}

xcb_render_pictformat_t Grabber::State::visualFormat(xcb_visualid_t visual) const {
  const xcb_render_pictvisual_t* v = xcb_render_util_find_visual_format(formats, visual);
  if (!v) throw PlatformError("A window's pixel format is not supported.");
  return v->format;
}

std::shared_ptr<Segment> Grabber::State::makeSegment() {
  if (!sharedMemory) return nullptr;
  const size_t size = static_cast<size_t>(outWidth) * static_cast<size_t>(outHeight) * 4;
  const int shmId = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
  if (shmId < 0) return nullptr;
  void* address = shmat(shmId, nullptr, 0);
  if (address == reinterpret_cast<void*>(-1)) {
    shmctl(shmId, IPC_RMID, nullptr);
    return nullptr;
  }
  auto segment = std::make_shared<Segment>();
  segment->data = static_cast<uint8_t*>(address);
  segment->id = xcb_generate_id(c);
  const bool attached =
      succeeded(c, xcb_shm_attach_checked(c, segment->id, static_cast<uint32_t>(shmId), 0));
  // Once both sides hold it, the segment can be marked for removal: it goes
  // away by itself when this process ends, however it ends.
  shmctl(shmId, IPC_RMID, nullptr);
  if (!attached) return nullptr;
  return segment;
}

// A ring segment no handed-out frame holds any more, or a new one while the
// ring is small; nothing when every one is still held.
std::shared_ptr<Segment> Grabber::State::freeRingSegment() {
  for (const auto& segment : ring) {
    if (segment.use_count() == 1) {
      // Pairs with the release of the last outside reference: whatever its
      // holder did with the pixels is done before the server writes again.
      std::atomic_thread_fence(std::memory_order_acquire);
      return segment;
    }
  }
  if (ring.size() >= kLargestRing) return nullptr;
  auto segment = makeSegment();
  if (segment) ring.push_back(segment);
  return segment;
}

// The frame is scaled on the server: the source picture is read through a
// transform into a picture of the output size.
void Grabber::State::setUpScaling() {
  scaled = outWidth != sourceWidth || outHeight != sourceHeight;
  if (!scaled) return;
  outPixmap = xcb_generate_id(c);
  xcb_create_pixmap(c, 32, outPixmap, connection->root, static_cast<uint16_t>(outWidth),
                    static_cast<uint16_t>(outHeight));
  outPicture = xcb_generate_id(c);
  xcb_render_create_picture(c, outPicture, outPixmap, argb32, 0, nullptr);
}

void Grabber::State::setUpRoot(const ContentFilter& filter, const StreamConfiguration& configuration) {
  const double scale = desktopScale(c, connection->root);
  std::optional<Monitor> monitor;
  for (const auto& m : listMonitors(*connection))
    if (m.id == filter.display.displayID) monitor = m;
  if (!monitor) throw PlatformError("The display is no longer available.");
  sourceX = monitor->x;
  sourceY = monitor->y;
  sourceWidth = monitor->width;
  sourceHeight = monitor->height;
  if (configuration.sourceRect) {
    const Rect& r = *configuration.sourceRect;
    const double left = std::floor(r.x * scale), top = std::floor(r.y * scale);
    const double right = std::ceil((r.x + r.width) * scale), bottom = std::ceil((r.y + r.height) * scale);
    if (!(right > left && bottom > top) || right - left > kLargestSide || bottom - top > kLargestSide ||
        std::fabs(left) > kLargestSide || std::fabs(top) > kLargestSide)
      throw PlatformError("The source rectangle is not supported.");
    sourceX += static_cast<int>(left);
    sourceY += static_cast<int>(top);
    sourceWidth = static_cast<int>(right - left);
    sourceHeight = static_cast<int>(bottom - top);
  }
  for (const auto& app : filter.applications) excludedPids.push_back(app.processID);
}

void Grabber::State::setUpComposed() {
  xcb_window_t root = connection->root;
  // Every top-level window keeps its contents in a pixmap of its own while
  // the server goes on showing them as before.
  xcb_composite_redirect_subwindows(c, root, XCB_COMPOSITE_REDIRECT_AUTOMATIC);

  canvas = xcb_generate_id(c);
  xcb_create_pixmap(c, connection->screen->root_depth, canvas, root,
                    static_cast<uint16_t>(sourceWidth), static_cast<uint16_t>(sourceHeight));
  canvasPicture = xcb_generate_id(c);
  xcb_render_create_picture(c, canvasPicture, canvas, visualFormat(connection->screen->root_visual), 0,
                            nullptr);

  // The root's background is not readable once windows cover it. A window
  // that shows its parent's background, kept off screen and out of the way of
  // input at the bottom of the stack, repaints it on request.
  background = xcb_generate_id(c);
  const uint32_t values[] = {XCB_BACK_PIXMAP_PARENT_RELATIVE, 1};
  xcb_create_window(c, XCB_COPY_FROM_PARENT, background, root, static_cast<int16_t>(sourceX),
                    static_cast<int16_t>(sourceY), static_cast<uint16_t>(sourceWidth),
                    static_cast<uint16_t>(sourceHeight), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                    XCB_COPY_FROM_PARENT, XCB_CW_BACK_PIXMAP | XCB_CW_OVERRIDE_REDIRECT, values);
  xcb_composite_redirect_window(c, background, XCB_COMPOSITE_REDIRECT_MANUAL);
  const xcb_xfixes_region_t empty = xcb_generate_id(c);
  xcb_xfixes_create_region(c, empty, 0, nullptr);
  xcb_xfixes_set_window_shape_region(c, background, 2 /* input shape */, 0, 0, empty);
  xcb_xfixes_destroy_region(c, empty);
  const uint32_t below[] = {XCB_STACK_MODE_BELOW};
  xcb_configure_window(c, background, XCB_CONFIG_WINDOW_STACK_MODE, below);
  xcb_map_window(c, background);
  backgroundPixmap = xcb_generate_id(c);
  if (succeeded(c, xcb_composite_name_window_pixmap_checked(c, background, backgroundPixmap))) {
    backgroundPicture = xcb_generate_id(c);
    xcb_render_create_picture(c, backgroundPicture, backgroundPixmap,
                              visualFormat(connection->screen->root_visual), 0, nullptr);
  } else {
    backgroundPixmap = 0;
  }
}

void Grabber::State::setUpWindow(const ContentFilter& filter) {
  window = filter.window.windowID;
  Reply<xcb_get_window_attributes_reply_t> attributes(
      xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), nullptr));
  if (!attributes || attributes->map_state != XCB_MAP_STATE_VIEWABLE)
    throw PlatformError("The window is not available for capture.");
  const uint32_t events[] = {XCB_EVENT_MASK_STRUCTURE_NOTIFY};
  xcb_change_window_attributes(c, window, XCB_CW_EVENT_MASK, events);
  xcb_composite_redirect_window(c, window, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
  nameWindowPixmap();
}

// The window's own pixmap holds all of it, covered or not. A new one is
// named after every resize.
void Grabber::State::nameWindowPixmap() {
  if (windowPicture) xcb_render_free_picture(c, windowPicture);
  if (windowPixmap) xcb_free_pixmap(c, windowPixmap);
  windowPicture = windowPixmap = 0;
  Reply<xcb_get_window_attributes_reply_t> attributes(
      xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), nullptr));
  Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, xcb_get_geometry(c, window), nullptr));
  if (!attributes || !geometry || attributes->map_state != XCB_MAP_STATE_VIEWABLE)
    throw PlatformError("The window is no longer available.");
  windowPixmap = xcb_generate_id(c);
  if (!succeeded(c, xcb_composite_name_window_pixmap_checked(c, window, windowPixmap))) {
    windowPixmap = 0;
    throw PlatformError("The window is no longer available.");
  }
  windowPicture = xcb_generate_id(c);
  xcb_render_create_picture(c, windowPicture, windowPixmap, visualFormat(attributes->visual), 0, nullptr);
  border = geometry->border_width;
  sourceX = border;
  sourceY = border;
  sourceWidth = geometry->width;
  sourceHeight = geometry->height;
  windowResized = false;
}

// Windows that were covered until they were redirected have to repaint what
// was hidden. Waits (briefly, at most a few frame times) until they are done.
void Grabber::State::settle() {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  auto lastChange = start;
  xcb_flush(c);
  while (Clock::now() - start < std::chrono::milliseconds(300) &&
         Clock::now() - lastChange < std::chrono::milliseconds(60)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    changed = false;
    pollEvents();
    if (changed) {
      lastChange = Clock::now();
      subtractSequence =
          static_cast<uint16_t>(xcb_damage_subtract(c, damage, XCB_NONE, XCB_NONE).sequence);
      xcb_flush(c);
    }
  }
  changed = true;
}

void Grabber::State::pollEvents() {
  while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
    const uint8_t type = event->response_type & 0x7F;
    if (type == damageEvent) {
      // Reports generated before the last subtraction are about frames
      // already grabbed.
      if (static_cast<int16_t>(event->sequence - subtractSequence) >= 0) changed = true;
    } else if (type == XCB_DESTROY_NOTIFY || type == XCB_UNMAP_NOTIFY) {
      if (mode == Mode::window) windowGone = true;
    } else if (type == XCB_CONFIGURE_NOTIFY && mode == Mode::window) {
      const auto* configure = reinterpret_cast<xcb_configure_notify_event_t*>(event);
      if (configure->window == window &&
          (configure->width != sourceWidth || configure->height != sourceHeight))
        windowResized = true;
      changed = true;
    }
    // Errors of requests about windows that vanished meanwhile need no answer.
    std::free(event);
  }
}

// Builds the region from the background and every viewable top-level window,
// bottom to top, leaving out the excluded applications' windows.
void Grabber::State::composeRegion() {
  xcb_window_t root = connection->root;
  if (backgroundPicture) {
    xcb_clear_area(c, 0, background, 0, 0, 0, 0);
    xcb_render_composite(c, XCB_RENDER_PICT_OP_SRC, backgroundPicture, 0, canvasPicture, 0, 0, 0, 0,
                         0, 0, static_cast<uint16_t>(sourceWidth), static_cast<uint16_t>(sourceHeight));
  } else {
    const xcb_render_color_t black{0, 0, 0, 0xFFFF};
    const xcb_rectangle_t all{0, 0, static_cast<uint16_t>(sourceWidth), static_cast<uint16_t>(sourceHeight)};
    xcb_render_fill_rectangles(c, XCB_RENDER_PICT_OP_SRC, canvasPicture, black, 1, &all);
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
    Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, geometryCookies[i], nullptr));
    if (child == background || !attributes || !geometry) continue;
    if (attributes->map_state != XCB_MAP_STATE_VIEWABLE ||
        attributes->_class != XCB_WINDOW_CLASS_INPUT_OUTPUT)
      continue;
    auto cached = ownerCache.find(child);
    std::optional<int32_t> owner;
    if (cached != ownerCache.end()) {
      owner = cached->second;
    } else {
      const auto client = findClientWindow(c, child);
      owner = windowPid(c, client.value_or(child));
    }
    seen[child] = owner;
    if (owner && std::find(excludedPids.begin(), excludedPids.end(), *owner) != excludedPids.end())
      continue;
    const int x = geometry->x - sourceX, y = geometry->y - sourceY;
    const int width = geometry->width + 2 * geometry->border_width;
    const int height = geometry->height + 2 * geometry->border_width;
    if (x >= sourceWidth || y >= sourceHeight || x + width <= 0 || y + height <= 0) continue;
    // A window of a pixel format Render does not know is left out.
    const xcb_render_pictvisual_t* format = xcb_render_util_find_visual_format(formats, attributes->visual);
    if (!format) continue;
    const xcb_pixmap_t pixmap = xcb_generate_id(c);
    xcb_composite_name_window_pixmap(c, child, pixmap);
    const xcb_render_picture_t picture = xcb_generate_id(c);
    xcb_render_create_picture(c, picture, pixmap, format->format, 0, nullptr);
    const bool hasAlpha = geometry->depth == 32;
    xcb_render_composite(c, hasAlpha ? XCB_RENDER_PICT_OP_OVER : XCB_RENDER_PICT_OP_SRC, picture, 0,
                         canvasPicture, 0, 0, 0, 0, static_cast<int16_t>(x), static_cast<int16_t>(y),
                         static_cast<uint16_t>(width), static_cast<uint16_t>(height));
    xcb_render_free_picture(c, picture);
    xcb_free_pixmap(c, pixmap);
  }
  ownerCache = std::move(seen);
}

void Grabber::State::readToSegment(const Readable& frame, Segment& segment) {
  xcb_generic_error_t* error = nullptr;
  Reply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(
      c,
      xcb_shm_get_image(c, frame.drawable, static_cast<int16_t>(frame.x), static_cast<int16_t>(frame.y),
                        static_cast<uint16_t>(outWidth), static_cast<uint16_t>(outHeight), ~0u,
                        XCB_IMAGE_FORMAT_Z_PIXMAP, segment.id, 0),
      &error));
  std::free(error);
  checkConnection(*connection);
  if (!reply)
    throw PlatformError(mode == Mode::window ? "The window is no longer available."
                                              : "The screen could not be read.");
}

// Reads the frame into the destination, through the shared segment when
// there is one, else in the reply itself.
void Grabber::State::readInto(const Readable& frame, uint8_t* destination, size_t bytesPerRow) {
  const size_t sourceBytesPerRow = static_cast<size_t>(outWidth) * 4;
  if (primary) {
    readToSegment(frame, *primary);
    copyOpaque(destination, bytesPerRow, primary->data, sourceBytesPerRow, outWidth, outHeight);
    return;
  }
  xcb_generic_error_t* error = nullptr;
  Reply<xcb_get_image_reply_t> reply(xcb_get_image_reply(
      c,
      xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, frame.drawable, static_cast<int16_t>(frame.x),
                    static_cast<int16_t>(frame.y), static_cast<uint16_t>(outWidth),
                    static_cast<uint16_t>(outHeight), ~0u),
      &error));
  std::free(error);
  checkConnection(*connection);
  if (!reply ||
      static_cast<size_t>(xcb_get_image_data_length(reply.get())) < sourceBytesPerRow * outHeight)
    throw PlatformError(mode == Mode::window ? "The window is no longer available."
                                              : "The screen could not be read.");
  copyOpaque(destination, bytesPerRow, xcb_get_image_data(reply.get()), sourceBytesPerRow, outWidth,
             outHeight);
}

void Grabber::State::drawCursor(uint8_t* destination, size_t bytesPerRow) {
  Reply<xcb_xfixes_get_cursor_image_reply_t> cursor(
      xcb_xfixes_get_cursor_image_reply(c, xcb_xfixes_get_cursor_image(c), nullptr));
  if (!cursor) return;
  lastPointerX = cursor->x;
  lastPointerY = cursor->y;
  // The region's origin on the root window.
  int originX = sourceX, originY = sourceY;
  if (mode == Mode::window) {
    Reply<xcb_translate_coordinates_reply_t> position(xcb_translate_coordinates_reply(
        c, xcb_translate_coordinates(c, window, connection->root, 0, 0), nullptr));
    if (!position) return;
    originX = position->dst_x;
    originY = position->dst_y;
  }
  const double scaleX = static_cast<double>(outWidth) / sourceWidth;
  const double scaleY = static_cast<double>(outHeight) / sourceHeight;
  const CursorImage image{xcb_xfixes_get_cursor_image_cursor_image(cursor.get()), cursor->width,
                          cursor->height};
  blendCursor(destination, bytesPerRow, outWidth, outHeight, image,
              (cursor->x - cursor->xhot - originX) * scaleX, (cursor->y - cursor->yhot - originY) * scaleY,
              scaleX, scaleY);
}

Grabber::Grabber(const ContentFilter& filter, const StreamConfiguration& configuration)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  if (configuration.width <= 0 || configuration.height <= 0 || configuration.width > kLargestSide ||
      configuration.height > kLargestSide)
    throw PlatformError("The capture size is not supported.");
  if (filter.kind == ContentFilter::Kind::displayIncludingApplications)
    throw PlatformError("Capturing only some applications is not supported.");
  s.outWidth = static_cast<int>(configuration.width);
  s.outHeight = static_cast<int>(configuration.height);
  s.showsCursor = configuration.showsCursor;
  s.connection = connect();
  s.c = s.connection->xcb;
  s.negotiate();
  if (s.connection->screen->root_depth != 24 && s.connection->screen->root_depth != 32)
    throw PlatformError("Only 24-bit X screens can be captured.");

  if (filter.kind == ContentFilter::Kind::window) {
    s.mode = State::Mode::window;
    s.setUpWindow(filter);
  } else {
    s.setUpRoot(filter, configuration);
    s.mode = s.excludedPids.empty() ? State::Mode::root : State::Mode::composed;
    if (s.mode == State::Mode::composed) s.setUpComposed();
  }
  s.setUpScaling();
  if (s.mode == State::Mode::root) {
    // Scaled or partly off the screen, the root is read through a picture,
    // with its child windows included.
    const xcb_screen_t* screen = s.connection->screen;
    const bool inside = s.sourceX >= 0 && s.sourceY >= 0 &&
                        s.sourceX + s.sourceWidth <= screen->width_in_pixels &&
                        s.sourceY + s.sourceHeight <= screen->height_in_pixels;
    if (!inside && !s.scaled) {
      s.scaled = true;  // through the picture, at the same size
      s.outPixmap = xcb_generate_id(s.c);
      xcb_create_pixmap(s.c, 32, s.outPixmap, s.connection->root, static_cast<uint16_t>(s.outWidth),
                        static_cast<uint16_t>(s.outHeight));
      s.outPicture = xcb_generate_id(s.c);
      xcb_render_create_picture(s.c, s.outPicture, s.outPixmap, s.argb32, 0, nullptr);
    }
    if (s.scaled) {
      s.rootPicture = xcb_generate_id(s.c);
      const uint32_t includeInferiors[] = {XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS};
      xcb_render_create_picture(s.c, s.rootPicture, s.connection->root, s.visualFormat(screen->root_visual),
                                XCB_RENDER_CP_SUBWINDOW_MODE, includeInferiors);
    }
  }
  s.sharedMemory = extensionPresent(s.c, &xcb_shm_id);
  s.primary = s.makeSegment();

  s.damage = xcb_generate_id(s.c);
  xcb_damage_create(s.c, s.damage, s.mode == State::Mode::window ? s.window : s.connection->root,
                    XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
  if (s.mode != State::Mode::root) s.settle();
  checkConnection(*s.connection);
}

Grabber::~Grabber() = default;

Grabber::State::Readable Grabber::State::prepareFrame() {
  checkConnection(*connection);
  pollEvents();
  if (windowGone) throw PlatformError("The window is no longer available.");
  if (windowResized) nameWindowPixmap();
  // Changes from here on belong to the next frame.
  changed = false;
  subtractSequence =
      static_cast<uint16_t>(xcb_damage_subtract(c, damage, XCB_NONE, XCB_NONE).sequence);

  xcb_render_picture_t source = 0;
  Readable unscaled{0, sourceX, sourceY};
  switch (mode) {
    case Mode::root:
      source = rootPicture;
      unscaled.drawable = connection->root;
      break;
    case Mode::composed:
      composeRegion();
      source = canvasPicture;
      unscaled = {canvas, 0, 0};
      break;
    case Mode::window:
      source = windowPicture;
      unscaled.drawable = windowPixmap;
      break;
  }
  if (!scaled) return unscaled;

  // Destination pixel (x, y) samples the source at the region's origin plus
  // (x, y) times the size ratio.
  const double ratioX = static_cast<double>(sourceWidth) / outWidth;
  const double ratioY = static_cast<double>(sourceHeight) / outHeight;
  const xcb_render_transform_t transform{fixed(ratioX), 0, fixed(unscaled.x), 0, fixed(ratioY),
                                         fixed(unscaled.y), 0, 0, fixed(1)};
  xcb_render_set_picture_transform(c, source, transform);
  const char* filterName = ratioX == 1.0 && ratioY == 1.0 ? "nearest" : "bilinear";
  xcb_render_set_picture_filter(c, source, static_cast<uint16_t>(std::strlen(filterName)), filterName,
                                0, nullptr);
  xcb_render_composite(c, XCB_RENDER_PICT_OP_SRC, source, 0, outPicture, 0, 0, 0, 0, 0, 0,
                       static_cast<uint16_t>(outWidth), static_cast<uint16_t>(outHeight));
  return {outPixmap, 0, 0};
}

void Grabber::grab(uint8_t* destination, size_t bytesPerRow) {
  State& s = *state_;
  s.readInto(s.prepareFrame(), destination, bytesPerRow);
  if (s.showsCursor) s.drawCursor(destination, bytesPerRow);
}

Grabber::SharedFrame Grabber::grabShared() {
  SharedFrame shared = tryGrabShared();
  if (shared.data) return shared;
  // Without shared memory, or with every segment held: a frame of its own.
  const State& s = *state_;
  const size_t bytesPerRow = static_cast<size_t>(s.outWidth) * 4;
  auto frame = std::make_shared<std::vector<uint8_t>>(bytesPerRow * static_cast<size_t>(s.outHeight));
  grab(frame->data(), bytesPerRow);
  return {frame->data(), bytesPerRow, frame};
}

Grabber::SharedFrame Grabber::tryGrabShared() {
  State& s = *state_;
  const size_t bytesPerRow = static_cast<size_t>(s.outWidth) * 4;
  std::shared_ptr<Segment> segment = s.freeRingSegment();
  if (!segment) return {};
  s.readToSegment(s.prepareFrame(), *segment);
  if (s.showsCursor) s.drawCursor(segment->data, bytesPerRow);
  return {segment->data, bytesPerRow, segment};
}

bool Grabber::contentChanged() {
  State& s = *state_;
  s.pollEvents();
  if (s.changed || s.windowGone) return true;
  if (s.showsCursor) {
    Reply<xcb_query_pointer_reply_t> pointer(
        xcb_query_pointer_reply(s.c, xcb_query_pointer(s.c, s.connection->root), nullptr));
    if (pointer && (pointer->root_x != s.lastPointerX || pointer->root_y != s.lastPointerY)) return true;
  }
  return false;
}

}  // namespace platform::x11
