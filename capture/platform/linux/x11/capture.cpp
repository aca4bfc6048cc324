#include "platform/linux/x11/capture.hpp"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/render.h>
#include <xcb/shm.h>
#include <xcb/xcb_renderutil.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/error.hpp"
#include "platform/linux/x11/composed_capture.hpp"
#include "platform/linux/x11/cursor_blend.hpp"
#include "platform/linux/x11/display_capture.hpp"
#include "platform/linux/x11/window_capture.hpp"

namespace capture {

namespace platform::x11 {
namespace {

// Frames handed out without a copy that may be held at once.
constexpr size_t kLargestRing = 16;

xcb_render_fixed_t fixed(double v) {
  return static_cast<xcb_render_fixed_t>(std::lround(v * 65536.0));
}

bool extensionPresent(xcb_connection_t* c, xcb_extension_t* extension) {
  const xcb_query_extension_reply_t* reply = xcb_get_extension_data(c, extension);
  return reply && reply->present;
}

}  // namespace

// Sends a request and waits for its verdict.
bool succeeded(xcb_connection_t* c, xcb_void_cookie_t cookie) {
  xcb_generic_error_t* error = xcb_request_check(c, cookie);
  std::free(error);
  return error == nullptr;
}

// A shared memory segment of one output frame. The mapping lives as long as
// any frame handed out in it; the server lets go of it with the connection.
struct Segment {
  xcb_shm_seg_t id = 0;
  uint8_t* data = nullptr;
  ~Segment() {
    if (data) shmdt(data);
  }
};

std::unique_ptr<Capture> makeCapture(const ContentFilter& filter,
                                     const StreamConfiguration& configuration) {
  if (configuration.width <= 0 || configuration.height <= 0 || configuration.width > kLargestSide ||
      configuration.height > kLargestSide)
    throw PlatformError("The capture size is not supported.");
  if (filter.kind == ContentFilter::Kind::displayIncludingApplications)
    throw PlatformError("Capturing only some applications is not supported.");
  if (filter.kind == ContentFilter::Kind::window)
    return std::make_unique<WindowCapture>(filter, configuration);
  if (filter.applications.empty()) return std::make_unique<DisplayCapture>(filter, configuration);
  return std::make_unique<ComposedCapture>(filter, configuration);
}

Capture::Capture(const StreamConfiguration& configuration) {
  outWidth = static_cast<int>(configuration.width);
  outHeight = static_cast<int>(configuration.height);
  showsCursor = configuration.showsCursor;
  connection = connect();
  c = connection->xcb;
  negotiate();
  if (connection->screen->root_depth != 24 && connection->screen->root_depth != 32)
    throw PlatformError("Only 24-bit X screens can be captured.");
}

Capture::~Capture() {
  if (!c) return;
  if (primary) xcb_shm_detach(c, primary->id);
  for (const auto& segment : ring) xcb_shm_detach(c, segment->id);
  // Everything else goes with the connection.
}

void Capture::negotiate() {
  const std::pair<xcb_extension_t*, const char*> required[] = {{&xcb_render_id, "RENDER"},
                                                               {&xcb_composite_id, "Composite"},
                                                               {&xcb_xfixes_id, "XFIXES"},
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
  const xcb_render_pictforminfo_t* info =
      xcb_render_util_find_standard_format(formats, XCB_PICT_STANDARD_ARGB_32);
  if (!info) throw PlatformError("The X server has no 32-bit picture format.");
  argb32 = info->id;
}

xcb_render_pictformat_t Capture::visualFormat(xcb_visualid_t visual) const {
  const xcb_render_pictvisual_t* v = xcb_render_util_find_visual_format(formats, visual);
  if (!v) throw PlatformError("A window's pixel format is not supported.");
  return v->format;
}

std::shared_ptr<Segment> Capture::makeSegment() {
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
std::shared_ptr<Segment> Capture::freeRingSegment() {
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
void Capture::setUpScaling() {
  scaled = outWidth != sourceWidth || outHeight != sourceHeight;
  if (scaled) createOutputPicture();
}

void Capture::createOutputPicture() {
  outPixmap = xcb_generate_id(c);
  xcb_create_pixmap(c, 32, outPixmap, connection->root, static_cast<uint16_t>(outWidth),
                    static_cast<uint16_t>(outHeight));
  outPicture = xcb_generate_id(c);
  xcb_render_create_picture(c, outPicture, outPixmap, argb32, 0, nullptr);
}

void Capture::attachSharedMemory() {
  sharedMemory = extensionPresent(c, &xcb_shm_id);
  primary = makeSegment();
}

void Capture::watchDamage(xcb_drawable_t drawable) {
  damage = xcb_generate_id(c);
  xcb_damage_create(c, damage, drawable, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
}

void Capture::trackChangedRows() {
  damaged = xcb_generate_id(c);
  xcb_xfixes_create_region(c, damaged, 0, nullptr);
}

void Capture::settle() {
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

void Capture::pollEvents() {
  while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
    const uint8_t type = event->response_type & 0x7F;
    if (type == damageEvent) {
      // Reports generated before the last subtraction are about frames
      // already grabbed.
      if (static_cast<int16_t>(event->sequence - subtractSequence) >= 0) changed = true;
    } else {
      noteEvent(type, event);
    }
    // Errors of requests about windows that vanished meanwhile need no answer.
    std::free(event);
  }
}

// Issues the server-side work of one frame; says where to read it.
Capture::Readable Capture::prepareFrame() {
  checkConnection(*connection);
  pollEvents();
  beforeFrame();
  // Changes from here on belong to the next frame.
  changed = false;
  subtractSequence =
      static_cast<uint16_t>(xcb_damage_subtract(c, damage, XCB_NONE, damaged).sequence);
  lastChangedRows.reset();
  if (damaged) damageFetch = xcb_xfixes_fetch_region(c, damaged);

  const FrameOrigin origin = frameOrigin();
  if (!scaled) return origin.unscaled;

  // Destination pixel (x, y) samples the source at the region's origin plus
  // (x, y) times the size ratio.
  const double ratioX = static_cast<double>(sourceWidth) / outWidth;
  const double ratioY = static_cast<double>(sourceHeight) / outHeight;
  const xcb_render_transform_t transform{
      fixed(ratioX), 0, fixed(origin.unscaled.x), 0, fixed(ratioY), fixed(origin.unscaled.y), 0, 0,
      fixed(1)};
  xcb_render_set_picture_transform(c, origin.picture, transform);
  const char* filterName = ratioX == 1.0 && ratioY == 1.0 ? "nearest" : "bilinear";
  xcb_render_set_picture_filter(c, origin.picture, static_cast<uint16_t>(std::strlen(filterName)),
                                filterName, 0, nullptr);
  xcb_render_composite(c, XCB_RENDER_PICT_OP_SRC, origin.picture, 0, outPicture, 0, 0, 0, 0, 0, 0,
                       static_cast<uint16_t>(outWidth), static_cast<uint16_t>(outHeight));
  return {outPixmap, 0, 0};
}

void Capture::readToSegment(const Readable& frame, Segment& segment) {
  xcb_generic_error_t* error = nullptr;
  Reply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(
      c,
      xcb_shm_get_image(c, frame.drawable, static_cast<int16_t>(frame.x),
                        static_cast<int16_t>(frame.y), static_cast<uint16_t>(outWidth),
                        static_cast<uint16_t>(outHeight), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                        segment.id, 0),
      &error));
  std::free(error);
  checkConnection(*connection);
  if (!reply) throw PlatformError(unreadable());
}

// Reads the frame into the destination, through the shared segment when
// there is one, else in the reply itself.
void Capture::readInto(const Readable& frame, uint8_t* destination, size_t bytesPerRow) {
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
    throw PlatformError(unreadable());
  copyOpaque(destination, bytesPerRow, xcb_get_image_data(reply.get()), sourceBytesPerRow, outWidth,
             outHeight);
}

void Capture::drawCursor(uint8_t* destination, size_t bytesPerRow) {
  Reply<xcb_xfixes_get_cursor_image_reply_t> cursor(
      xcb_xfixes_get_cursor_image_reply(c, xcb_xfixes_get_cursor_image(c), nullptr));
  if (!cursor) return;
  lastPointerX = cursor->x;
  lastPointerY = cursor->y;
  const auto origin = rootOrigin();
  if (!origin) return;
  const auto [originX, originY] = *origin;
  const double scaleX = static_cast<double>(outWidth) / sourceWidth;
  const double scaleY = static_cast<double>(outHeight) / sourceHeight;
  const CursorImage image{xcb_xfixes_get_cursor_image_cursor_image(cursor.get()), cursor->width,
                          cursor->height};
  const double top = (cursor->y - cursor->yhot - originY) * scaleY;
  blendCursor(destination, bytesPerRow, outWidth, outHeight, image,
              (cursor->x - cursor->xhot - originX) * scaleX, top, scaleX, scaleY);
  // Rows it may have touched, a row either side for the blend's rounding.
  const double bottom = top + cursor->height * scaleY;
  if (std::isfinite(top) && std::isfinite(bottom))
    cursorRows = {static_cast<int32_t>(std::clamp(std::floor(top) - 1, -1.0, outHeight + 1.0)),
                  static_cast<int32_t>(std::clamp(std::ceil(bottom) + 1, -1.0, outHeight + 1.0))};
}

// The damaged rectangles, in root coordinates, as rows of the frame; with
// the rows of the cursor drawn into this frame and the one before.
void Capture::collectChangedRows() {
  if (!damageFetch) return;
  Reply<xcb_xfixes_fetch_region_reply_t> region(
      xcb_xfixes_fetch_region_reply(c, *damageFetch, nullptr));
  damageFetch.reset();
  if (!region) return;
  std::vector<RowSpan> rows;
  const xcb_rectangle_t* rectangles = xcb_xfixes_fetch_region_rectangles(region.get());
  const int count = xcb_xfixes_fetch_region_rectangles_length(region.get());
  for (int i = 0; i < count; ++i) {
    const int top = std::max(rectangles[i].y - sourceY, 0);
    const int bottom = std::min(rectangles[i].y + rectangles[i].height - sourceY, outHeight);
    if (top < bottom) rows.push_back({top, bottom});
  }
  if (showsCursor) {
    rows.push_back(previousCursorRows);
    rows.push_back(cursorRows);
    previousCursorRows = cursorRows;
  }
  lastChangedRows = std::move(rows);
}

std::optional<std::vector<RowSpan>> Capture::changedRows() { return lastChangedRows; }

void Capture::grab(uint8_t* destination, size_t bytesPerRow) {
  readInto(prepareFrame(), destination, bytesPerRow);
  if (showsCursor) drawCursor(destination, bytesPerRow);
  collectChangedRows();
}

Capture::SharedPixels Capture::grabShared() {
  const size_t bytesPerRow = static_cast<size_t>(outWidth) * 4;
  std::shared_ptr<Segment> segment = freeRingSegment();
  if (!segment) return {};
  readToSegment(prepareFrame(), *segment);
  if (showsCursor) drawCursor(segment->data, bytesPerRow);
  collectChangedRows();
  return {segment->data, bytesPerRow, segment};
}

bool Capture::contentChanged() {
  pollEvents();
  if (changed || gone()) return true;
  if (showsCursor) {
    Reply<xcb_query_pointer_reply_t> pointer(
        xcb_query_pointer_reply(c, xcb_query_pointer(c, connection->root), nullptr));
    if (pointer && (pointer->root_x != lastPointerX || pointer->root_y != lastPointerY))
      return true;
  }
  return false;
}

}  // namespace platform::x11

}  // namespace capture
