// Content, the screen stream's frames and single images in a Wayland session:
// the compositor's outputs, and the screen-cast portal's PipeWire streams.
#include <algorithm>
#include <chrono>
#include <map>
#include <string>

#include "platform/error.hpp"
#include "platform/linux/backends.hpp"
#include "platform/linux/wayland/outputs.hpp"
#include "platform/linux/wayland/portal.hpp"
#include "platform/linux/wayland/screen_cast.hpp"

namespace capture {

namespace platform::wayland {

namespace {

// A compositor sends a frame only when the screen changes, and is made to
// repaint while none has come: how long a single image waits for one.
constexpr std::chrono::seconds kImageWait{5};

class CastSource : public screen::FrameSource {
 public:
  CastSource(const ContentFilter& filter, const StreamConfiguration& configuration)
      : cast_(filter, configuration) {}
  void grab(uint8_t* destination, size_t bytesPerRow) override {
    shown_ = cast_.read(destination, bytesPerRow);
    if (!shown_) throw PlatformError("The screen cast has no frame to read.");
  }
  std::optional<std::vector<RowSpan>> changedRows() override { return cast_.changedRows(); }
  std::optional<CMTime> shownAt() override {
    if (!shown_) return std::nullopt;
    return CMTimeMake(*shown_, 1'000'000'000);
  }
  // A frame only when the compositor sent one: in between the stream is
  // idle, and the failures of the cast surface here.
  bool contentChanged() override {
    cast_.checkAlive();
    if (cast_.stream().fresh()) return true;
    if (!shown_) cast_.repaintIfDue();  // the first frame of a still screen
    return false;
  }

 private:
  ScreenCast cast_;
  std::optional<int64_t> shown_;
};

}  // namespace

// Displays are the compositor's outputs. Windows and applications are its
// toplevels where it tells them (wlroots), else none. The desktop does not
// tell a window's size: a window's frame is the output showing it (the first
// one while it is shown nowhere), which bounds it and is what a window stream
// is scaled into. An application is an app id and the process showing its
// windows, one per process as on X11; where the compositor does not tell
// processes, one per app id with process id 0, which no process has. Capture
// needs the screen-cast portal,
// so every query but the listing of applications (the only one that leaves
// desktop windows out) answers whether the portal is there.
ShareableContent shareableContent(bool excludingDesktopWindows, bool) {
  Connection connection;
  bool windowSource = false;
  if (!excludingDesktopWindows) {
    Portal portal;
    const uint32_t version = portal.version();
    if (version < kPortalVersionNeeded)
      throw PlatformError("The screen-cast portal on the session bus is version " +
                          std::to_string(version) + "; version " +
                          std::to_string(kPortalVersionNeeded) + " or later is needed.");
    windowSource = portal.availableSourceTypes() & kSourceWindow;
  }
  ShareableContent content;
  content.displaysCanExcludeApplications = false;
  content.windowsCanBeCaptured = windowSource;
  for (const Output& o : connection.outputs()) {
    Display d;
    d.displayID = displayId(o.name);
    d.width = o.width;
    d.height = o.height;
    d.frame = Rect{static_cast<double>(o.x), static_cast<double>(o.y), static_cast<double>(o.width),
                   static_cast<double>(o.height)};
    content.displays.push_back(d);
  }
  std::map<std::string, int> seen;  // windows so far per app id and title, for distinct ids
  for (const Toplevel& t : connection.toplevels()) {
    Window w;
    w.windowID = displayId(t.appId + '\n' + t.title + '\n' +
                           std::to_string(seen[t.appId + '\n' + t.title]++));
    w.title = t.title;
    w.onScreen = !t.outputName.empty();
    for (const Display& d : content.displays)
      if (d.displayID == displayId(t.outputName)) w.frame = d.frame;
    if (!w.onScreen && !content.displays.empty()) w.frame = content.displays.front().frame;
    if (!t.appId.empty()) {
      RunningApplication application{t.pid, t.appId, t.appId};
      w.owningApplication = application;
      if (std::find(content.applications.begin(), content.applications.end(), application) ==
          content.applications.end())
        content.applications.push_back(application);
    }
    content.windows.push_back(std::move(w));
  }
  return content;
}

std::unique_ptr<screen::FrameSource> makeFrameSource(const ContentFilter& filter,
                                                     const StreamConfiguration& configuration) {
  return std::make_unique<CastSource>(filter, configuration);
}

Image captureImage(const ContentFilter& filter, const StreamConfiguration& configuration) {
  if (configuration.width < 1 || configuration.height < 1 || configuration.width > 16384 ||
      configuration.height > 16384)
    throw PlatformError("The image size " + std::to_string(configuration.width) + " x " +
                        std::to_string(configuration.height) + " is not supported.");
  ScreenCast cast(filter, configuration);
  const auto deadline = std::chrono::steady_clock::now() + kImageWait;
  while (!cast.stream().waitForFrame(
      std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(100)))) {
    cast.checkAlive();
    if (std::chrono::steady_clock::now() >= deadline)
      throw PlatformError("The compositor sent no frame within " +
                          std::to_string(kImageWait.count()) + " seconds.");
    cast.repaintIfDue();
  }
  Image image;
  image.width = configuration.width;
  image.height = configuration.height;
  image.bytesPerRow = static_cast<size_t>(image.width) * 4;
  image.pixels.resize(image.bytesPerRow * static_cast<size_t>(image.height));
  if (!cast.read(image.pixels.data(), image.bytesPerRow))
    throw PlatformError("The screen cast has no frame to read.");
  return image;
}

}  // namespace platform::wayland

}  // namespace capture
