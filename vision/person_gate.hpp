#pragma once
// Whether the region the segmentation network marks is a person, decided by
// the face networks (showsPerson in segment.cpp) and kept while the marked
// region stays the same one. Asking on every frame cost about 4.6 ms of CPU,
// half of segmenting, and a person who turns their head away for a moment
// would lose their mask on exactly those frames. So a decision holds while
// each frame's marked region overlaps the previous frame's (IoU >= 0.7: a
// person moving at 30 frames/s stays well above it, a cut to another
// picture falls below it), for at most kFramesPerDecision frames; then the
// faces are asked again. A person keeps their mask through kMissesForgiven
// such asks in a row that find no face (about a second at 30 frames/s).
// A region that changes, or a frame with nothing marked, forgets the
// decision: a new scene is asked about on its first frame.
#include <functional>

#include <opencv2/core.hpp>

namespace vision {

class PersonGate {
 public:
  static constexpr int kFramesPerDecision = 10;
  static constexpr int kMissesForgiven = 3;

  // Whether this frame's mask is kept. `mask`: the network's 8-bit mask
  // (bytes >= 128 marked); `facesThere` asks the face networks.
  bool admits(const cv::Mat& mask, const std::function<bool()>& facesThere);

 private:
  cv::Mat marked_;  // the previous frame's marked region
  bool person_ = false;
  int framesLeft_ = 0;  // frames the decision still holds; 0: ask
  int misses_ = 0;      // asks in a row without a face while a person
};

}  // namespace vision
