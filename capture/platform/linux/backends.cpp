// The session's display server picks the implementation: Wayland in a
// Wayland session (even with XWayland's DISPLAY set), X11 otherwise.
#include "platform/linux/backends.hpp"

#include "platform/linux/wayland/session.hpp"

namespace capture {

namespace platform {

ShareableContent getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly) {
  return wayland::isSession()
             ? wayland::shareableContent(excludingDesktopWindows, onScreenWindowsOnly)
             : x11::shareableContent(excludingDesktopWindows, onScreenWindowsOnly);
}

Image captureImage(const ContentFilter& filter, const StreamConfiguration& configuration) {
  return wayland::isSession() ? wayland::captureImage(filter, configuration)
                              : x11::captureImage(filter, configuration);
}

namespace screen {

std::unique_ptr<FrameSource> makeFrameSource(const ContentFilter& filter,
                                             const StreamConfiguration& configuration) {
  return wayland::isSession() ? wayland::makeFrameSource(filter, configuration)
                              : x11::makeFrameSource(filter, configuration);
}

}  // namespace screen

}  // namespace platform

}  // namespace capture
