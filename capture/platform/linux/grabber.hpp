#pragma once
// The grab path on X11: one frame of a display (without some applications'
// windows), a display area or one window, scaled to the configured size, into
// caller-owned BGRA memory. A stream thread makes one Grabber and calls
// grab() and contentChanged() at its frame rate; single images use it once.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/filter.hpp"
#include "platform/stream.hpp"

namespace platform::x11 {

class Grabber {
 public:
  // Prepares to grab the filter's content at the configuration's size, source
  // rectangle and cursor setting: its own X connection, shared memory of the
  // output size, and the server-side pictures the frames are composed in.
  // Throws PlatformError.
  Grabber(const ContentFilter& filter, const StreamConfiguration& configuration);
  ~Grabber();
  Grabber(const Grabber&) = delete;
  Grabber& operator=(const Grabber&) = delete;

  // Grabs one frame into `destination` (BGRA, configuration width x height,
  // rows `bytesPerRow` apart, alpha 255). Throws PlatformError when the X
  // server or the window has gone.
  void grab(uint8_t* destination, size_t bytesPerRow);

  // One frame in shared memory that the X server wrote into directly, with
  // no copy on this side: configuration width x height BGRA pixels, rows
  // `bytesPerRow` apart. The alpha byte is 255 except when the frame comes
  // straight from a 24-bit screen (whole display at its own size), where it
  // is unspecified. The pixels stay valid and untouched while `storage` (or
  // a copy of it) is held, even after the Grabber has gone; a handful of
  // frames can be held at once before grabs fall back to copies.
  struct SharedFrame {
    uint8_t* data = nullptr;
    size_t bytesPerRow = 0;
    std::shared_ptr<void> storage;
  };
  SharedFrame grabShared();
  // As grabShared(), but nothing (null `data`) where it would fall back to a
  // copy: without shared memory, or with every segment still held.
  SharedFrame tryGrabShared();

  // True when the captured content changed (XDamage) since the previous grab
  // (true before the first grab).
  bool contentChanged();

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace platform::x11
