#pragma once
// Which display server the real platform talks to, chosen at run time.

namespace capture {

namespace platform::wayland {

// True in a Wayland session (WAYLAND_DISPLAY set, or XDG_SESSION_TYPE
// "wayland"), even when XWayland's DISPLAY is set too.
bool isSession();

}  // namespace platform::wayland

}  // namespace capture
