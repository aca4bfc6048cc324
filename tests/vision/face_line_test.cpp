#include "face_line.hpp"

#include <gtest/gtest.h>

namespace vision {
namespace {

// Boxes with a lower-left origin: x, y (bottom edge), width, height.
NormalizedRect rect(double x, double y, double w, double h) { return {x, y, w, h}; }

TEST(FaceLine, NullWithoutFaces) { EXPECT_EQ(faceLine({}), "null\n"); }

TEST(FaceLine, TheLargestAreaWinsAndTheFirstListedWinsATie) {
  // Listed small, large, medium.
  EXPECT_EQ(
      faceLine({rect(0.1, 0.1, 0.1, 0.1), rect(0.5, 0.2, 0.3, 0.4), rect(0.2, 0.2, 0.2, 0.2)}),
      "{\"x\":0.5000,\"y\":0.4000,\"w\":0.3000,\"h\":0.4000}\n");
  // Equal areas, different shapes: the earlier one stays.
  const std::vector<NormalizedRect> tie = {rect(0.1, 0.1, 0.2, 0.4), rect(0.6, 0.1, 0.4, 0.2)};
  EXPECT_EQ(largestFace(tie), &tie[0]);
  EXPECT_EQ(faceLine(tie), "{\"x\":0.1000,\"y\":0.5000,\"w\":0.2000,\"h\":0.4000}\n");
}

TEST(FaceLine, TopLeftOriginAndPrintfRounding) {
  // Top edge at the image's top: y is 0.
  EXPECT_EQ(faceLine({rect(0.25, 0.6, 0.3125, 0.4)}),
            "{\"x\":0.2500,\"y\":0.0000,\"w\":0.3125,\"h\":0.4000}\n");
  // Reaching past the top and the left: negative values keep their sign.
  EXPECT_EQ(faceLine({rect(-0.05, 0.8, 0.3, 0.25)}),
            "{\"x\":-0.0500,\"y\":-0.0500,\"w\":0.3000,\"h\":0.2500}\n");
  EXPECT_EQ(faceLine({rect(0.123456, 0.5, 0.41666666, 0.1)}),
            "{\"x\":0.1235,\"y\":0.4000,\"w\":0.4167,\"h\":0.1000}\n");
}

}  // namespace
}  // namespace vision
