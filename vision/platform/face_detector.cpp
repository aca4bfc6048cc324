#include "platform/face_detector.hpp"

#include <algorithm>
#include <exception>
#include <string>

#include <opencv2/core.hpp>

#include "blazeface_back_256.h"
#include "blazeface_front_128.h"
#include "platform/blazeface_model.hpp"
#include "platform/face_merge.hpp"
#include "platform/face_rule.hpp"
#include "platform/opencv_error.hpp"

namespace vision {

// Two BlazeFace networks cover the range of face sizes a desktop detector
// meets. On a 16:9 frame the 256-pixel "back" network (small faces) finds
// faces from about 4 % to 40 % of the frame width (a small webcam picture or
// a video-call tile in a screen recording), the 128-pixel "front" network
// (close-ups) from about 8 % to 40 % and more (a webcam close-up). Each
// network's boxes that pass the face rule are suppressed within the network,
// then merged into one set with the front network's geometry preferred.
//
// When only the largest face is wanted and the front network is sure of a
// face in its own range (a score of 0.85 or more, at least 12 % of the
// frame), the back network is skipped: a webcam close-up costs one network.
// On the evaluation set faces mode answered the same faces as with both
// networks on every frame, and the moving portrait the same box as text
// mode's largest on every frame; a lower score let the front network's
// oversized boxes around small faces through.

namespace {

constexpr float mergeOverlap = 0.3f;
// Both networks' boxes must look like a face (see face_rule.hpp). The
// thresholds are measured on the evaluation set (bench/vision_face_eval.cpp).
// The close-up network boxed no letter or interface picture there; its
// landmark thresholds are the loosest that keep every face it found, and
// with them and a score of 0.6 its boxes on blurred crowds and walls go. The
// small-face network's rule left no box on the set's text, interface pictures
// and slides; with it the network's score threshold comes down from 0.5 to
// 0.35, which finds more of the smallest faces than before, and boxes under 6
// of its input pixels (2.3 % of the frame) go.
constexpr FaceRule closeUpRule{0.6f, true, 0.25f, 0.55f, 0.6f, 0.15f, 0.65f, 0.0f, 0.0f};
constexpr FaceRule smallFaceRule{0.35f, true, 0.25f, 0.55f, 0.6f, 0.25f, 0.6f, 0.5f, 0.023f};
// Where a person's head should be (FaceDetector::facesIn) the small-face
// network alone, at 128 × 128, finds the faces of the opencv-doc photographs
// of people at 1280 × 720 and 500 × 600, the action shot squeezed into
// 500 × 600 included (at 96 × 96 it missed that one). Its score threshold lies
// between the lowest score on a person (0.46) and the highest on a photograph
// without people (0.39, a baboon's nose); it found no face on 31 such
// photographs at either size. The close-up network missed four people's faces.
constexpr FaceRule inPartRule{0.42f, true, 0.25f, 0.55f, 0.6f, 0.25f, 0.6f, 0.5f, 0.023f};
constexpr int inPartSize = 128;
const std::vector<int> backStrides = {16, 32, 32, 32};
// A front face this large (share of the frame's longer side) and this sure.
constexpr float closeUpSure = 0.12f;
constexpr float closeUpSureScore = 0.85f;

}  // namespace

struct FaceDetector::Networks {
  cv::Size frame;  // the frame size the networks' inputs are shaped for
  BlazeFaceModel front;
  BlazeFaceModel back;
};

// The networks spread their operators over as many threads as OpenCV's
// loops, started with the first network.
NetworkThreads& FaceDetector::threads() {
  if (!threads_) threads_ = makeNetworkThreads(cv::getNumThreads());
  return threads_;
}

FaceDetector::FaceDetector() = default;
FaceDetector::~FaceDetector() = default;

namespace {

// The faces one network found on the canvas, suppressed within the network,
// those that pass the rule.
std::vector<FaceBox> facesOf(std::vector<FaceBox> boxes, const FaceRule& rule,
                             const cv::Mat& frame) {
  std::vector<FaceBox> faces;
  for (const FaceBox& box : weightedNonMaxSuppression(std::move(boxes), mergeOverlap))
    if (passesFaceRule(box, rule, frame)) faces.push_back(box);
  return faces;
}

}  // namespace

std::vector<FaceBox> FaceDetector::facesIn(const PixelBuffer& buffer, const cv::Rect& area) {
  try {
    const cv::Mat image(static_cast<int>(buffer.height), static_cast<int>(buffer.width), CV_8UC4,
                        buffer.baseAddress, buffer.bytesPerRow);
    const cv::Rect part = area & cv::Rect(0, 0, image.cols, image.rows);
    if (part.empty()) return {};
    if (!inPart_) {
      inPart_ = std::make_unique<BlazeFaceModel>(
          loadBlazeFaceSized(blazeface_back_256, blazeface_back_256_size, inPartSize, inPartSize,
                             backStrides, threads()));
    }
    letterboxInto(*inPart_, image(part), true);
    std::vector<FaceBox> boxes = runOnCanvas(*inPart_, inPartRule.minScore);
    // From fractions of the part to fractions of the frame.
    for (FaceBox& box : boxes) {
      const auto toX = [&](float v) { return (part.x + v * part.width) / image.cols; };
      const auto toY = [&](float v) { return (part.y + v * part.height) / image.rows; };
      mapFaceBox(box, toX, toY);
    }
    return facesOf(std::move(boxes), inPartRule, image);
  } catch (const cv::Exception& e) {
    throw VisionError(describe(e));
  } catch (const VisionError&) {
    throw;
  } catch (const std::exception& e) {
    throw VisionError(e.what());
  }
}

std::vector<NormalizedRect> FaceDetector::detect(const PixelBuffer& buffer, FaceSearch search) {
  try {
    const cv::Mat image(static_cast<int>(buffer.height), static_cast<int>(buffer.width), CV_8UC4,
                        buffer.baseAddress, buffer.bytesPerRow);
    // Each network's input takes the frame's aspect, so that it computes the
    // picture and not the bars of a square letterbox.
    if (!networks_ || networks_->frame != image.size()) {
      auto loaded = std::make_unique<Networks>();
      loaded->frame = image.size();
      loaded->front = loadBlazeFaceFor(image.size(), blazeface_front_128, blazeface_front_128_size,
                                       128, {8, 16, 16, 16}, threads());
      loaded->back = loadBlazeFaceFor(image.size(), blazeface_back_256, blazeface_back_256_size,
                                      256, backStrides, threads());
      networks_ = std::move(loaded);
    }
    Networks& d = *networks_;
    // The front network sees the frame as the back one does, halved: one pass
    // over the full-size frame serves both. (The quick resampling saves about
    // 1 ms here, but gave a false face on one more photograph of the
    // evaluation set.)
    letterboxInto(d.back, image);
    const std::vector<FaceBox> front =
        facesOf(runBlazeFace(d.front, d.back.canvas(d.back.area), closeUpRule.minScore),
                closeUpRule, image);
    const double longer = std::max(image.cols, image.rows);
    const bool closeUp = std::any_of(front.begin(), front.end(), [&](const FaceBox& f) {
      return f.score >= closeUpSureScore &&
             std::max((f.xMax - f.xMin) * image.cols, (f.yMax - f.yMin) * image.rows) >=
                 closeUpSure * longer;
    });
    std::vector<FaceBox> back;
    if (search == FaceSearch::every || !closeUp)
      back = facesOf(runOnCanvas(d.back, smallFaceRule.minScore), smallFaceRule, image);

    std::vector<NormalizedRect> faces;
    for (const FaceBox& box : mergeFaces(front, back, mergeOverlap))
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
