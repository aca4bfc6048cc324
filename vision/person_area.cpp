#include "person_area.hpp"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

namespace vision {

cv::Rect headArea(const cv::Mat& mask, cv::Size frame) {
  cv::Mat marked;
  cv::compare(mask, 128, marked, cv::CMP_GE);
  const cv::Rect box = cv::boundingRect(marked);
  if (box.empty()) return {};
  const double sx = static_cast<double>(frame.width) / mask.cols;
  const double sy = static_cast<double>(frame.height) / mask.rows;
  const int x0 = static_cast<int>(std::floor(box.x * sx));
  const int x1 = static_cast<int>(std::ceil((box.x + box.width) * sx));
  const int y0 = static_cast<int>(std::floor(box.y * sy));
  const int y1 = static_cast<int>(std::ceil((box.y + box.height) * sy));
  const int side = std::min(x1 - x0, y1 - y0);
  const cv::Rect area((x0 + x1 - side) / 2, y0, side, side);
  return area & cv::Rect(0, 0, frame.width, frame.height);
}

bool onMask(const cv::Mat& mask, double x, double y) {
  const int col = std::clamp(static_cast<int>(x * mask.cols), 0, mask.cols - 1);
  const int row = std::clamp(static_cast<int>(y * mask.rows), 0, mask.rows - 1);
  return mask.at<uint8_t>(row, col) >= 128;
}

}  // namespace vision
