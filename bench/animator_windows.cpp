#include <algorithm>
#include <cmath>

#include "animator_pictures.hpp"
#include "animator_scene.hpp"

namespace bench {

namespace {

// A desktop with three windows and a browser window dragged about over them:
// two seconds along a curve, then a moment's rest, and again.
class WindowsScene : public Scene {
 public:
  WindowsScene(int width, int height, int rate) : width_(width), height_(height), rate_(rate) {
    pictures_.push_back(toBgra(wallpaper(width, height)));
    auto window = [&](const std::string& title, const cv::Mat& content, int x, int y) {
      pictures_.push_back(toBgra(framedWindow(title, content)));
      places_.push_back({x, y, content.cols, content.rows + kTitleBar});
    };
    const int w = width, h = height;
    window("recorder.cpp - Editor", codePage(w * 42 / 100, h * 55 / 100, 11), w * 5 / 100,
           h * 8 / 100);
    window("src - Files", fileList(w * 30 / 100, h * 45 / 100, 3), w * 55 / 100, h * 10 / 100);
    window("valley.jpg - Image Viewer", landscape(w * 35 / 100, h * 40 / 100, 5), w * 35 / 100,
           h * 50 / 100);
    window("Screen recording - Browser", webPage(w * 40 / 100, h * 50 / 100, 8), 0, 0);
  }

 protected:
  Frame draw(int64_t n) const override {
    Frame f;
    f.paints.push_back(copy(0, 0, 0, {0, 0, width_, height_}));
    for (size_t i = 0; i + 1 < places_.size(); ++i)
      f.paints.push_back(copy(static_cast<int>(i + 1), 0, 0, places_[i]));
    const Box now = dragged(n);
    f.paints.push_back(copy(static_cast<int>(places_.size()), 0, 0, now));
    if (n > 0) {
      const Box before = dragged(n - 1);
      if (before.x != now.x || before.y != now.y) f.changed.push_back(unite(before, now));
    }
    return f;
  }

 private:
  Box dragged(int64_t n) const {
    const double t = static_cast<double>(n) / rate_;
    const double cycle = 2.6, moving = 2.0;
    const double k = std::floor(t / cycle);
    const double s = k * moving + std::min(t - k * cycle, moving);
    Box box = places_.back();
    const double roomX = (width_ - box.w) / 2.0, roomY = (height_ - 40 - box.h) / 2.0;
    box.x = static_cast<int>(std::lround(roomX + 0.95 * roomX * std::sin(0.9 * s)));
    box.y = static_cast<int>(std::lround(roomY + 0.95 * roomY * std::sin(1.3 * s + 0.5)));
    return box;
  }

  int width_, height_, rate_;
  std::vector<Box> places_;
};

}  // namespace

std::unique_ptr<Scene> makeWindowsScene(int width, int height, int rate) {
  return std::make_unique<WindowsScene>(width, height, rate);
}

}  // namespace bench
