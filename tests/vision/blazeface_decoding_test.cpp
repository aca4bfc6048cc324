#include "platform/blazeface_decoding.hpp"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <vector>

#include "blazeface_back_256.h"
#include "platform/blazeface_model.hpp"

namespace vision {
namespace {

TEST(SsdAnchors, BothBlazeFaceLayoutsHave896AnchorsInGridOrder) {
  for (const auto& [size, strides] :
       {std::pair{128, std::vector{8, 16, 16, 16}}, std::pair{256, std::vector{16, 32, 32, 32}}}) {
    const auto anchors = ssdAnchors(size, strides);
    ASSERT_EQ(anchors.size(), 896u);
    // 16 × 16 cells with 2 anchors each, then 8 × 8 cells with 6 each.
    EXPECT_FLOAT_EQ(anchors[0].x, 0.5f / 16);
    EXPECT_FLOAT_EQ(anchors[1].x, 0.5f / 16);
    EXPECT_FLOAT_EQ(anchors[2].x, 1.5f / 16);
    EXPECT_FLOAT_EQ(anchors[32].y, 1.5f / 16);
    EXPECT_FLOAT_EQ(anchors[511].x, 15.5f / 16);
    EXPECT_FLOAT_EQ(anchors[512].x, 0.5f / 8);
    EXPECT_FLOAT_EQ(anchors[517].x, 0.5f / 8);
    EXPECT_FLOAT_EQ(anchors[518].x, 1.5f / 8);
    EXPECT_FLOAT_EQ(anchors[512 + 6 * 8].y, 1.5f / 8);
    EXPECT_FLOAT_EQ(anchors[895].y, 7.5f / 8);
  }
}

TEST(DecodeBoxes, OffsetsAndSizesAreInInputPixelsAroundTheAnchor) {
  const std::vector<AnchorCenter> anchors = {{0.25f, 0.25f}, {0.5f, 0.75f}, {0.5f, 0.5f}};
  std::vector<float> scores = {1000.0f, 0.0f, -1000.0f};  // clipped, then sigmoid
  std::vector<float> boxes(3 * 16, 0.0f);
  boxes[0] = 12.8f;  // x offset: 0.1 of a 128 input
  boxes[1] = -6.4f;  // y offset: -0.05
  boxes[2] = 25.6f;  // width 0.2
  boxes[3] = 51.2f;  // height 0.4
  boxes[15] = 6.4f;  // left ear's y offset: 0.05
  boxes[16 + 2] = 12.8f;
  boxes[16 + 3] = 12.8f;
  const auto found = decodeBoxes(scores.data(), boxes.data(), anchors, 128, 0.5f);
  ASSERT_EQ(found.size(), 2u);  // the third scores ~0
  EXPECT_FLOAT_EQ(found[0].score, 1.0f);
  EXPECT_FALSE(std::isnan(found[0].score));
  EXPECT_NEAR(found[0].xMin, 0.25f, 1e-6);
  EXPECT_NEAR(found[0].xMax, 0.45f, 1e-6);
  EXPECT_NEAR(found[0].yMin, 0.0f, 1e-6);
  EXPECT_NEAR(found[0].yMax, 0.4f, 1e-6);
  EXPECT_NEAR(found[0].keypoints[2 * leftEar + 1], 0.3f, 1e-6);
  EXPECT_NEAR(found[0].keypoints[2 * leftEar], 0.25f, 1e-6);
  EXPECT_FLOAT_EQ(found[1].score, 0.5f);
  EXPECT_NEAR(found[1].xMin, 0.45f, 1e-6);
  EXPECT_NEAR(found[1].yMax, 0.8f, 1e-6);
}

TEST(WeightedNonMaxSuppression, MergesOverlapsByScoreAndKeepsTheRest) {
  const std::vector<FaceBox> boxes = {
      {0.10f, 0.10f, 0.30f, 0.30f, 0.6f},  // overlaps the best one (IoU 0.68)
      {0.70f, 0.70f, 0.90f, 0.90f, 0.7f},  // apart
      {0.12f, 0.12f, 0.32f, 0.32f, 0.9f},  // the best
      {0.20f, 0.20f, 0.40f, 0.40f, 0.8f},  // IoU 0.22 with the best: kept apart
  };
  const auto kept = weightedNonMaxSuppression(boxes, 0.3f);
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_FLOAT_EQ(kept[0].score, 0.9f);
  EXPECT_NEAR(kept[0].xMin, (0.12f * 0.9f + 0.10f * 0.6f) / 1.5f, 1e-6);
  EXPECT_NEAR(kept[0].yMax, (0.32f * 0.9f + 0.30f * 0.6f) / 1.5f, 1e-6);
  EXPECT_FLOAT_EQ(kept[1].score, 0.8f);
  EXPECT_FLOAT_EQ(kept[1].xMin, 0.20f);
  EXPECT_FLOAT_EQ(kept[2].score, 0.7f);
  EXPECT_TRUE(weightedNonMaxSuppression({}, 0.3f).empty());
}

TEST(IntersectionOverUnion, EmptyAndDisjointBoxesDoNotOverlap) {
  EXPECT_FLOAT_EQ(intersectionOverUnion({0, 0, 1, 1, 1}, {0, 0, 1, 1, 1}), 1.0f);
  EXPECT_FLOAT_EQ(intersectionOverUnion({0, 0, 1, 1, 1}, {0.5f, 0, 1.5f, 1, 1}), 1.0f / 3);
  EXPECT_FLOAT_EQ(intersectionOverUnion({0, 0, 1, 1, 1}, {2, 2, 3, 3, 1}), 0.0f);
  EXPECT_FLOAT_EQ(intersectionOverUnion({0, 0, 0, 0, 1}, {0, 0, 0, 0, 1}), 0.0f);
}

TEST(BlazeFaceModel, TakesTheFramesAspectWithItsAnchors) {
  const struct {
    cv::Size frame, input;
  } cases[] = {{{1280, 720}, {256, 160}},
               {{720, 1280}, {160, 256}},
               {{640, 640}, {256, 256}},
               {{4096, 16}, {256, 32}}};
  for (const auto& c : cases) {
    const BlazeFaceModel m = loadBlazeFaceFor(c.frame, blazeface_back_256, blazeface_back_256_size,
                                              256, {16, 32, 32, 32});
    EXPECT_EQ(cv::Size(m.inputWidth, m.inputHeight), c.input);
    EXPECT_EQ(m.anchors.size(), c.input.area() / 256 * 2 + c.input.area() / 1024 * 6);
  }
}

// The letterbox averages the pixels each input pixel covers: exactly for a
// whole factor, nearly where a whole-factor shrink goes first.
TEST(BlazeFaceModel, LetterboxAveragesWhatEachInputPixelCovers) {
  BlazeFaceModel m = loadBlazeFaceFor({1280, 720}, blazeface_back_256, blazeface_back_256_size, 256,
                                      {16, 32, 32, 32});
  const struct {
    cv::Size frame;
    double worst;
  } cases[] = {
      {{1280, 720}, 0}, {{1920, 1080}, 6}, {{640, 480}, 6}, {{1000, 700}, 6}, {{1001, 701}, 0}};
  for (const auto& c : cases) {
    cv::Mat frame(c.frame, CV_8UC4);
    cv::randu(frame, 0, 256);
    cv::GaussianBlur(frame, frame, {0, 0}, 4);
    letterboxInto(m, frame);
    cv::Mat want;
    cv::resize(frame, want, m.area.size(), 0, 0, cv::INTER_AREA);
    EXPECT_LE(cv::norm(m.canvas(m.area), want, cv::NORM_INF), c.worst) << c.frame;
  }
}

}  // namespace
}  // namespace vision
