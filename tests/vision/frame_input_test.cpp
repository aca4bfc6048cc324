#include "frame_input.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <thread>
#include <vector>

#include <unistd.h>

#include "state.hpp"

namespace {

std::vector<uint8_t> countingBytes(size_t size, uint8_t first = 0) {
  std::vector<uint8_t> bytes(size);
  std::iota(bytes.begin(), bytes.end(), first);
  return bytes;
}

TEST(ReadFrame, AssemblesPiecesAndLeavesTheNextFrameInThePipe) {
  setUpState("faces", 20, 16);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  input = fds[0];
  // One frame and the first byte of the next, written 7 bytes at a time.
  const auto bytes = countingBytes(static_cast<size_t>(frameBytes) + 1, 3);
  std::thread writer([&] {
    for (size_t at = 0; at < bytes.size(); at += 7) {
      const size_t n = std::min<size_t>(7, bytes.size() - at);
      ASSERT_EQ(write(fds[1], bytes.data() + at, n), static_cast<ssize_t>(n));
      usleep(50);
    }
  });
  ASSERT_TRUE(readFrame());
  writer.join();
  EXPECT_TRUE(std::equal(frame.begin(), frame.end(), bytes.begin()));
  uint8_t next = 0;
  ASSERT_EQ(read(fds[0], &next, 1), 1);
  EXPECT_EQ(next, bytes.back());
  close(fds[1]);
  EXPECT_FALSE(readFrame());
  close(fds[0]);
}

TEST(PixelBuffer, RowsLandAtTheBufferStride) {
  setUpState("faces", 17, 16);
  const auto bytes = countingBytes(static_cast<size_t>(frameBytes));
  const PixelBuffer buffer = pixelBuffer(bytes);
  EXPECT_EQ(buffer.width, 17);
  EXPECT_EQ(buffer.height, 16);
  EXPECT_EQ(buffer.bytesPerRow, 128u);  // 68 bytes of pixels, rounded up
  EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer.baseAddress) % 64, 0u);
  for (int64_t y = 0; y < 16; ++y)
    for (int64_t x = 0; x < 68; ++x)
      ASSERT_EQ(buffer.baseAddress[y * 128 + x], bytes[static_cast<size_t>(y * 68 + x)])
          << y << "," << x;
}

}  // namespace
