#pragma once
// The person-segmentation service: MediaPipe's selfie-segmentation networks,
// built into the program, run with OpenCV's dnn module.
#include <opencv2/core.hpp>

#include <cstdint>
#include <memory>
#include <optional>

#include "pixel_buffer.hpp"
#include "platform/tflite_network.hpp"

namespace vision {

// The two networks: a square one (256 × 256) and a landscape one (256 wide,
// 144 high).
enum class SegmentationModel { general, landscape };

// The network whose input shape suits a frame of this size better: the one
// whose aspect ratio is nearer the frame's (by ratio, not difference), the
// square one on a tie.
SegmentationModel segmentationModelFor(int64_t frameWidth, int64_t frameHeight);

// The two networks, each built on the first frame that needs it and kept.
class Segmenter {
 public:
  // The person mask of a frame at the network's own size: 8-bit, one
  // channel, 0 where the network sees no person up to 255, rows top first.
  // The frame is stretched to the network's input on each axis. Nothing when
  // the service has no mask to give (the networks here always give one;
  // callers still handle the case). Throws VisionError when the network
  // cannot be built or run.
  std::optional<cv::Mat> segment(const PixelBuffer& buffer);

 private:
  std::unique_ptr<TfliteNetwork> networks_[2];  // general, landscape
};

}  // namespace vision
