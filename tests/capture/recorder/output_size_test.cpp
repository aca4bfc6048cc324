#include "recorder/output_size.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

TEST(RecordingSize, MaxWidthNarrowsInProportionWithTheFractionDropped) {
  EXPECT_EQ(recordingSize(3024, 1964, 1920), (OutputSize{1920, 1246}));
  EXPECT_EQ(recordingSize(2880, 1800, 1280), (OutputSize{1280, 800}));
  EXPECT_EQ(recordingSize(2880, 1800, 1281), (OutputSize{1280, 800}));  // 1281 × 800.6
  EXPECT_EQ(recordingSize(2880, 1800, 320), (OutputSize{320, 200}));
}

TEST(RecordingSize, MaxWidthBelow320OrNotSmallerLeavesTheSizeAlone) {
  EXPECT_EQ(recordingSize(2880, 1800, 300), (OutputSize{2880, 1800}));
  EXPECT_EQ(recordingSize(2880, 1800, 319), (OutputSize{2880, 1800}));
  EXPECT_EQ(recordingSize(2880, 1800, 2880), (OutputSize{2880, 1800}));
  EXPECT_EQ(recordingSize(2880, 1800, 5000), (OutputSize{2880, 1800}));
  EXPECT_EQ(recordingSize(2880, 1800, -4000), (OutputSize{2880, 1800}));
  EXPECT_EQ(recordingSize(2880, 1800, std::nullopt), (OutputSize{2880, 1800}));
}

TEST(RecordingSize, OddSidesLoseOnePixelTowardZero) {
  EXPECT_EQ(recordingSize(1501, 1001, std::nullopt), (OutputSize{1500, 1000}));
  EXPECT_EQ(recordingSize(-3, -5, std::nullopt), (OutputSize{-2, -4}));
  EXPECT_EQ(recordingSize(0, 1, std::nullopt), (OutputSize{0, 0}));
  EXPECT_EQ(recordingSize(kMax, kMin, std::nullopt), (OutputSize{kMax - 1, kMin}));
}

TEST(RecordingSize, AbsurdHeightsSaturateInsteadOfOverflowing) {
  EXPECT_EQ(recordingSize(kMax, kMax, 4000), (OutputSize{4000, 4000}));
  // In doubles the proportion of these comes to exactly ±2^63.
  EXPECT_EQ(recordingSize(kMax, kMax, kMax - 1), (OutputSize{kMax - 1, kMax - 1}));
  EXPECT_EQ(recordingSize(kMax, kMin, kMax - 1), (OutputSize{kMax - 1, kMin}));
}

TEST(FrameRates, CaptureRateIsClampedButTheExpectedRateIsNot) {
  EXPECT_EQ(captureFrameRate(std::nullopt), 30);
  EXPECT_EQ(expectedSourceFrameRate(std::nullopt), 30);
  EXPECT_EQ(captureFrameRate(0), 1);
  EXPECT_EQ(expectedSourceFrameRate(0), 0);
  EXPECT_EQ(captureFrameRate(-5), 1);
  EXPECT_EQ(expectedSourceFrameRate(-5), -5);
  EXPECT_EQ(captureFrameRate(120), 60);
  EXPECT_EQ(expectedSourceFrameRate(120), 120);
  EXPECT_EQ(captureFrameRate(kMax), 60);
  EXPECT_EQ(captureFrameRate(kMin), 1);
  EXPECT_EQ(captureFrameRate(24), 24);
}

TEST(VideoBitRate, FourBitsPerPixelWithAFloorAndNoOverflow) {
  EXPECT_EQ(videoAverageBitRate(1920, 1246), 4 * 1920 * 1246);
  EXPECT_EQ(videoAverageBitRate(1280, 800), 6000000);
  EXPECT_EQ(videoAverageBitRate(0, 0), 6000000);
  EXPECT_EQ(videoAverageBitRate(-2000, 2000), 6000000);
  EXPECT_EQ(videoAverageBitRate(1LL << 31, 1LL << 30), std::nullopt);  // 2^63
  EXPECT_EQ(videoAverageBitRate(1LL << 30, 1LL << 30), 1LL << 62);
  EXPECT_EQ(videoAverageBitRate(kMax, 2), std::nullopt);
  EXPECT_EQ(videoAverageBitRate(kMin, -1), std::nullopt);
  EXPECT_EQ(videoAverageBitRate(-(1LL << 31), 1LL << 30), 6000000);  // -2^63 fits
}

}  // namespace
