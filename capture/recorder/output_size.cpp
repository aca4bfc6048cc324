#include "recorder/output_size.hpp"

#include <algorithm>
#include <limits>

#include "platform/writer.hpp"

namespace capture {

namespace {

constexpr int64_t kSmallestMaxWidth = 320;
constexpr int64_t kDefaultFrameRate = 30;
constexpr int64_t kMinimumFrameRate = 1;
constexpr int64_t kMaximumFrameRate = 60;
constexpr int64_t kBitRateFloor = 6000000;

// Drops the fraction, saturating where the double lies beyond int64: a
// height close to the int64 limit can round up to 2^63 on its way through double.
int64_t truncateToInt64(double value) {
  constexpr double limit = 9223372036854775808.0;  // 2^63
  if (value >= limit) return std::numeric_limits<int64_t>::max();
  if (value < -limit) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(value);
}

}  // namespace

OutputSize recordingSize(int64_t width, int64_t height, std::optional<int64_t> maxWidth) {
  if (maxWidth && *maxWidth >= kSmallestMaxWidth && *maxWidth < width) {
    height = truncateToInt64(static_cast<double>(*maxWidth) * static_cast<double>(height) /
                             static_cast<double>(width));
    width = *maxWidth;
  }
  // The remainder takes the sign of the dividend, so this never overflows.
  return OutputSize{width - width % 2, height - height % 2};
}

int32_t captureFrameRate(std::optional<int64_t> fps) {
  if (!fps) return static_cast<int32_t>(kDefaultFrameRate);
  return static_cast<int32_t>(std::clamp(*fps, kMinimumFrameRate, kMaximumFrameRate));
}

int64_t expectedSourceFrameRate(std::optional<int64_t> fps) {
  return std::min(fps.value_or(kDefaultFrameRate), platform::kMaxExpectedSourceFrameRate);
}

std::optional<int64_t> videoAverageBitRate(int64_t width, int64_t height) {
  int64_t product;
  if (__builtin_mul_overflow(width, height, &product) ||
      __builtin_mul_overflow(product, int64_t{4}, &product))
    return std::nullopt;
  return std::max(product, kBitRateFloor);
}

}  // namespace capture
