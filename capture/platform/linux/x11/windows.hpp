#pragma once
// Top-level client windows and what they say about themselves.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/x11/connection.hpp"

namespace capture {

namespace platform::x11 {

struct TopLevelWindow {
  xcb_window_t id = 0;
  int32_t x = 0, y = 0;  // pixels, root coordinates
  uint32_t width = 0, height = 0;
  bool viewable = false;
  bool desktop = false;  // _NET_WM_WINDOW_TYPE_DESKTOP
  int64_t layer = 0;     // 0 = a normal application window
  std::string title;
  std::string windowClass;       // class part of WM_CLASS
  std::string gtkApplicationId;  // _GTK_APPLICATION_ID
  std::optional<int32_t> pid;
};

// The top-level client windows, front to back: the window manager's stacking
// list when it publishes one, else the root's children that carry WM_CLASS
// and are mapped (or iconic).
std::vector<TopLevelWindow> listTopLevelWindows(const Connection& connection);

// The class part of a WM_CLASS value ("instance\0class\0") as UTF-8: the
// property is Latin-1, but a class that is valid UTF-8 is kept as it is.
std::string windowClassOf(std::string_view wmClass);

// The process that owns a window: _NET_WM_PID, else the X-Resource client pid.
std::optional<int32_t> windowPid(xcb_connection_t* c, xcb_window_t window);

// The client window at or below a root child (a window manager's frame holds
// the client): the first one, breadth first, that carries WM_CLASS.
std::optional<xcb_window_t> findClientWindow(xcb_connection_t* c, xcb_window_t window);

}  // namespace platform::x11

}  // namespace capture
