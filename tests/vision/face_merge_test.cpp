// The decision whether a network's box is a face, and the merge of both
// networks' faces into one box per face.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include <vector>

#include "platform/face_merge.hpp"
#include "platform/face_rule.hpp"

namespace vision {
namespace {

// A face in a 100 × 100 box at (100, 100) of a 400 × 400 frame: eyes, nose,
// mouth, ears (pixels), moved by `change`.
FaceBox face(float score, std::vector<float> change = {}) {
  std::vector<float> at = {130, 140, 170, 140, 150, 160, 150, 185, 105, 150, 195, 150};
  for (size_t i = 0; i < change.size(); i += 2) at[static_cast<size_t>(change[i])] = change[i + 1];
  FaceBox box{0.25f, 0.25f, 0.5f, 0.5f, score, {}};
  for (size_t i = 0; i < at.size(); ++i) box.keypoints[i] = at[i] / 400;
  return box;
}

TEST(FaceRule, LandmarksScoreAndTonesDecide) {
  const FaceRule rule{0.4f, true, 0.25f, 0.55f, 0.6f, 0.25f, 0.6f, 0.5f};
  cv::Mat photo(400, 400, CV_8UC4, cv::Scalar(90, 120, 160, 255));
  const cv::Mat ink(400, 400, CV_8UC4, cv::Scalar::all(255));
  const struct {
    FaceBox box;
    const cv::Mat& frame;
    bool passes;
  } cases[] = {
      {face(0.9f), photo, true},
      {face(0.3f), photo, false},                     // score
      {face(0.9f, {2, 150}), photo, false},           // eyes 20 px apart
      {face(0.9f, {1, 175}), photo, false},           // eye line rising 35 over 40
      {face(0.9f, {8, 135, 10, 165}), photo, false},  // ears inside the eyes
      {face(0.9f, {7, 135}), photo, false},           // mouth level with the eyes
      {face(0.9f, {0, 170, 2, 130}), photo, false},   // eyes swapped
      {face(0.9f), ink, false},                       // paper, no mid-tones
  };
  for (const auto& c : cases) EXPECT_EQ(passesFaceRule(c.box, rule, c.frame), c.passes);
  EXPECT_TRUE(
      passesFaceRule(face(0.9f), FaceRule{0.5f, true, 0.25f, 0.55f, 0.6f, 0.15f, 0.65f, 0}, ink));
}

TEST(MergeFaces, OneBoxPerFaceWithTheCloseUpGeometryWhereItSeesTheFace) {
  const FaceBox closeUp{0.40f, 0.40f, 0.60f, 0.60f, 0.7f, {}};
  const FaceBox sameSmall{0.41f, 0.42f, 0.61f, 0.62f, 0.9f, {}};  // same face, better score
  const FaceBox inside{0.45f, 0.45f, 0.55f, 0.55f, 0.8f, {}};     // part of it, or the face
  const FaceBox apart{0.10f, 0.10f, 0.20f, 0.20f, 0.6f, {}};
  const struct {
    std::vector<FaceBox> closeUp, small, expected;
  } cases[] = {
      {{closeUp}, {sameSmall}, {{0.40f, 0.40f, 0.60f, 0.60f, 0.9f, {}}}},
      {{}, {apart}, {asCloseUpBox(apart)}},
      {{closeUp}, {inside}, {asCloseUpBox(inside)}},  // the better score wins
      {{FaceBox{0.40f, 0.40f, 0.60f, 0.60f, 0.95f, {}}},
       {inside},
       {{0.40f, 0.40f, 0.60f, 0.60f, 0.95f, {}}}},
      {{closeUp},
       {apart, sameSmall},
       {{0.40f, 0.40f, 0.60f, 0.60f, 0.9f, {}}, asCloseUpBox(apart)}},
  };
  for (const auto& c : cases) {
    const std::vector<FaceBox> merged = mergeFaces(c.closeUp, c.small, 0.3f);
    ASSERT_EQ(merged.size(), c.expected.size());
    for (size_t i = 0; i < merged.size(); ++i) {
      EXPECT_FLOAT_EQ(merged[i].xMin, c.expected[i].xMin);
      EXPECT_FLOAT_EQ(merged[i].yMax, c.expected[i].yMax);
      EXPECT_FLOAT_EQ(merged[i].score, c.expected[i].score);
    }
  }
}

}  // namespace
}  // namespace vision
