#pragma once
// One frame's pixels in BGRA order, rows top first. Rows may be longer than
// width × 4 bytes; `bytesPerRow` says how long.
#include <cstddef>
#include <cstdint>
#include <memory>

namespace vision {

struct PixelBuffer {
  int64_t width = 0;
  int64_t height = 0;
  size_t bytesPerRow = 0;
  uint8_t* baseAddress = nullptr;
  std::shared_ptr<uint8_t[]> storage;
};

}  // namespace vision
