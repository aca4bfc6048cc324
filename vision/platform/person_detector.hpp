#pragma once
// Whether a frame shows a person: MediaPipe's pose detector (BlazePose's
// person detector, 224 × 224, built into the program), run with OpenCV's dnn
// module through the TensorFlow Lite reader. The selfie-segmentation network
// marks parts of photographs without anyone in them (fruit, a house, an
// animal) as person; its mask is used only where this detector finds one.
#include <memory>

#include "pixel_buffer.hpp"
#include "platform/tflite_network.hpp"

namespace vision {

// The detector's decision: its best anchor's score (sigmoid of the logit) at
// least this. Measured on Debian's opencv-doc photographs, as they are and
// stretched to 1280x720 and 500x600: people (portraits, webcam pictures,
// action and group shots) scored 0.60 to 0.94, but for some squeezed by the
// stretching or small in a street (0.24 to 0.49) and two half-hidden in a
// cockpit (0.23); photographs without people at most 0.59 (a fish, stretched),
// mostly under 0.3. MediaPipe's own default is 0.5.
inline constexpr float minPersonScore = 0.6f;

class PersonDetector {
 public:
  PersonDetector();
  ~PersonDetector();
  PersonDetector(const PersonDetector&) = delete;
  PersonDetector& operator=(const PersonDetector&) = delete;

  // The best score over the frame, 0..1; the network is built on the first
  // call. Throws VisionError when it cannot be built or run.
  float personScore(const PixelBuffer& buffer);

 private:
  struct Network;
  std::unique_ptr<Network> network_;
};

}  // namespace vision
