#include "platform/linux/backends.hpp"
#include "platform/linux/x11/capture.hpp"

namespace capture {

namespace platform::x11 {

// One frame through the same grab path as a capture stream.
Image captureImage(const ContentFilter& filter, const StreamConfiguration& configuration) {
  const auto capture = makeCapture(filter, configuration);
  Image image;
  image.width = configuration.width;
  image.height = configuration.height;
  image.bytesPerRow = static_cast<size_t>(image.width) * 4;
  image.pixels.resize(image.bytesPerRow * static_cast<size_t>(image.height));
  capture->grab(image.pixels.data(), image.bytesPerRow);
  return image;
}

}  // namespace platform::x11

}  // namespace capture
