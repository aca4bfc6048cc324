#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "animator_pictures.hpp"
#include "animator_scene.hpp"

namespace bench {

namespace {

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

}  // namespace

std::unique_ptr<Scene> makeDocumentScene(int width, int height, int rate) {
  return std::make_unique<DocumentScene>(width, height, rate);
}

}  // namespace bench
