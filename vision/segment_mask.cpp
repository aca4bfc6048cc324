#include "segment_mask.hpp"

#include <opencv2/imgproc.hpp>

namespace vision {

void scaleMask(const cv::Mat& mask, std::vector<uint8_t>& target, int64_t targetWidth,
               int64_t targetHeight) {
  const size_t bytes = static_cast<size_t>(targetWidth) * static_cast<size_t>(targetHeight);
  if (target.size() != bytes) target.resize(bytes);
  cv::Mat dst(static_cast<int>(targetHeight), static_cast<int>(targetWidth), CV_8UC1,
              target.data());
  if (mask.empty()) {
    dst.setTo(0);
    return;
  }
  CV_Assert(mask.type() == CV_8UC1);
  // The destination already has the size and type asked for, so OpenCV
  // writes into it instead of allocating.
  cv::resize(mask, dst, dst.size(), 0, 0, cv::INTER_LINEAR);
  CV_Assert(dst.data == target.data());
}

}  // namespace vision
