// Content, the screen stream's frames and single images in a Wayland session:
// the compositor's outputs, and the screen-cast portal's PipeWire streams.
#include <chrono>
#include <string>

#include "platform/error.hpp"
#include "platform/linux/backends.hpp"
#include "platform/linux/wayland/outputs.hpp"
#include "platform/linux/wayland/portal.hpp"
#include "platform/linux/wayland/screen_cast.hpp"

namespace capture {

namespace platform::wayland {

namespace {

// A compositor sends a frame only when the screen changes: how long a single
// image waits for one.
constexpr std::chrono::seconds kImageWait{5};

class CastSource : public screen::FrameSource {
 public:
  CastSource(const ContentFilter& filter, const StreamConfiguration& configuration)
      : cast_(filter, configuration) {}
  void grab(uint8_t* destination, size_t bytesPerRow) override {
    shown_ = cast_.read(destination, bytesPerRow);
    if (!shown_) throw PlatformError("The screen cast has no frame to read.");
  }
  std::optional<CMTime> shownAt() override {
    if (!shown_) return std::nullopt;
    return CMTimeMake(*shown_, 1'000'000'000);
  }
  // A frame only when the compositor sent one: in between the stream is
  // idle, and the failures of the cast surface here.
  bool contentChanged() override {
    cast_.checkAlive();
    return cast_.stream().fresh();
  }

 private:
  ScreenCast cast_;
  std::optional<int64_t> shown_;
};

}  // namespace

// Displays are the compositor's outputs; windows and applications stay empty:
// their owners' process ids cannot be known here, and nothing is made up.
// Capture needs the screen-cast portal, so its absence is the answer to
// whether capture is possible.
ShareableContent shareableContent(bool, bool) {
  Connection connection;
  {
    Portal portal;
    const uint32_t version = portal.version();
    if (version < kPortalVersionNeeded)
      throw PlatformError("The screen-cast portal on the session bus is version " +
                          std::to_string(version) + "; version " +
                          std::to_string(kPortalVersionNeeded) + " or later is needed.");
  }
  ShareableContent content;
  content.displaysCanExcludeApplications = false;
  for (const Output& o : connection.outputs()) {
    Display d;
    d.displayID = displayId(o.name);
    d.width = o.width;
    d.height = o.height;
    d.frame = Rect{static_cast<double>(o.x), static_cast<double>(o.y), static_cast<double>(o.width),
                   static_cast<double>(o.height)};
    content.displays.push_back(d);
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
  if (!cast.stream().waitForFrame(deadline)) {
    cast.checkAlive();
    throw PlatformError("The compositor sent no frame within " +
                        std::to_string(kImageWait.count()) +
                        " seconds (it sends one only when the screen changes).");
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
