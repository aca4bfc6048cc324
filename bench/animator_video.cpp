#include <cmath>

#include <opencv2/imgproc.hpp>

#include "animator_pictures.hpp"
#include "animator_scene.hpp"

namespace bench {

namespace {

// A video player showing a 30 frames/s video in a quarter of the screen: a
// flight over a landscape (a pan across a picture twice the video's size,
// with a cut every five seconds), and its progress bar.
class VideoScene : public Scene {
 public:
  VideoScene(int width, int height, int rate)
      : rate_(rate), videoWidth_(width / 2), videoHeight_(height / 2) {
    cv::Mat desktop = wallpaper(width, height);
    framedWindow("notes.txt - Editor", codePage(width * 40 / 100, height * 60 / 100, 21))
        .copyTo(desktop(cv::Rect(width * 4 / 100, height * 6 / 100, width * 40 / 100,
                                 height * 60 / 100 + kTitleBar)));
    pictures_.push_back(toBgra(desktop));
    cv::Mat player(videoHeight_ + kControls, videoWidth_, CV_8UC3, cv::Scalar(20, 20, 20));
    cv::fillConvexPoly(
        player,
        std::vector<cv::Point>{
            {20, videoHeight_ + 14}, {20, videoHeight_ + 34}, {36, videoHeight_ + 24}},
        cv::Scalar(230, 230, 230), cv::LINE_AA);
    pictures_.push_back(toBgra(framedWindow("flight.mkv - Video Player", player)));
    pictures_.push_back(toBgra(landscape(2 * videoWidth_, 2 * videoHeight_, 77)));
    player_ = {width * 30 / 100, height * 15 / 100, videoWidth_,
               videoHeight_ + kControls + kTitleBar};
    width_ = width;
    height_ = height;
  }

 protected:
  Frame draw(int64_t n) const override {
    Frame f;
    const Box video{player_.x, player_.y + kTitleBar, videoWidth_, videoHeight_};
    const Box bar{player_.x + 60, video.y + videoHeight_ + 21, videoWidth_ - 80, 6};
    const int64_t v = videoFrame(n);
    const double phase = static_cast<double>(v + 997 * (v / 150));
    const int fromX =
        static_cast<int>(std::lround(videoWidth_ / 2.0 * (1 + std::sin(phase * 0.019))));
    const int fromY =
        static_cast<int>(std::lround(videoHeight_ / 2.0 * (1 + std::sin(phase * 0.027 + 1.0))));
    const int played = progress(n, bar.w);
    f.paints = {copy(0, 0, 0, {0, 0, width_, height_}), copy(1, 0, 0, player_),
                copy(2, fromX, fromY, video), fill(0x505050, bar),
                fill(0xe03030, {bar.x, bar.y, played, bar.h})};
    if (n > 0 && videoFrame(n - 1) != v) f.changed.push_back(video);
    if (n > 0 && progress(n - 1, bar.w) != played) f.changed.push_back(bar);
    return f;
  }

 private:
  static constexpr int kControls = 48;

  int64_t videoFrame(int64_t n) const { return n * 30 / rate_; }
  int progress(int64_t n, int width) const {
    return static_cast<int>((n % (60 * static_cast<int64_t>(rate_))) * width / (60 * rate_));
  }

  int rate_, videoWidth_, videoHeight_;
  int width_ = 0, height_ = 0;
  Box player_;
};

}  // namespace

std::unique_ptr<Scene> makeVideoScene(int width, int height, int rate) {
  return std::make_unique<VideoScene>(width, height, rate);
}

}  // namespace bench
