#include "animator_pictures.hpp"
#include "animator_scene.hpp"

namespace bench {

namespace {

// The whole screen: a picture twice its width scrolled sideways by 6 pixels a
// frame, so that every frame differs everywhere.
class MotionScene : public Scene {
 public:
  MotionScene(int width, int height) : width_(width), height_(height) {
    pictures_.push_back(toBgra(texturePicture(2 * width, height)));
  }

 protected:
  Frame draw(int64_t n) const override {
    const int offset = static_cast<int>((n * 6) % width_);
    return {{copy(0, offset, 0, {0, 0, width_, height_})}, {{0, 0, width_, height_}}};
  }

 private:
  int width_, height_;
};

}  // namespace

std::unique_ptr<Scene> makeMotionScene(int width, int height) {
  return std::make_unique<MotionScene>(width, height);
}

}  // namespace bench
