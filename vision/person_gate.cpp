#include "person_gate.hpp"

namespace vision {

namespace {

// Intersection over union of two marked regions; 0 when they differ in size
// or both are empty.
double overlap(const cv::Mat& a, const cv::Mat& b) {
  if (a.size() != b.size()) return 0;
  cv::Mat both, either;
  cv::bitwise_and(a, b, both);
  cv::bitwise_or(a, b, either);
  const int union_ = cv::countNonZero(either);
  return union_ > 0 ? static_cast<double>(cv::countNonZero(both)) / union_ : 0;
}

}  // namespace

bool PersonGate::admits(const cv::Mat& mask, const std::function<bool()>& facesThere) {
  cv::Mat marked;
  cv::compare(mask, 128, marked, cv::CMP_GE);
  const bool nothing = cv::countNonZero(marked) == 0;
  if (nothing || overlap(marked, marked_) < 0.7) {
    framesLeft_ = 0;
    person_ = false;
    misses_ = 0;
  }
  marked_ = marked;
  if (nothing) return false;
  if (framesLeft_ > 0) {
    --framesLeft_;
    return person_;
  }
  framesLeft_ = kFramesPerDecision - 1;
  if (facesThere()) {
    person_ = true;
    misses_ = 0;
  } else if (person_ && misses_ < kMissesForgiven) {
    ++misses_;
  } else {
    person_ = false;
  }
  return person_;
}

}  // namespace vision
