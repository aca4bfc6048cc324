#include "recorder/output_size.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <tuple>

namespace capture {

namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr std::nullopt_t kNone = std::nullopt;

TEST(OutputArithmetic, SizesRatesAndBitRates) {
  // maxWidth narrows only from 320 up and below the width, the height in
  // proportion with the fraction dropped; odd sides lose one pixel toward
  // zero; heights beyond int64 saturate (in doubles these come to ±2^63).
  const auto size = [](int64_t w, int64_t h, std::optional<int64_t> max, int64_t ew, int64_t eh) {
    return std::tuple(w, h, max, OutputSize{ew, eh});
  };
  for (const auto& [width, height, maxWidth, expected] :
       {size(3024, 1964, 1920, 1920, 1246), size(2880, 1800, 1281, 1280, 800),
        size(2880, 1800, 320, 320, 200), size(2880, 1800, 319, 2880, 1800),
        size(2880, 1800, 2880, 2880, 1800), size(2880, 1800, -4000, 2880, 1800),
        size(1501, 1001, kNone, 1500, 1000), size(-3, -5, kNone, -2, -4),
        size(kMax, kMin, kNone, kMax - 1, kMin), size(kMax, kMax, 4000, 4000, 4000),
        size(kMax, kMax, kMax - 1, kMax - 1, kMax - 1), size(kMax, kMin, kMax - 1, kMax - 1, kMin)})
    EXPECT_EQ(recordingSize(width, height, maxWidth), expected)
        << width << "x" << height << " at most " << maxWidth.value_or(0);

  // The capture rate is held to 1..60, the rate the encoder expects to at most
  // what a writer takes (1000); 30 when absent.
  const std::tuple<std::optional<int64_t>, int32_t, int64_t> rates[] = {
      {kNone, 30, 30},  {0, 1, 0},        {-5, 1, -5},      {24, 24, 24},   {120, 60, 120},
      {1000, 60, 1000}, {5000, 60, 1000}, {kMax, 60, 1000}, {kMin, 1, kMin}};
  for (const auto& [fps, capture, expected] : rates) {
    EXPECT_EQ(captureFrameRate(fps), capture) << fps.value_or(-1);
    EXPECT_EQ(expectedSourceFrameRate(fps), expected) << fps.value_or(-1);
  }

  // Four bits a pixel, at least 6 Mbit/s, nothing when it overflows.
  // -2^63 fits.
  const auto rate = [](int64_t w, int64_t h, std::optional<int64_t> r) {
    return std::tuple(w, h, r);
  };
  for (const auto& [width, height, expected] :
       {rate(1920, 1246, 4 * 1920 * 1246), rate(1280, 800, 6000000), rate(-2000, 2000, 6000000),
        rate(1LL << 30, 1LL << 30, 1LL << 62), rate(1LL << 31, 1LL << 30, kNone),
        rate(kMax, 2, kNone), rate(kMin, -1, kNone), rate(-(1LL << 31), 1LL << 30, 6000000)})
    EXPECT_EQ(videoAverageBitRate(width, height), expected) << width << "x" << height;
}

}  // namespace

}  // namespace capture
