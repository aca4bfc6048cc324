#pragma once
// Fitting a segmentation mask to the frame it answers.
#include <opencv2/core.hpp>

#include <cstdint>
#include <vector>

namespace vision {

// Stretches an 8-bit one-channel `mask` of any size to exactly
// targetWidth × targetHeight bytes in `target` (rows top first, no padding),
// scaling each axis on its own with bilinear interpolation. Every byte of
// `target` is rewritten; its storage is kept when it already has that size.
void scaleMask(const cv::Mat& mask, std::vector<uint8_t>& target, int64_t targetWidth,
               int64_t targetHeight);

}  // namespace vision
