#include "platform/linux/wayland/session.hpp"

#include <cstdlib>
#include <string_view>

namespace capture {

namespace platform::wayland {

bool isSession() {
  const char* display = std::getenv("WAYLAND_DISPLAY");
  if (display && display[0] != '\0') return true;
  const char* type = std::getenv("XDG_SESSION_TYPE");
  return type && std::string_view(type) == "wayland";
}

}  // namespace platform::wayland

}  // namespace capture
