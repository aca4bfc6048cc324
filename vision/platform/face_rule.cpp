#include "platform/face_rule.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace vision {

namespace {

bool landmarksLikeAFace(const FaceBox& face, const FaceRule& rule, double width, double height) {
  const double boxWidth = (face.xMax - face.xMin) * width;
  const double boxHeight = (face.yMax - face.yMin) * height;
  if (!(boxWidth > 0 && boxHeight > 0)) return false;
  const auto x = [&](FaceKeypoint k) { return face.keypoints[2 * k] * width; };
  const auto y = [&](FaceKeypoint k) { return face.keypoints[2 * k + 1] * height; };
  // The face's right eye and ear are on the picture's left.
  const double eyeDx = x(leftEye) - x(rightEye);
  const double eyeDy = y(leftEye) - y(rightEye);
  const double eyeDistance = std::hypot(eyeDx, eyeDy);
  const double earSpan = x(leftEar) - x(rightEar);
  const double mouthDrop = y(mouth) - (y(leftEye) + y(rightEye)) / 2;
  return eyeDx > 0 && eyeDistance >= rule.minEyeDistance * boxWidth &&
         std::abs(eyeDy) <= rule.maxEyeSlope * eyeDistance &&
         earSpan >= rule.minEarSpan * boxWidth && mouthDrop >= rule.minMouthDrop * boxHeight &&
         mouthDrop <= rule.maxMouthDrop * boxHeight;
}

}  // namespace

double midToneShare(const cv::Mat& frame, const FaceBox& box) {
  const cv::Rect area = cv::Rect(cv::Point(static_cast<int>(box.xMin * frame.cols),
                                           static_cast<int>(box.yMin * frame.rows)),
                                 cv::Point(static_cast<int>(std::ceil(box.xMax * frame.cols)),
                                           static_cast<int>(std::ceil(box.yMax * frame.rows)))) &
                        cv::Rect(0, 0, frame.cols, frame.rows);
  if (area.empty()) return 0;
  size_t mid = 0;
  for (int r = area.y; r < area.y + area.height; ++r) {
    const uint8_t* p = frame.ptr<uint8_t>(r) + 4 * area.x;
    for (int c = 0; c < area.width; ++c, p += 4) {
      const int gray = (p[0] * 29 + p[1] * 150 + p[2] * 77) >> 8;
      mid += gray >= 32 && gray < 224;
    }
  }
  return static_cast<double>(mid) / area.area();
}

bool passesFaceRule(const FaceBox& face, const FaceRule& rule, const cv::Mat& frame) {
  if (face.score < rule.minScore) return false;
  const double side =
      std::max((face.xMax - face.xMin) * frame.cols, (face.yMax - face.yMin) * frame.rows);
  if (side < rule.minSide * std::max(frame.cols, frame.rows)) return false;
  if (rule.checkLandmarks && !landmarksLikeAFace(face, rule, frame.cols, frame.rows)) return false;
  return rule.minMidTones <= 0 || midToneShare(frame, face) >= rule.minMidTones;
}

}  // namespace vision
