#pragma once
// Face rectangles in a frame, as the face-detection service gives them.
#include <memory>
#include <vector>

#include <opencv2/core.hpp>

#include "pixel_buffer.hpp"
#include "platform/blazeface_decoding.hpp"
#include "platform/normalized_rect.hpp"
#include "platform/xnnpack_network.hpp"

namespace vision {

struct BlazeFaceModel;

// What the caller needs of a frame's faces.
enum class FaceSearch {
  every,    // all faces of every size the detector covers
  largest,  // the largest face: smaller ones may be left out
};

// The two BlazeFace networks, loaded on the first frame and kept, with the
// buffers they reuse for every frame.
class FaceDetector {
 public:
  FaceDetector();
  ~FaceDetector();
  FaceDetector(const FaceDetector&) = delete;
  FaceDetector& operator=(const FaceDetector&) = delete;

  // Faces in the service's order, each a normalised box with a lower-left
  // origin. Throws VisionError when detection fails.
  std::vector<NormalizedRect> detect(const PixelBuffer& buffer,
                                     FaceSearch search = FaceSearch::every);

  // Faces in `area` of the frame (pixels), found by the small-face network
  // with the area scaled whole into a square input of 96 pixels. Boxes in
  // fractions of the frame, origin top-left, best first. Throws VisionError
  // when detection fails.
  std::vector<FaceBox> facesIn(const PixelBuffer& buffer, const cv::Rect& area);

 private:
  struct Networks;
  NetworkThreads& threads();
  NetworkThreads threads_;
  std::unique_ptr<Networks> networks_;
  std::unique_ptr<BlazeFaceModel> inPart_;  // the small-face network for facesIn
};

}  // namespace vision
