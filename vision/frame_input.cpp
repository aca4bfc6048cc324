#include "frame_input.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "output.hpp"

namespace vision {

namespace {

constexpr size_t rowAlignment = 64;

}  // namespace

bool readFrame(int input, std::vector<uint8_t>& frame) {
  return readFrame(input, frame.data(), frame.size());
}

bool readFrame(int input, uint8_t* frame, size_t wanted) {
  size_t have = 0;
  while (have < wanted) {
    const ssize_t n = ::read(input, frame + have, wanted - have);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(std::string("could not read a frame: ") + std::strerror(errno));
    }
    if (n == 0) {
      if (have == 0) return false;
      fail("truncated frame");
    }
    have += static_cast<size_t>(n);
  }
  return true;
}

PixelBuffer pixelBuffer(const std::vector<uint8_t>& from, int64_t width, int64_t height) {
  PixelBuffer buffer;
  buffer.width = width;
  buffer.height = height;
  const auto rowBytes = static_cast<size_t>(width) * 4;
  buffer.bytesPerRow = (rowBytes + rowAlignment - 1) / rowAlignment * rowAlignment;
  const size_t size = buffer.bytesPerRow * static_cast<size_t>(height);
  auto* memory = static_cast<uint8_t*>(std::aligned_alloc(rowAlignment, size));
  if (memory == nullptr) fail("could not allocate a frame");
  buffer.storage = std::shared_ptr<uint8_t[]>(memory, [](uint8_t* p) { std::free(p); });
  buffer.baseAddress = memory;
  for (int64_t y = 0; y < height; ++y)
    std::memcpy(memory + static_cast<size_t>(y) * buffer.bytesPerRow,
                from.data() + static_cast<size_t>(y) * rowBytes, rowBytes);
  return buffer;
}

}  // namespace vision
