#pragma once
// A connection to the Wayland compositor and the outputs it announces.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct wl_display;

namespace capture {

namespace platform::wayland {

struct Output {
  std::string name;      // e.g. "HEADLESS-1", "DP-1"
  int32_t x = 0, y = 0;  // logical position on the desktop, points
  int32_t width = 0;     // logical size, points
  int32_t height = 0;
  int32_t pixelWidth = 0;  // current mode, pixels
  int32_t pixelHeight = 0;
  int32_t scale = 1;
};

// A toplevel window as the compositor tells it: no size; the process only
// where the compositor's IPC tells it (0 otherwise, which no process has).
struct Toplevel {
  std::string appId;  // may be empty
  std::string title;
  std::string outputName;  // the output it is shown on; empty when none (minimised)
  bool hasParent = false;  // a dialog of another toplevel
  int32_t pid = 0;
};

class Connection {
 public:
  // Connects to the compositor named by WAYLAND_DISPLAY and reads its outputs.
  // Throws PlatformError.
  Connection();
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  const std::vector<Output>& outputs() const { return outputs_; }
  // One round trip: false once the compositor has gone.
  bool alive();
  // Makes the compositor paint the output again without changing what it
  // shows (a transparent pixel put on top and taken away at once), so that a
  // screen-cast producer that sends frames only on change sends one. False
  // where the compositor offers no way to (no wlroots layer shell).
  bool repaint(const std::string& outputName);
  // The toplevel windows, where the compositor tells them (wlroots' foreign
  // toplevel management); none otherwise.
  std::vector<Toplevel> toplevels();

  struct Globals;

 private:
  wl_display* display_ = nullptr;
  std::unique_ptr<Globals> globals_;
  std::vector<Output> outputs_;
};

}  // namespace platform::wayland

}  // namespace capture
