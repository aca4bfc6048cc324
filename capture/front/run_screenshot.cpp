#include <exception>
#include <string>

#include "front/commands.hpp"
#include "front/emit.hpp"
#include "platform/content.hpp"
#include "platform/error.hpp"
#include "platform/png.hpp"
#include "platform/screenshot.hpp"
#include "target/capture_target.hpp"

void runScreenshot(Options options) {
  if (!platform::isOperatingSystemAtLeast(14, 0, 0)) fail("screenshots-need-macos-14");

  platform::ShareableContent content;
  try {
    content = platform::getShareableContent(false, true);
  } catch (const platform::PlatformError& error) {
    fail("screenshot-failed: " + error.localizedDescription());
  }

  const CaptureTarget target = captureTarget(options, content);

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
    fail("screenshot-failed: " + error.localizedDescription());
  } catch (const std::exception& error) {
    // Memory for a very large image, for one: reported like any failed capture.
    fail(std::string("screenshot-failed: ") + error.what());
  }

  if (!platform::writePng(options.output, image)) fail("screenshot-write-failed");

  emit({{"event", "screenshot"},
        {"width", image.width},
        {"height", image.height},
        {"output", options.output}});
  exitProcess(0);
}
