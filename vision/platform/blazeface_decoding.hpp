#pragma once
// Turning BlazeFace's raw outputs into face boxes: the SSD anchors the model
// was trained with, box decoding, and MediaPipe's weighted non-maximum
// suppression.
#include <array>
#include <cstddef>
#include <vector>

namespace vision {

// The six landmarks BlazeFace gives with a box, in its order.
enum FaceKeypoint { rightEye, leftEye, noseTip, mouth, rightEar, leftEar, keypointCount };

// A box in fractions of the model's input square, origin top-left, with its
// landmarks (x, y pairs in the same fractions).
struct FaceBox {
  float xMin = 0;
  float yMin = 0;
  float xMax = 0;
  float yMax = 0;
  float score = 0;
  std::array<float, 2 * keypointCount> keypoints{};
};

// The box and its landmarks moved into other fractions: `toX` and `toY`
// map one x or y coordinate.
template <typename MapX, typename MapY>
void mapFaceBox(FaceBox& box, const MapX& toX, const MapY& toY) {
  box.xMin = toX(box.xMin);
  box.yMin = toY(box.yMin);
  box.xMax = toX(box.xMax);
  box.yMax = toY(box.yMax);
  for (size_t k = 0; k < box.keypoints.size(); k += 2) {
    box.keypoints[k] = toX(box.keypoints[k]);
    box.keypoints[k + 1] = toY(box.keypoints[k + 1]);
  }
}

struct AnchorCenter {
  float x = 0;
  float y = 0;
};

// The anchors of an SSD layer stack with a fixed anchor size of 1 and offset
// 0.5: each layer puts two anchors on every cell of its grid (inputSize ÷
// stride cells a side), consecutive layers of equal stride share one grid, and
// a grid lists its cells row by row with the anchors of a cell together.
// A grid is ceil(width ÷ stride) by ceil(height ÷ stride) cells.
std::vector<AnchorCenter> ssdAnchors(int inputWidth, int inputHeight,
                                     const std::vector<int>& strides);
inline std::vector<AnchorCenter> ssdAnchors(int inputSize, const std::vector<int>& strides) {
  return ssdAnchors(inputSize, inputSize, strides);
}

// Decodes every anchor whose score passes `minScore`. `scores` holds one raw
// logit per anchor (clipped to ±100 before the sigmoid), `boxes` 16 values per
// anchor: centre offset x, y and size w, h, then six landmark offsets x, y,
// all in input pixels.
std::vector<FaceBox> decodeBoxes(const float* scores, const float* boxes,
                                 const std::vector<AnchorCenter>& anchors, int inputWidth,
                                 int inputHeight, float minScore);
inline std::vector<FaceBox> decodeBoxes(const float* scores, const float* boxes,
                                        const std::vector<AnchorCenter>& anchors, int inputSize,
                                        float minScore) {
  return decodeBoxes(scores, boxes, anchors, inputSize, inputSize, minScore);
}

// Intersection over union of two boxes (0 when either is empty).
float intersectionOverUnion(const FaceBox& a, const FaceBox& b);

// MediaPipe's weighted suppression: highest score first, every remaining box
// that overlaps it by more than `iouThreshold` is merged into it (coordinates
// and landmarks averaged, weighted by score; the best score is kept) and removed. The
// result is ordered by score, highest first.
std::vector<FaceBox> weightedNonMaxSuppression(std::vector<FaceBox> boxes, float iouThreshold);

}  // namespace vision
