#pragma once
// The pictures the benchmark's scenes are made of, each a pure function of its
// arguments: text in DejaVu fonts (Debian's fonts-dejavu-core) through
// FreeType, a photo-like landscape, a desktop wallpaper, window frames and a
// synthetic mix of gradients, fine detail and flat blocks. BGR (CV_8UC3)
// unless said otherwise.
#include <cstdint>
#include <string>

#include <opencv2/core.hpp>

namespace bench {

enum class Font { mono, sans, sansBold, serif };

uint32_t mix(uint32_t x);  // a well-spread hash

// Draws text with its baseline at `baseline`, starting at x; returns the
// advance in pixels.
int drawText(cv::Mat& bgr, const std::string& text, int x, int baseline, int px, Font font,
             const cv::Scalar& colour);
int textWidth(const std::string& text, int px, Font font);

// The scrolled picture of the full-screen motion scene: width x height, every
// column different (four bands of gradients, text-like strokes, flat blocks
// and noise).
cv::Mat texturePicture(int width, int height);

// A landscape-like picture from several octaves of smooth noise, with grain.
cv::Mat landscape(int width, int height, uint64_t seed);

// A desktop background with a panel at the bottom.
cv::Mat wallpaper(int width, int height);

// A window: a title bar with its title and, under it, `content` (its size is
// the window's less the title bar).
cv::Mat framedWindow(const std::string& title, const cv::Mat& content);
inline constexpr int kTitleBar = 28;

// Pages of window content: source code in a monospace font, a page of prose
// with a heading and a picture, a list of files.
cv::Mat codePage(int width, int height, uint64_t seed);
cv::Mat webPage(int width, int height, uint64_t seed);
cv::Mat fileList(int width, int height, uint64_t seed);

// Words for made-up prose and source text, picked by a hash.
std::string proseLine(uint64_t seed, int words);
std::string codeLine(uint64_t seed);

cv::Mat toBgra(const cv::Mat& bgr);

}  // namespace bench
