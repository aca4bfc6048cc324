#include "animator_scene.hpp"

#include <algorithm>
#include <cstring>

namespace bench {

uint32_t codeCheck(uint32_t n) {
  uint32_t check = 0;
  for (int shift = 0; shift < kCodeNumberBits; shift += kCodeCheckBits) check ^= n >> shift;
  return check & ((1U << kCodeCheckBits) - 1);
}

Frame Scene::frame(int64_t n, bool stamped) const {
  Frame f = draw(n);
  if (!stamped) return f;
  const uint32_t number = static_cast<uint32_t>(n) & ((1U << kCodeNumberBits) - 1);
  const uint32_t bits = number | (codeCheck(number) << kCodeNumberBits);
  for (int k = 0; k < kCodeColumns * kCodeRows; ++k) {
    Paint square;
    square.colour = (bits >> k) & 1 ? 0xffffffU : 0x000000U;
    square.to = {(k % kCodeColumns) * kCodeSquare, (k / kCodeColumns) * kCodeSquare, kCodeSquare,
                 kCodeSquare};
    f.paints.push_back(square);
  }
  f.changed.push_back({0, 0, kCodeColumns * kCodeSquare, kCodeRows * kCodeSquare});
  return f;
}

Paint clipPaint(const Paint& paint, const Box& box) {
  Paint out = paint;
  const int x0 = std::max(paint.to.x, box.x);
  const int y0 = std::max(paint.to.y, box.y);
  const int x1 = std::min(paint.to.x + paint.to.w, box.x + box.w);
  const int y1 = std::min(paint.to.y + paint.to.h, box.y + box.h);
  out.to = {x0, y0, std::max(0, x1 - x0), std::max(0, y1 - y0)};
  out.fromX += x0 - paint.to.x;
  out.fromY += y0 - paint.to.y;
  return out;
}

void render(const Scene& scene, const std::vector<Paint>& paints, cv::Mat& canvas) {
  const Box screen{0, 0, canvas.cols, canvas.rows};
  for (const Paint& whole : paints) {
    const Paint p = clipPaint(whole, screen);
    if (p.to.w == 0 || p.to.h == 0) continue;
    cv::Mat target = canvas(cv::Rect(p.to.x, p.to.y, p.to.w, p.to.h));
    if (p.picture < 0) {
      target.setTo(
          cv::Scalar(p.colour & 0xff, (p.colour >> 8) & 0xff, (p.colour >> 16) & 0xff, 255));
    } else {
      // A copy never reads outside its picture (the scenes keep to that; the
      // X server would leave such pixels as they were).
      const cv::Mat& from = scene.pictures()[static_cast<size_t>(p.picture)];
      from(cv::Rect(p.fromX, p.fromY, p.to.w, p.to.h)).copyTo(target);
    }
  }
}

Paint copy(int picture, int fromX, int fromY, Box to) {
  Paint p;
  p.picture = picture;
  p.fromX = fromX;
  p.fromY = fromY;
  p.to = to;
  return p;
}

Paint fill(uint32_t colour, Box to) {
  Paint p;
  p.colour = colour;
  p.to = to;
  return p;
}

Box unite(const Box& a, const Box& b) {
  const int x0 = std::min(a.x, b.x), y0 = std::min(a.y, b.y);
  const int x1 = std::max(a.x + a.w, b.x + b.w), y1 = std::max(a.y + a.h, b.y + b.h);
  return {x0, y0, x1 - x0, y1 - y0};
}

double ease(double f) {
  f = std::clamp(f, 0.0, 1.0);
  return f * f * (3 - 2 * f);
}

std::unique_ptr<Scene> makeScene(const std::string& name, int width, int height, int rate) {
  if (name == "motion") return makeMotionScene(width, height);
  if (name == "document") return makeDocumentScene(width, height, rate);
  if (name == "windows") return makeWindowsScene(width, height, rate);
  if (name == "video") return makeVideoScene(width, height, rate);
  if (name == "terminal") return makeTerminalScene(width, height, rate);
  return nullptr;
}

}  // namespace bench
