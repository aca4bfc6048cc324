#pragma once
// The monitors of the X screen, in pixels, as RandR describes them.
#include <cstdint>
#include <vector>

#include "platform/linux/x11/connection.hpp"

namespace capture {

namespace platform::x11 {

struct Monitor {
  uint32_t id = 0;  // the RandR output id (the display id)
  int32_t x = 0, y = 0;
  int32_t width = 0, height = 0;  // pixels
};

// The active monitors, the primary one first. Without RandR monitors the
// whole screen is one monitor (id 0).
std::vector<Monitor> listMonitors(const Connection& connection);

}  // namespace platform::x11

}  // namespace capture
