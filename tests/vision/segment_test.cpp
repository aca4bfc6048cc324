// The mask that answers a frame: stretched to exactly the frame's size, and
// written whole, once per frame, with nothing left from earlier frames.
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "analyses.hpp"
#include "segment_mask.hpp"
#include "state.hpp"

namespace {

TEST(ScaleMask, StretchesEachAxisOnItsOwn) {
  // Left half on, right half off, at 8 × 4; stretched to 20 × 3 the edge
  // stays at the middle column and every row is alike.
  cv::Mat mask(4, 8, CV_8UC1, cv::Scalar(0));
  mask.colRange(0, 4).setTo(255);
  std::vector<uint8_t> target(60, 0xAB);
  const uint8_t* storage = target.data();
  scaleMask(mask, target, 20, 3);
  ASSERT_EQ(target.size(), 60u);
  EXPECT_EQ(target.data(), storage);
  for (int row = 0; row < 3; ++row) {
    for (int col = 0; col < 20; ++col) {
      const uint8_t v = target[row * 20 + col];
      if (col < 9) {
        EXPECT_EQ(v, 255) << row << "," << col;
      }
      if (col > 10) {
        EXPECT_EQ(v, 0) << row << "," << col;
      }
      EXPECT_NEAR(v, target[col], 1);  // fixed-point rounding
    }
  }
}

TEST(ScaleMask, RewritesEveryByteAndFitsTheSize) {
  std::vector<uint8_t> target(7, 0xAB);
  scaleMask(cv::Mat(144, 256, CV_8UC1, cv::Scalar(3)), target, 16, 16);
  ASSERT_EQ(target.size(), 256u);
  for (uint8_t v : target) EXPECT_EQ(v, 3);
  scaleMask(cv::Mat(), target, 16, 16);
  for (uint8_t v : target) EXPECT_EQ(v, 0);
}

// Runs `segment` on each frame with standard output sent to a file, and
// returns what was written.
std::vector<uint8_t> segmentFrames(int64_t w, int64_t h, const std::vector<cv::Mat>& frames) {
  setUpState("segment", w, h);
  char path[] = "/tmp/orvik-segment-XXXXXX";
  const int fd = ::mkstemp(path);
  EXPECT_GE(fd, 0);
  std::fflush(stdout);
  const int saved = ::dup(STDOUT_FILENO);
  ::dup2(fd, STDOUT_FILENO);
  for (const cv::Mat& bgr : frames) {
    cv::Mat bgra;
    cv::cvtColor(bgr, bgra, cv::COLOR_BGR2BGRA);
    PixelBuffer buffer;
    buffer.width = w;
    buffer.height = h;
    buffer.bytesPerRow = bgra.step;
    buffer.baseAddress = bgra.data;
    segment(buffer);
  }
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  std::vector<uint8_t> written(static_cast<size_t>(::lseek(fd, 0, SEEK_END)));
  ::lseek(fd, 0, SEEK_SET);
  EXPECT_EQ(::read(fd, written.data(), written.size()), static_cast<ssize_t>(written.size()));
  ::close(fd);
  ::unlink(path);
  return written;
}

TEST(Segment, AnswersEachFrameWithExactlyItsSizeAndNoLeftovers) {
  const cv::Mat portrait = cv::imread("/usr/share/matplotlib/mpl-data/sample_data/grace_hopper.jpg");
  ASSERT_FALSE(portrait.empty());
  const int w = 300, h = 200;  // another aspect than the photograph's
  cv::Mat person, empty(h, w, CV_8UC3, cv::Scalar(40, 40, 40));
  cv::resize(portrait, person, cv::Size(w, h));

  const auto out = segmentFrames(w, h, {person, empty, person});
  const size_t size = static_cast<size_t>(w) * h;
  ASSERT_EQ(out.size(), 3 * size);
  const std::vector<uint8_t> first(out.begin(), out.begin() + size);
  const std::vector<uint8_t> second(out.begin() + size, out.begin() + 2 * size);
  const std::vector<uint8_t> third(out.begin() + 2 * size, out.end());
  // The person fills the middle of the frame; the grey frame after it has
  // nothing at all; the same person again gives the same mask.
  EXPECT_EQ(first[(h / 2) * w + w / 2], 255);
  EXPECT_EQ(first[h * w - 1 - w / 2] > 128, true);
  EXPECT_EQ(std::count(second.begin(), second.end(), 0), static_cast<long>(size));
  EXPECT_EQ(first, third);
}

TEST(Segment, TheSmallestFrameGivesTwoHundredFiftySixBytes) {
  const auto out = segmentFrames(16, 16, {cv::Mat(16, 16, CV_8UC3, cv::Scalar(10, 200, 30))});
  EXPECT_EQ(out.size(), 256u);
}

}  // namespace
