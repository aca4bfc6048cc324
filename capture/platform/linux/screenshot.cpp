#include "platform/screenshot.hpp"

#include "platform/linux/grabber.hpp"

namespace platform {

// One frame through the same grab path as a capture stream.
Image captureImage(const ContentFilter& filter, const StreamConfiguration& configuration) {
  x11::Grabber grabber(filter, configuration);
  Image image;
  image.width = configuration.width;
  image.height = configuration.height;
  image.bytesPerRow = static_cast<size_t>(image.width) * 4;
  image.pixels.resize(image.bytesPerRow * static_cast<size_t>(image.height));
  grabber.grab(image.pixels.data(), image.bytesPerRow);
  return image;
}

}  // namespace platform
