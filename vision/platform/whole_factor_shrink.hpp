#pragma once
// Shrinking an 8-bit image by a whole factor k ≥ 3, each pixel the mean of
// the k × k block it covers, rounded as OpenCV rounds: what cv::resize with
// INTER_AREA computes for such a factor, in under half its time (OpenCV 4.6
// vectorises only halving). A 1280 × 720 frame shrinks to a face network's
// 256 × 144 this way.
#include <opencv2/core.hpp>

namespace vision {

// Fills `to` (already sized, any number of channels matching `from`) when
// `from` is exactly k times its size for a whole k ≥ 3; otherwise returns
// false and leaves `to` alone.
bool shrinkByWholeFactor(const cv::Mat& from, cv::Mat& to);

}  // namespace vision
