#pragma once
// Single-image capture and the operating-system version gate in front of it.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/filter.hpp"
#include "platform/stream.hpp"

namespace capture {

namespace platform {

// BGRA pixels, rows top first.
struct Image {
  int64_t width = 0;
  int64_t height = 0;
  size_t bytesPerRow = 0;
  std::vector<uint8_t> pixels;
};

// Captures one image of the filter's content at the configured size. Throws PlatformError.
Image captureImage(const ContentFilter& filter, const StreamConfiguration& configuration);

bool isOperatingSystemAtLeast(int major, int minor, int patch);

}  // namespace platform

}  // namespace capture
