#pragma once
// Shareable content: the displays, windows and applications that can be
// captured, as one snapshot.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace capture {

namespace platform {

// A rectangle in points, origin at the top-left of the desktop, y downwards.
struct Rect {
  double x = 0, y = 0, width = 0, height = 0;
  bool operator==(const Rect&) const = default;
};

struct RunningApplication {
  int32_t processID = 0;
  std::string bundleIdentifier;
  std::string applicationName;
  bool operator==(const RunningApplication&) const = default;
};

struct Display {
  uint32_t displayID = 0;
  int64_t width = 0;  // points
  int64_t height = 0;
  Rect frame;  // position on the desktop, points
  bool operator==(const Display&) const = default;
};

struct Window {
  uint32_t windowID = 0;
  Rect frame;  // points
  int64_t windowLayer = 0;
  bool onScreen = false;
  std::string title;
  std::optional<RunningApplication> owningApplication;
  bool operator==(const Window&) const = default;
};

struct ShareableContent {
  std::vector<RunningApplication> applications;
  std::vector<Display> displays;
  std::vector<Window> windows;  // front to back
  // False where a display capture cannot leave applications out (Wayland).
  bool displaysCanExcludeApplications = true;
  // False where single windows cannot be captured (a Wayland desktop whose
  // screen-cast portal offers displays only).
  bool windowsCanBeCaptured = true;
};

// Takes a snapshot. Throws PlatformError when capture is not possible (no
// display reachable, not permitted); the description says why.
ShareableContent getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly);

// The plain query used to answer whether capture is permitted at all.
inline ShareableContent getShareableContent() { return getShareableContent(false, true); }

}  // namespace platform

}  // namespace capture
