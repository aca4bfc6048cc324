#include "platform/face_detector.hpp"

#include <algorithm>
#include <exception>
#include <string>

#include <opencv2/core.hpp>

#include "blazeface_back_256.h"
#include "blazeface_front_128.h"
#include "platform/blazeface_model.hpp"
#include "platform/opencv_error.hpp"

namespace vision {

// Two BlazeFace networks cover the range of face sizes a desktop detector
// meets. On a 16:9 frame the 256-pixel "back" network finds faces from about
// 4 % to 30 % of the frame width (a small webcam picture or a video-call tile
// in a screen recording), the 128-pixel "front" network from about 8 % to
// 40 % (a webcam close-up). Their boxes are merged, so a face anywhere in
// 4 %..40 % is found.
//
// The 128 network costs a quarter of the 256 one and runs first. When only
// the largest face is wanted and it finds one, the 256 network is skipped:
// what it alone would add are faces below the 128 network's reach, smaller
// than the one already found.

namespace {

constexpr float minScore = 0.5f;
constexpr float mergeOverlap = 0.3f;

}  // namespace

struct FaceDetector::Networks {
  BlazeFaceModel front;
  BlazeFaceModel back;
  std::vector<FaceBox> boxes;
};

FaceDetector::FaceDetector() = default;
FaceDetector::~FaceDetector() = default;

std::vector<NormalizedRect> FaceDetector::detect(const PixelBuffer& buffer, FaceSearch search) {
  try {
    if (!networks_) {
      auto loaded = std::make_unique<Networks>();
      loaded->front =
          loadBlazeFace(blazeface_front_128, blazeface_front_128_size, 128, {8, 16, 16, 16});
      loaded->back =
          loadBlazeFace(blazeface_back_256, blazeface_back_256_size, 256, {16, 32, 32, 32});
      networks_ = std::move(loaded);
    }
    Networks& d = *networks_;
    const cv::Mat image(static_cast<int>(buffer.height), static_cast<int>(buffer.width), CV_8UC4,
                        buffer.baseAddress, buffer.bytesPerRow);
    // The front network sees the frame as the back one does, halved: one pass
    // over the full-size frame serves both.
    letterboxInto(d.back, image);
    d.boxes = runBlazeFace(d.front, d.back.canvas(d.back.area), minScore);
    if (search == FaceSearch::every || d.boxes.empty()) {
      const std::vector<FaceBox> small = runOnCanvas(d.back, minScore);
      d.boxes.insert(d.boxes.end(), small.begin(), small.end());
    }

    std::vector<NormalizedRect> faces;
    for (const FaceBox& box : weightedNonMaxSuppression(std::move(d.boxes), mergeOverlap))
      faces.push_back({box.xMin, 1.0 - box.yMax, static_cast<double>(box.xMax) - box.xMin,
                       static_cast<double>(box.yMax) - box.yMin});
    return faces;
  } catch (const cv::Exception& e) {
    throw VisionError(describe(e));
  } catch (const VisionError&) {
    throw;
  } catch (const std::exception& e) {
    throw VisionError(e.what());
  }
}

}  // namespace vision
