#include "frame_input.hpp"
#include "output.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <thread>
#include <vector>

#include <unistd.h>

namespace vision {
namespace {

std::vector<uint8_t> countingBytes(size_t size, uint8_t first = 0) {
  std::vector<uint8_t> bytes(size);
  std::iota(bytes.begin(), bytes.end(), first);
  return bytes;
}

// Writes `bytes` into a new pipe 7 bytes at a time from another thread, then
// closes its end; returns the reading end.
int pipeOf(const std::vector<uint8_t>& bytes, std::thread& writer) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  writer = std::thread([&bytes, fd = fds[1]] {
    for (size_t at = 0; at < bytes.size(); at += 7) {
      const size_t n = std::min<size_t>(7, bytes.size() - at);
      EXPECT_EQ(write(fd, bytes.data() + at, n), static_cast<ssize_t>(n));
      usleep(20);
    }
    close(fd);
  });
  return fds[0];
}

TEST(ReadFrame, AssemblesPiecesAndTakesNothingOfTheNextFrame) {
  // Two frames of 20 × 16 pixels, then a clean end.
  std::vector<uint8_t> frame(20 * 16 * 4);
  const auto bytes = countingBytes(2 * frame.size(), 3);
  std::thread writer;
  const int input = pipeOf(bytes, writer);
  ASSERT_TRUE(readFrame(input, frame));
  EXPECT_TRUE(std::equal(frame.begin(), frame.end(), bytes.begin()));
  ASSERT_TRUE(readFrame(input, frame));
  EXPECT_TRUE(std::equal(frame.begin(), frame.end(), bytes.begin() + frame.size()));
  EXPECT_FALSE(readFrame(input, frame));
  writer.join();
  close(input);
}

TEST(ReadFrame, InputEndingInsideAFrameIsFatal) {
  std::vector<uint8_t> frame(64);
  const auto bytes = countingBytes(63);
  EXPECT_EXIT(
      {
        std::thread writer;
        const int input = pipeOf(bytes, writer);
        readFrame(input, frame);
        writer.join();
      },
      ::testing::ExitedWithCode(2), "^truncated frame\n$");
}

TEST(PixelBuffer, RowsLandAtTheBufferStride) {
  const auto bytes = countingBytes(17 * 16 * 4);
  const PixelBuffer buffer = pixelBuffer(bytes, 17, 16);
  EXPECT_EQ(buffer.width, 17);
  EXPECT_EQ(buffer.height, 16);
  EXPECT_EQ(buffer.bytesPerRow, 128u);  // 68 bytes of pixels, rounded up
  EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer.baseAddress) % 64, 0u);
  for (int64_t y = 0; y < 16; ++y)
    for (int64_t x = 0; x < 68; ++x)
      ASSERT_EQ(buffer.baseAddress[y * 128 + x], bytes[static_cast<size_t>(y * 68 + x)])
          << y << "," << x;
}

TEST(OneLine, LineBreaksAndTheWhiteSpaceAroundThemBecomeOneSpace) {
  const std::pair<const char*, const char*> cases[] = {
      {"OpenCV(4.6.0) a.cpp:1: error: (-215)\n  x in function 'f'\n",
       "OpenCV(4.6.0) a.cpp:1: error: (-215) x in function 'f'"},
      {"a\r\nb \t\fc\vd", "a b c d"},
      {"\n unknown mode  a\tb ", "unknown mode  a\tb "},
  };
  for (const auto& [message, line] : cases) EXPECT_EQ(oneLine(message), line) << message;
}

}  // namespace
}  // namespace vision
