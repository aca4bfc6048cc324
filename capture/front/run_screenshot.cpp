#include <exception>
#include <string>

#include "front/commands.hpp"
#include "platform/content.hpp"
#include "platform/error.hpp"
#include "platform/png.hpp"
#include "platform/screenshot.hpp"
#include "target/capture_target.hpp"

namespace capture {

int runScreenshot(const Options& options, EventSink& events) {
  if (!platform::isOperatingSystemAtLeast(14, 0, 0))
    return refuse(events, "screenshots-need-macos-14");

  platform::ShareableContent content;
  try {
    content = platform::getShareableContent(false, true);
  } catch (const platform::PlatformError& error) {
    return refuse(events, "screenshot-failed: " + error.localizedDescription());
  }

  const auto resolved = captureTarget(options, content);
  if (const auto* error = std::get_if<TargetError>(&resolved))
    return refuse(events, targetErrorMessage(*error));
  const CaptureTarget& target = std::get<CaptureTarget>(resolved);

  platform::StreamConfiguration configuration;
  configuration.width = target.width;
  configuration.height = target.height;
  if (target.sourceRect) configuration.sourceRect = target.sourceRect;
  configuration.showsCursor = options.showsCursor.value_or(false);
  configuration.capturesAudio = false;

  platform::Image image;
  try {
    image = platform::captureImage(*target.filter, configuration);
  } catch (const platform::PlatformError& error) {
    return refuse(events, "screenshot-failed: " + error.localizedDescription());
  } catch (const std::exception& error) {
    // Memory for a very large image, for one: reported like any failed capture.
    return refuse(events, std::string("screenshot-failed: ") + error.what());
  }

  if (!platform::writePng(options.output, image)) return refuse(events, "screenshot-write-failed");

  events.emit({{"event", "screenshot"},
               {"width", image.width},
               {"height", image.height},
               {"output", options.output}});
  return 0;
}

}  // namespace capture
