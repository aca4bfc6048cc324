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

  struct Globals;

 private:
  wl_display* display_ = nullptr;
  std::unique_ptr<Globals> globals_;
  std::vector<Output> outputs_;
};

}  // namespace platform::wayland

}  // namespace capture
