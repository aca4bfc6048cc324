#include "vision_rendered_text.hpp"

#include <sstream>

#include <opencv2/freetype.hpp>
#include <opencv2/imgproc.hpp>

namespace {

cv::Ptr<cv::freetype::FreeType2> font() {
  static cv::Ptr<cv::freetype::FreeType2> loaded = [] {
    auto f = cv::freetype::createFreeType2();
    f->loadFontData(kUiFont, 0);
    return f;
  }();
  return loaded;
}

std::vector<std::string> wordsOf(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

// Draws the words of one line from (x, baseline) and measures each word's ink
// on a blank canvas of its own.
RenderedLine drawLine(cv::Mat& bgr, const std::string& line, int x, int baseline, int px,
                      const cv::Scalar& ink) {
  RenderedLine out;
  const int space = font()->getTextSize(" ", px, -1, nullptr).width;
  for (const std::string& word : wordsOf(line)) {
    const cv::Point origin(x, baseline);
    font()->putText(bgr, word, origin, px, ink, -1, cv::LINE_AA, true);
    cv::Mat alone(bgr.size(), CV_8UC3, cv::Scalar::all(0));
    font()->putText(alone, word, origin, px, cv::Scalar::all(255), -1, cv::LINE_AA, true);
    cv::Mat gray;
    cv::cvtColor(alone, gray, cv::COLOR_BGR2GRAY);
    const cv::Mat drawn = gray > 127;
    const cv::Rect ink = cv::boundingRect(drawn);
    out.words.push_back({word, ink, drawn(ink).clone()});
    x += font()->getTextSize(word, px, -1, nullptr).width + space;
  }
  return out;
}

}  // namespace

RenderedPage renderPage(const std::string& title, TitleBar bar,
                        const std::vector<std::string>& body, cv::Size size, int scale) {
  const int px = 13 * scale;
  const int pitch = 22 * scale;
  cv::Mat bgr(size, CV_8UC3, cv::Scalar(246, 246, 246));
  RenderedPage page;
  const bool dark = bar == TitleBar::dark;
  cv::rectangle(bgr, cv::Rect(0, 0, size.width, 30 * scale),
                dark ? cv::Scalar(43, 43, 43) : cv::Scalar(222, 222, 222), cv::FILLED);
  page.lines.push_back(drawLine(bgr, title, 16 * scale, 20 * scale, px,
                                dark ? cv::Scalar(235, 235, 235) : cv::Scalar(40, 40, 40)));
  int baseline = 30 * scale + pitch;
  for (const std::string& line : body) {
    if (baseline + 6 * scale > size.height) break;
    page.lines.push_back(drawLine(bgr, line, 24 * scale, baseline, px, cv::Scalar(32, 32, 32)));
    baseline += pitch;
  }
  cv::cvtColor(bgr, page.bgra, cv::COLOR_BGR2BGRA);
  return page;
}

const std::vector<std::string>& sampleLines() {
  static const std::vector<std::string> lines = {
      "The quick brown fox jumps over the lazy dog near the river bank.",
      "Recording started at 10:42 and stopped after 3 minutes of capture.",
      "Open the settings panel to choose which display should be recorded.",
      "Select an area of the screen, or pick one window from the list below.",
      "Meeting notes: review the quarterly budget before Friday afternoon.",
      "Please remember to save your work often while editing documents.",
      "Download complete: 248 files copied to the backup folder.",
      "Your subscription renews on March 14 unless you cancel it today.",
      "Invite people to this project by sharing the link with your team.",
      "Press the space bar to pause playback, and Escape to leave full screen.",
  };
  return lines;
}
