#pragma once
// Where a person's head would be, from the segmentation network's mask. The
// selfie network marks people well, but it also marks large, confident
// regions of photographs without anyone in them: on 31 opencv-doc photographs
// without people it marked up to 69 % of the frame (an orange), up to 96 % of
// those bytes at 230 or more (an apple), in one connected region, as on a
// portrait, so no statistic of its output tells the two apart. A person before a camera shows
// a face at the top of what the network marks, so the mask is kept only when
// the face networks find one there (FaceDetector::facesIn).
#include <opencv2/core.hpp>

namespace vision {

// The top of the region the mask marks (bytes >= 128), in frame pixels: a
// square as large as the marked region's bounding box allows, at the box's
// top, centred across it (a standing person's head and shoulders, a sitting
// person's head and body, the middle of a group). Empty when nothing is
// marked. `mask` is 8-bit and covers the whole frame, stretched on each axis.
cv::Rect headArea(const cv::Mat& mask, cv::Size frame);

// Whether the point (fractions of the frame, origin top-left) lies on the
// mask's marked region.
bool onMask(const cv::Mat& mask, double x, double y);

}  // namespace vision
