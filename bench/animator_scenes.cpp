// The benchmark's scenes: what people record, each a pure function of the
// frame number n at `rate` frames a second (time t = n / rate).
#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "animator_pictures.hpp"
#include "animator_scene.hpp"
#include "animator_terminal.hpp"

namespace bench {

namespace {

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

// A document viewer: pages of serif text with headings, pictures and charts,
// read a screen at a time: a quick eased scroll by almost half the view, then
// a pause, and so on. The document is a loop of eight pages.
class DocumentScene : public Scene {
 public:
  DocumentScene(int width, int height, int rate)
      : width_(width), height_(height), rate_(rate), view_(height - kToolbar) {
    cv::Mat chrome(kToolbar, width, CV_8UC3, cv::Scalar(236, 234, 232));
    drawText(chrome, "report.pdf - Document Viewer", 16, 28, 15, Font::sansBold,
             cv::Scalar(40, 40, 40));
    drawText(chrome, "Page 3 of 8    125 %", width - 220, 28, 14, Font::sans,
             cv::Scalar(70, 70, 70));
    cv::line(chrome, {0, kToolbar - 1}, {width, kToolbar - 1}, cv::Scalar(200, 200, 200));
    pictures_.push_back(toBgra(chrome));
    pageWidth_ = std::min(width - 80, (width * 52 / 100) & ~1);
    pictures_.push_back(toBgra(pages()));
    length_ = pictures_[1].rows;
  }

 protected:
  Frame draw(int64_t n) const override {
    Frame f;
    const int at = position(n);
    const Box view{0, kToolbar, width_, view_};
    f.paints = {copy(0, 0, 0, {0, 0, width_, kToolbar}), fill(0x9a9a9a, view)};
    const int x = (width_ - pageWidth_) / 2;
    const int first = std::min(view_, length_ - at);
    f.paints.push_back(copy(1, 0, at, {x, kToolbar, pageWidth_, first}));
    if (first < view_)
      f.paints.push_back(copy(1, 0, 0, {x, kToolbar + first, pageWidth_, view_ - first}));
    const int thumb = std::max(30, view_ * view_ / length_);
    const int track = view_ - thumb;
    f.paints.push_back(fill(0xd8d8d8, {width_ - 14, kToolbar, 12, view_}));
    f.paints.push_back(
        fill(0x707070,
             {width_ - 12, kToolbar + static_cast<int>(static_cast<int64_t>(at) * track / length_),
              8, thumb}));
    if (n == 0 || position(n - 1) != at) f.changed.push_back(view);
    return f;
  }

 private:
  static constexpr int kToolbar = 44;

  int position(int64_t n) const {
    const double t = static_cast<double>(n) / rate_;
    const double cycle = 2.5;
    const auto k = static_cast<int64_t>(std::floor(t / cycle));
    const int step = view_ * 45 / 100;
    const int64_t at = k * step + std::lround(step * ease((t - k * cycle) / 0.5));
    return static_cast<int>(at % length_);
  }

