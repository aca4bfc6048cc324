// The segmentation service's choice of network and its extreme frames, and
// the mask stretched to exactly the frame's size. Masks of real photographs
// are checked end to end (tests/e2e/vision_test.py).
#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include <vector>

#include "person_area.hpp"
#include "person_gate.hpp"
#include "platform/segmenter.hpp"
#include "segment_mask.hpp"

namespace vision {
namespace {

TEST(SegmentationModelChoice, FollowsTheFramesAspect) {
  using enum SegmentationModel;
  const std::pair<cv::Size, SegmentationModel> cases[] = {
      {{1280, 720}, landscape}, {{4096, 16}, landscape}, {{640, 480}, general},  // 4:3 ties
      {{641, 480}, landscape},  {{16, 16}, general},     {{16, 4096}, general}};
  for (const auto& [size, model] : cases)
    EXPECT_EQ(segmentationModelFor(size.width, size.height), model) << size;
}

TEST(Segmenter, TheSmallestAndMostUnevenFramesAreTaken) {
  Segmenter segmenter;
  for (const cv::Size& size : {cv::Size(16, 16), cv::Size(4096, 16), cv::Size(16, 4096)}) {
    cv::Mat bgra(size, CV_8UC4, cv::Scalar(200, 180, 160, 255));
    const PixelBuffer buffer{bgra.cols, bgra.rows, bgra.step, bgra.data, nullptr};
    const auto mask = segmenter.segment(buffer);
    ASSERT_TRUE(mask.has_value());
    EXPECT_EQ(mask->type(), CV_8UC1);
    EXPECT_EQ(mask->cols, 256);
  }
}

TEST(HeadArea, TopSquareOfTheMarkedRegionInFramePixels) {
  // Marked rectangles (bytes >= 128) on a 16 × 9 mask of a 1600 × 900 frame.
  const std::pair<cv::Rect, cv::Rect> cases[] = {
      {{4, 1, 2, 8}, {400, 100, 200, 200}},   // a standing person: as wide as the body
      {{0, 2, 16, 7}, {450, 200, 700, 700}},  // a sitting person: centred, as high as the body
      {{15, 8, 1, 1}, {1500, 800, 100, 100}},
      {{}, {}}};  // nothing marked
  for (const auto& [marked, area] : cases) {
    cv::Mat mask(9, 16, CV_8UC1, cv::Scalar(127));
    mask(marked).setTo(128);
    EXPECT_EQ(headArea(mask, {1600, 900}), area) << marked;
    if (!marked.empty()) {
      EXPECT_TRUE(onMask(mask, (marked.x + 0.5) / 16, (marked.y + 0.5) / 9));
    }
    EXPECT_FALSE(onMask(mask, 0.99, 0.01));  // beyond every marked rectangle
  }
}

TEST(PersonGate, AsksTheFacesOncePerRegionAndForgivesAHeadTurnedAway) {
  PersonGate gate;
  int asks = 0;
  bool faces = true;
  const auto admit = [&](const cv::Rect& r) {
    cv::Mat mask(100, 100, CV_8UC1, cv::Scalar(127));
    mask(r).setTo(128);
    return gate.admits(mask, [&] { return ++asks, faces; });
  };
  const cv::Rect a{10, 10, 50, 80}, aMoved{12, 10, 50, 80}, b{60, 0, 40, 40};
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(admit(i % 2 ? aMoved : a));
  EXPECT_EQ(asks, 1);
  faces = false;  // three asks without a face are forgiven, the fourth is not
  for (int i = 0; i < 30; ++i) EXPECT_TRUE(admit(a));
  EXPECT_EQ(asks, 4);
  EXPECT_FALSE(admit(a));
  EXPECT_EQ(asks, 5);
  faces = true;  // another region, or nothing marked, forgets the decision
  EXPECT_TRUE(admit(b));
  EXPECT_FALSE(admit({}));
  EXPECT_TRUE(admit(b));
  EXPECT_EQ(asks, 7);
  faces = false;  // a region without a face stays refused while it holds
  EXPECT_FALSE(admit(a));
  faces = true;
  EXPECT_FALSE(admit(a));
  EXPECT_EQ(asks, 8);
}

TEST(ScaleMask, StretchesEachAxisOnItsOwnIntoTheSameStorage) {
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
      if (col < 9 || col > 10) {
        EXPECT_EQ(v, col < 9 ? 255 : 0) << row << "," << col;
      }
      EXPECT_NEAR(v, target[col], 1);  // fixed-point rounding
    }
  }
  // Another size: every byte rewritten; no mask: all zero.
  scaleMask(cv::Mat(144, 256, CV_8UC1, cv::Scalar(3)), target, 16, 16);
  ASSERT_EQ(target.size(), 256u);
  EXPECT_EQ(std::count(target.begin(), target.end(), 3), 256);
  scaleMask(cv::Mat(), target, 16, 16);
  EXPECT_EQ(std::count(target.begin(), target.end(), 0), 256);
}

}  // namespace
}  // namespace vision
