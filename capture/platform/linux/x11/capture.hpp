#pragma once
// The grab path on X11: one capture source per kind of content (the whole
// display, the display composed without some applications' windows, one
// window), each scaled on the server to the configured size and read through
// shared memory. They share everything but where a frame's pixels come from,
// which lives here.
#include <xcb/damage.h>
#include <xcb/render.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "platform/filter.hpp"
#include "platform/linux/stream/frame_source.hpp"
#include "platform/linux/x11/connection.hpp"
#include "platform/stream.hpp"

namespace capture {

namespace platform::x11 {

struct Segment;

class Capture : public screen::FrameSource {
 public:
  ~Capture() override;
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  // Grabs one frame into `destination` (BGRA, configured width x height, rows
  // `bytesPerRow` apart, alpha 255). Throws PlatformError when the X server
  // or the window has gone.
  void grab(uint8_t* destination, size_t bytesPerRow) override;
  // One frame in shared memory that the X server wrote into directly: the
  // alpha byte is 255 except when the frame comes straight from a 24-bit
  // screen (whole display at its own size). The pixels stay untouched while
  // `storage` is held, even after the capture has gone; a handful of frames
  // can be held at once. Nothing without shared memory or with every segment
  // still held.
  SharedPixels grabShared() override;
  // True when the captured content changed (XDamage) since the previous grab
  // (true before the first grab).
  bool contentChanged() override;
  // The rows XDamage reported drawn between the previous grab and the last
  // one, with the cursor's rows in both frames, where the mode tracks them.
  std::optional<std::vector<RowSpan>> changedRows() override;

 protected:
  // Its own X connection, with the extensions every mode needs. Throws
  // PlatformError.
  explicit Capture(const StreamConfiguration& configuration);

  // Where a frame is read: a drawable and the region's origin in it.
  struct Readable {
    xcb_drawable_t drawable;
    int x, y;
  };
  // The mode's part of a frame: the picture scaled frames are read through,
  // and where the pixels lie when they are read as they are.
  struct FrameOrigin {
    xcb_render_picture_t picture;
    Readable unscaled;
  };
  virtual FrameOrigin frameOrigin() = 0;
  // Runs before each frame, once the server's events have been read.
  virtual void beforeFrame() {}
  // Events other than damage reports.
  virtual void noteEvent(uint8_t, const xcb_generic_event_t*) {}
  // True when the content is gone for good (a change, to be found out by
  // the next grab).
  virtual bool gone() const { return false; }
  // What a failed read says.
  virtual const char* unreadable() const { return "The screen could not be read."; }
  // The region's origin on the root window, or nothing when it cannot be told.
  virtual std::optional<std::pair<int, int>> rootOrigin() { return std::pair{sourceX, sourceY}; }

  // The set-up steps every mode takes, in this order, once its region is known.
  void setUpScaling();
  void createOutputPicture();
  void attachSharedMemory();
  void watchDamage(xcb_drawable_t drawable);
  // Has each grab fetch where the damage lay: for modes whose frames are the
  // damaged drawable's pixels at the region's origin, unscaled.
  void trackChangedRows();
  // Windows that were covered until they were redirected have to repaint what
  // was hidden. Waits (briefly, at most a few frame times) until they are done.
  void settle();

  xcb_render_pictformat_t visualFormat(xcb_visualid_t visual) const;

  std::unique_ptr<Connection> connection;
  xcb_connection_t* c = nullptr;
  bool showsCursor = false;
  int outWidth = 0, outHeight = 0;
  // The captured region: root pixels for the display modes, window pixels
  // (inside its border) for the window mode.
  int sourceX = 0, sourceY = 0, sourceWidth = 0, sourceHeight = 0;
  void setSource(int x, int y, int width, int height) {
    sourceX = x, sourceY = y, sourceWidth = width, sourceHeight = height;
  }
  const xcb_render_query_pict_formats_reply_t* formats = nullptr;
  xcb_render_pictformat_t argb32 = 0;
  // The scaled frame when the output size differs from the source region.
  bool scaled = false;
  xcb_pixmap_t outPixmap = 0;
  xcb_render_picture_t outPicture = 0;
  bool changed = true;

 private:
  void negotiate();
  std::shared_ptr<Segment> makeSegment();
  std::shared_ptr<Segment> freeRingSegment();
  void pollEvents();
  Readable prepareFrame();
  void readToSegment(const Readable& frame, Segment& segment);
  void readInto(const Readable& frame, uint8_t* destination, size_t bytesPerRow);
  void drawCursor(uint8_t* destination, size_t bytesPerRow);
  void collectChangedRows();

  // Shared memory the server writes frames into (none without MIT-SHM):
  // one for copies into the caller's memory, and a ring handed out as is.
  bool sharedMemory = false;
  std::shared_ptr<Segment> primary;
  std::vector<std::shared_ptr<Segment>> ring;
  xcb_damage_damage_t damage = 0;
  uint8_t damageEvent = 0;
  uint16_t subtractSequence = 0;  // damage reported before it is already taken
  int lastPointerX = -1, lastPointerY = -1;
  // Where the damage of each grab is taken to, and its rows in frame rows.
  xcb_xfixes_region_t damaged = 0;
  std::optional<xcb_xfixes_fetch_region_cookie_t> damageFetch;
  std::optional<std::vector<RowSpan>> lastChangedRows;
  RowSpan cursorRows, previousCursorRows;  // where the cursor was drawn
};

// The capture source for the filter's content at the configuration's size,
// source rectangle and cursor setting. Throws PlatformError.
std::unique_ptr<Capture> makeCapture(const ContentFilter& filter,
                                     const StreamConfiguration& configuration);

// Helpers the modes share.
constexpr int64_t kLargestSide = 16384;
bool succeeded(xcb_connection_t* c, xcb_void_cookie_t cookie);

}  // namespace platform::x11

}  // namespace capture
