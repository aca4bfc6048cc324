#include "platform/blazeface_decoding.hpp"

#include <algorithm>
#include <cmath>

namespace vision {

std::vector<AnchorCenter> ssdAnchors(int inputWidth, int inputHeight,
                                     const std::vector<int>& strides) {
  std::vector<AnchorCenter> anchors;
  size_t layer = 0;
  while (layer < strides.size()) {
    const int stride = strides[layer];
    int perCell = 0;
    for (; layer < strides.size() && strides[layer] == stride; ++layer) perCell += 2;
    const int columns = (inputWidth + stride - 1) / stride;
    const int rows = (inputHeight + stride - 1) / stride;
    for (int y = 0; y < rows; ++y)
      for (int x = 0; x < columns; ++x)
        for (int a = 0; a < perCell; ++a)
          anchors.push_back({(static_cast<float>(x) + 0.5f) / static_cast<float>(columns),
                             (static_cast<float>(y) + 0.5f) / static_cast<float>(rows)});
  }
  return anchors;
}

std::vector<FaceBox> decodeBoxes(const float* scores, const float* boxes,
                                 const std::vector<AnchorCenter>& anchors, int inputWidth,
                                 int inputHeight, float minScore) {
  std::vector<FaceBox> found;
  const float scaleX = 1.0f / static_cast<float>(inputWidth);
  const float scaleY = 1.0f / static_cast<float>(inputHeight);
  for (size_t i = 0; i < anchors.size(); ++i) {
    const float logit = std::clamp(scores[i], -100.0f, 100.0f);
    const float score = 1.0f / (1.0f + std::exp(-logit));
    if (score < minScore) continue;
    const float* box = boxes + i * 16;
    if (!(box[2] > 0 && box[3] > 0)) continue;  // no area: not a face, and no overlap to merge on
    const float cx = anchors[i].x + box[0] * scaleX;
    const float cy = anchors[i].y + box[1] * scaleY;
    const float halfW = box[2] * scaleX / 2;
    const float halfH = box[3] * scaleY / 2;
    FaceBox face{cx - halfW, cy - halfH, cx + halfW, cy + halfH, score, {}};
    for (size_t k = 0; k < face.keypoints.size(); k += 2) {
      face.keypoints[k] = anchors[i].x + box[4 + k] * scaleX;
      face.keypoints[k + 1] = anchors[i].y + box[5 + k] * scaleY;
    }
    found.push_back(face);
  }
  return found;
}

float intersectionOverUnion(const FaceBox& a, const FaceBox& b) {
  const float areaA = std::max(0.0f, a.xMax - a.xMin) * std::max(0.0f, a.yMax - a.yMin);
  const float areaB = std::max(0.0f, b.xMax - b.xMin) * std::max(0.0f, b.yMax - b.yMin);
  if (areaA <= 0 || areaB <= 0) return 0;
  const float w = std::min(a.xMax, b.xMax) - std::max(a.xMin, b.xMin);
  const float h = std::min(a.yMax, b.yMax) - std::max(a.yMin, b.yMin);
  if (w <= 0 || h <= 0) return 0;
  const float inner = w * h;
  return inner / (areaA + areaB - inner);
}

std::vector<FaceBox> weightedNonMaxSuppression(std::vector<FaceBox> boxes, float iouThreshold) {
  std::stable_sort(boxes.begin(), boxes.end(),
                   [](const FaceBox& a, const FaceBox& b) { return a.score > b.score; });
  std::vector<FaceBox> kept;
  std::vector<FaceBox> rest;
  while (!boxes.empty()) {
    const FaceBox best = boxes.front();
    FaceBox sum{};
    float weight = 0;
    rest.clear();
    for (const FaceBox& box : boxes) {
      if (&box != &boxes.front() && intersectionOverUnion(best, box) <= iouThreshold) {
        rest.push_back(box);
        continue;
      }
      sum.xMin += box.xMin * box.score;
      sum.yMin += box.yMin * box.score;
      sum.xMax += box.xMax * box.score;
      sum.yMax += box.yMax * box.score;
      for (size_t k = 0; k < sum.keypoints.size(); ++k)
        sum.keypoints[k] += box.keypoints[k] * box.score;
      weight += box.score;
    }
    FaceBox merged = best;
    if (weight > 0) {
      merged.xMin = sum.xMin / weight;
      merged.yMin = sum.yMin / weight;
      merged.xMax = sum.xMax / weight;
      merged.yMax = sum.yMax / weight;
      for (size_t k = 0; k < sum.keypoints.size(); ++k)
        merged.keypoints[k] = sum.keypoints[k] / weight;
    }
    kept.push_back(merged);
    boxes.swap(rest);
  }
  return kept;
}

}  // namespace vision
