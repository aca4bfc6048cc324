#include <set>
#include <string>
#include <utility>

#include <unistd.h>

#include "front/commands.hpp"
#include "platform/content.hpp"
#include "platform/error.hpp"

namespace capture {

namespace {

// Windows smaller than this (in points) do not make an application listable.
constexpr double kMinimumWidth = 120;
constexpr double kMinimumHeight = 80;

}  // namespace

int runApps(EventSink& events) {
  platform::ShareableContent content;
  try {
    content = platform::getShareableContent(true, false);
  } catch (const platform::PlatformError& error) {
    events.emit({{"event", "error"}, {"message", error.localizedDescription()}});
    return 0;
  }

  // Owners by process and bundle id: where the desktop does not tell
  // processes (Wayland compositors without sway's IPC) every application has
  // process id 0.
  std::set<std::pair<int32_t, std::string>> owners;
  for (const auto& window : content.windows) {
    if (window.windowLayer != 0 || window.frame.width < kMinimumWidth ||
        window.frame.height < kMinimumHeight)
      continue;
    if (window.owningApplication)
      owners.emplace(window.owningApplication->processID,
                     window.owningApplication->bundleIdentifier);
  }

  const int32_t self = static_cast<int32_t>(getpid());
  Event apps = Event::array();
  for (const auto& application : content.applications) {
    if (!owners.contains({application.processID, application.bundleIdentifier})) continue;
    if (application.bundleIdentifier.empty()) continue;
    if (application.processID == self) continue;
    apps.push_back({{"name", application.applicationName},
                    {"bundleId", application.bundleIdentifier},
                    {"pid", static_cast<int64_t>(application.processID)}});
  }
  events.emit({{"event", "apps"}, {"apps", apps}});
  return 0;
}

}  // namespace capture
