// Shareable content on X11: RandR monitors, top-level client windows and the
// processes that own them.
#include <cmath>
#include <map>

#include "platform/content.hpp"
#include "platform/error.hpp"
#include "platform/linux/backends.hpp"
#include "platform/linux/x11/connection.hpp"
#include "platform/linux/x11/desktop_entry.hpp"
#include "platform/linux/x11/monitors.hpp"
#include "platform/linux/x11/windows.hpp"

namespace capture {

namespace platform {
namespace {

int64_t toPoints(double pixels, double scale) { return std::llround(pixels / scale); }

}  // namespace

namespace x11 {

ShareableContent shareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly) {
  auto connection = x11::connect();
  xcb_connection_t* c = connection->xcb;
  // Reading the root window proves that the screen can be read at all.
  x11::Reply<xcb_get_geometry_reply_t> rootGeometry(
      xcb_get_geometry_reply(c, xcb_get_geometry(c, connection->root), nullptr));
  if (!rootGeometry) throw PlatformError("The root window of the X display cannot be read.");

  const double scale = x11::desktopScale(c, connection->root);
  ShareableContent content;

  for (const auto& m : x11::listMonitors(*connection)) {
    Display d;
    d.displayID = m.id;
    d.width = toPoints(m.width, scale);
    d.height = toPoints(m.height, scale);
    d.frame = Rect{m.x / scale, m.y / scale, m.width / scale, m.height / scale};
    content.displays.push_back(d);
  }

  std::map<int32_t, size_t> applicationIndex;
  for (const auto& w : x11::listTopLevelWindows(*connection)) {
    if (excludingDesktopWindows && w.desktop) continue;
    if (onScreenWindowsOnly && !w.viewable) continue;
    Window window;
    window.windowID = w.id;
    window.frame = Rect{w.x / scale, w.y / scale, w.width / scale, w.height / scale};
    window.windowLayer = w.layer;
    window.onScreen = w.viewable;
    window.title = w.title;
    if (w.pid) {
      auto [it, added] = applicationIndex.try_emplace(*w.pid, content.applications.size());
      if (added) {
        RunningApplication app;
        app.processID = *w.pid;
        app.bundleIdentifier = !w.gtkApplicationId.empty() ? w.gtkApplicationId : w.windowClass;
        app.applicationName =
            x11::desktopEntryName(app.bundleIdentifier, w.windowClass).value_or(w.windowClass);
        content.applications.push_back(app);
      }
      window.owningApplication = content.applications[it->second];
    }
    content.windows.push_back(std::move(window));
  }
  x11::checkConnection(*connection);
  return content;
}

}  // namespace x11

}  // namespace platform

}  // namespace capture
