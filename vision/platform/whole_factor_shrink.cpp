#include "platform/whole_factor_shrink.hpp"

#include <opencv2/core/utility.hpp>

#include <cstdint>
#include <vector>

namespace vision {

bool shrinkByWholeFactor(const cv::Mat& from, cv::Mat& to) {
  if (from.depth() != CV_8U || to.type() != from.type() || to.empty() || from.cols % to.cols != 0 ||
      from.rows % to.rows != 0)
    return false;
  const int k = from.cols / to.cols;
  if (k < 3 || from.rows / to.rows != k || k > 16) return false;  // 16² × 255 fits 16 bits
  const int channels = from.channels();
  const size_t span = static_cast<size_t>(from.cols) * channels;
  const float scale = 1.0f / static_cast<float>(k * k);
  // In stripes of output rows on OpenCV's threads.
  cv::parallel_for_(cv::Range(0, to.rows), [&](const cv::Range& rows) {
    std::vector<uint16_t> sums(span);
    for (int y = rows.start; y < rows.end; ++y) {
      // The block's rows summed column by column (a loop the compiler
      // vectorises), then each block's columns.
      const uint8_t* first = from.ptr<uint8_t>(y * k);
      for (size_t i = 0; i < span; ++i) sums[i] = first[i];
      for (int r = 1; r < k; ++r) {
        const uint8_t* row = from.ptr<uint8_t>(y * k + r);
        for (size_t i = 0; i < span; ++i) sums[i] = static_cast<uint16_t>(sums[i] + row[i]);
      }
      uint8_t* out = to.ptr<uint8_t>(y);
      for (int x = 0; x < to.cols; ++x) {
        const uint16_t* block = sums.data() + static_cast<size_t>(x) * k * channels;
        for (int c = 0; c < channels; ++c) {
          unsigned total = 0;
          for (int j = 0; j < k; ++j) total += block[j * channels + c];
          out[x * channels + c] = cv::saturate_cast<uint8_t>(static_cast<float>(total) * scale);
        }
      }
    }
  });
  return true;
}

}  // namespace vision