  cv::Mat pages() const {
    const int pageHeight = pageWidth_ * 1294 / 1000;
    const int gap = 16;
    constexpr int kPages = 8;
    cv::Mat all(kPages * (pageHeight + gap), pageWidth_, CV_8UC3, cv::Scalar(0x9a, 0x9a, 0x9a));
    const int margin = pageWidth_ * 9 / 100;
    const int textWidthPx = pageWidth_ - 2 * margin;
    const int px = std::max(11, pageWidth_ / 60);
    const int pitch = px * 3 / 2;
    uint64_t seed = 1;
    for (int page = 0; page < kPages; ++page) {
      cv::Mat sheet = all(cv::Rect(0, page * (pageHeight + gap), pageWidth_, pageHeight));
      sheet.setTo(cv::Scalar(255, 255, 255));
      int y = margin;
      for (int block = 0; y < pageHeight - margin - pitch; ++block, ++seed) {
        const uint32_t kind = mix(static_cast<uint32_t>(seed)) % 7;
        if (block == 0 || kind == 0) {  // heading
          y += pitch;
          drawText(
              sheet,
              std::to_string(page + 1) + "." + std::to_string(block + 1) + " " + proseLine(seed, 4),
              margin, y, px * 3 / 2, Font::sansBold, cv::Scalar(20, 20, 20));
          y += pitch;
        } else if (kind == 1 && y + textWidthPx / 3 < pageHeight - margin) {  // figure
          const int h = textWidthPx / 3;
          figure(sheet(cv::Rect(margin, y, textWidthPx, h)), seed);
          y += h + pitch;
        } else if (kind == 2) {  // code
          const int lines = 4;
          sheet(cv::Rect(margin, y, textWidthPx, lines * pitch + pitch / 2))
              .setTo(cv::Scalar(244, 244, 244));
          for (int i = 0; i < lines && y + pitch < pageHeight - margin; ++i)
            drawText(sheet, codeLine(seed * 5 + static_cast<uint64_t>(i)), margin + 8, y += pitch,
                     px * 9 / 10, Font::mono, cv::Scalar(60, 40, 20));
          y += pitch;
        } else {  // paragraph
          const int lines = 3 + static_cast<int>(mix(static_cast<uint32_t>(seed) + 7) % 6);
          for (int i = 0; i < lines && y + pitch < pageHeight - margin; ++i)
            drawText(sheet, fittedLine(seed * 31 + static_cast<uint64_t>(i), textWidthPx, px),
                     margin, y += pitch, px, Font::serif, cv::Scalar(25, 25, 25));
          y += pitch / 2;
        }
      }
      drawText(sheet, std::to_string(page + 1), pageWidth_ / 2, pageHeight - margin / 2, px,
               Font::serif, cv::Scalar(90, 90, 90));
    }
    return all;
  }

  // As many words as fit in `width`.
  static std::string fittedLine(uint64_t seed, int width, int px) {
    int words = std::max(2, width / (px * 3));
    std::string line = proseLine(seed, words);
    while (words > 2 && textWidth(line, px, Font::serif) > width) line = proseLine(seed, --words);
    return line;
  }

  static void figure(cv::Mat area, uint64_t seed) {
    if (seed % 2) {
      landscape(area.cols, area.rows, seed).copyTo(area);
      return;
    }
    area.setTo(cv::Scalar(252, 252, 252));
    cv::line(area, {30, area.rows - 20}, {area.cols - 10, area.rows - 20}, cv::Scalar(0, 0, 0));
    cv::line(area, {30, 10}, {30, area.rows - 20}, cv::Scalar(0, 0, 0));
    cv::Point last(30, area.rows - 30);
    for (int i = 1; i <= 24; ++i) {
      const uint32_t h = mix(static_cast<uint32_t>(seed * 24 + static_cast<uint64_t>(i)));
      const int barX = 30 + i * (area.cols - 50) / 25;
      const int barH = static_cast<int>(h % static_cast<uint32_t>(area.rows - 40));
      cv::rectangle(area, cv::Rect(barX - 6, area.rows - 20 - barH, 12, barH),
                    cv::Scalar(200, 150, 80), cv::FILLED);
      const cv::Point next(barX, area.rows - 30 - static_cast<int>((h >> 12) % (area.rows - 50)));
      cv::line(area, last, next, cv::Scalar(40, 40, 220), 2, cv::LINE_AA);
      last = next;
    }
  }

  int width_, height_, rate_, view_;
  int pageWidth_ = 0, length_ = 0;
};

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

std::unique_ptr<Scene> makeScene(const std::string& name, int width, int height, int rate) {
  if (name == "motion") return std::make_unique<MotionScene>(width, height);
  if (name == "document") return std::make_unique<DocumentScene>(width, height, rate);
  if (name == "windows") return std::make_unique<WindowsScene>(width, height, rate);
  if (name == "video") return std::make_unique<VideoScene>(width, height, rate);
  if (name == "terminal") return makeTerminalScene(width, height, rate);
  return nullptr;
}

}  // namespace bench
