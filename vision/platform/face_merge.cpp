#include "platform/face_merge.hpp"

#include <algorithm>

namespace vision {

namespace {

float area(const FaceBox& b) {
  return std::max(0.0f, b.xMax - b.xMin) * std::max(0.0f, b.yMax - b.yMin);
}

}  // namespace

FaceBox asCloseUpBox(const FaceBox& small) {
  FaceBox box = small;
  const float cx = (small.xMin + small.xMax) / 2;
  const float cy = (small.yMin + small.yMax) / 2;
  const float width = small.xMax - small.xMin;
  const float t = std::clamp((width - 0.12f) / (0.2f - 0.12f), 0.0f, 1.0f);
  const float scale = 1.09f + (1.01f - 1.09f) * t;
  const float halfW = width / 2 * scale;
  const float halfH = (small.yMax - small.yMin) / 2 * scale;
  box.xMin = cx - halfW;
  box.xMax = cx + halfW;
  box.yMin = cy - halfH;
  box.yMax = cy + halfH;
  return box;
}

bool sameFace(const FaceBox& a, const FaceBox& b, float overlap) {
  if (intersectionOverUnion(a, b) > overlap) return true;
  const float w = std::min(a.xMax, b.xMax) - std::max(a.xMin, b.xMin);
  const float h = std::min(a.yMax, b.yMax) - std::max(a.yMin, b.yMin);
  const float smaller = std::min(area(a), area(b));
  return w > 0 && h > 0 && smaller > 0 && w * h > smaller / 2;
}

std::vector<FaceBox> mergeFaces(const std::vector<FaceBox>& closeUp,
                                const std::vector<FaceBox>& small, float overlap) {
  struct Candidate {
    FaceBox box;
    bool closeUp;
  };
  std::vector<Candidate> left;
  for (const FaceBox& box : closeUp) left.push_back({box, true});
  for (const FaceBox& box : small) left.push_back({asCloseUpBox(box), false});
  std::stable_sort(left.begin(), left.end(), [](const Candidate& a, const Candidate& b) {
    return a.box.score > b.box.score;
  });
  std::vector<FaceBox> faces;
  while (!left.empty()) {
    const FaceBox best = left.front().box;
    FaceBox face = best;
    bool fromCloseUp = left.front().closeUp;
    std::vector<Candidate> rest;
    for (const Candidate& c : left) {
      if (&c == &left.front()) continue;
      if (!sameFace(best, c.box, overlap)) {
        rest.push_back(c);
      } else if (c.closeUp && !fromCloseUp && intersectionOverUnion(best, c.box) > overlap) {
        face = c.box;
        face.score = best.score;
        fromCloseUp = true;
      }
    }
    faces.push_back(face);
    left.swap(rest);
  }
  return faces;
}

}  // namespace vision
