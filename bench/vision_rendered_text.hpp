#pragma once
// Screenshot-like frames of text rendered with a common desktop font (DejaVu
// Sans through FreeType), with the ink box of every word known exactly.
#include <string>
#include <vector>

#include <opencv2/core.hpp>

struct RenderedWord {
  std::string text;
  cv::Rect ink;  // bounding box of the word's drawn pixels
  cv::Mat mask;  // CV_8U over `ink`: non-zero where the word is drawn
};

struct RenderedLine {
  std::vector<RenderedWord> words;
};

struct RenderedPage {
  cv::Mat bgra;  // CV_8UC4
  std::vector<RenderedLine> lines;
};

// The font every page uses.
inline constexpr const char* kUiFont = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

enum class TitleBar { light, dark };

// A window-like page of the given pixel size: a title bar (dark grey text on
// light grey, or light on dark), then the body lines in dark grey on a light
// background, at a 13 px font with 22 px between baselines, both × scale.
RenderedPage renderPage(const std::string& title, TitleBar bar,
                        const std::vector<std::string>& body, cv::Size size, int scale);

// Sample paragraphs of everyday interface text.
const std::vector<std::string>& sampleLines();
