#include "animator_pictures.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include <opencv2/freetype.hpp>
#include <opencv2/imgproc.hpp>

namespace bench {

namespace {

cv::freetype::FreeType2& face(Font font) {
  static std::array<cv::Ptr<cv::freetype::FreeType2>, 4> faces;
  static constexpr std::array<const char*, 4> kFiles = {
      "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf",
      "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
      "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf",
      "/usr/share/fonts/truetype/dejavu/DejaVuSerif.ttf"};
  const auto i = static_cast<size_t>(font);
  if (!faces[i]) {
    faces[i] = cv::freetype::createFreeType2();
    faces[i]->loadFontData(kFiles[i], 0);
  }
  return *faces[i];
}

template <size_t N>
const char* pick(const std::array<const char*, N>& words, uint64_t seed) {
  return words[mix(static_cast<uint32_t>(seed ^ (seed >> 32))) % N];
}

constexpr std::array<const char*, 48> kWords = {
    "the",     "screen",  "recording", "of",      "a",      "frame",    "is",     "written",
    "to",      "file",    "every",     "second",  "and",    "when",     "window", "moves",
    "text",    "stays",   "sharp",     "at",      "rate",   "bits",     "per",    "pixel",
    "with",    "encoder", "preset",    "quality", "motion", "document", "scroll", "viewer",
    "measure", "by",      "which",     "than",    "colour", "on",       "under",  "after",
    "before",  "display", "capture",   "server",  "buffer", "queue",    "thread", "time"};

constexpr std::array<const char*, 16> kIdentifiers = {
    "frame",  "writer", "queue",  "buffer", "width", "height", "stride", "position",
    "sample", "count",  "offset", "result", "scale", "pixels", "rate",   "duration"};

}  // namespace

uint32_t mix(uint32_t x) {
  x ^= x >> 16;
  x *= 0x7feb352dU;
  x ^= x >> 15;
  x *= 0x846ca68bU;
  x ^= x >> 16;
  return x;
}

int drawText(cv::Mat& bgr, const std::string& text, int x, int baseline, int px, Font font,
             const cv::Scalar& colour) {
  if (!text.empty())
    face(font).putText(bgr, text, cv::Point(x, baseline), px, colour, -1, cv::LINE_AA, true);
  return textWidth(text, px, font);
}

int textWidth(const std::string& text, int px, Font font) {
  return text.empty() ? 0 : face(font).getTextSize(text, px, -1, nullptr).width;
}

cv::Mat toBgra(const cv::Mat& bgr) {
  cv::Mat bgra;
  cv::cvtColor(bgr, bgra, cv::COLOR_BGR2BGRA);
  return bgra;
}

cv::Mat texturePicture(int width, int height) {
  cv::Mat bgr(height, width, CV_8UC3);
  const int screenWidth = width / 2;
  for (int y = 0; y < height; ++y) {
    auto* row = bgr.ptr<cv::Vec3b>(y);
    const int band = (y * 4) / height;
    for (int x = 0; x < width; ++x) {
      uint32_t rgb = 0;
      const uint32_t cell = mix(static_cast<uint32_t>((x / 48) * 7919 + (y / 48) * 104729));
      if (band == 0) {  // smooth gradients
        rgb = (static_cast<uint32_t>(x * 255 / screenWidth) % 256) << 16 |
              static_cast<uint32_t>(y * 255 / height * 4 % 256) << 8 |
              static_cast<uint32_t>((x + y) * 3 % 256);
      } else if (band == 1) {  // text-like fine detail
        const bool stroke =
            (mix(static_cast<uint32_t>(x / 2 * 31 + y / 3 * 977)) & 7) == 0 && y % 18 < 12;
        rgb = stroke ? 0x202020U : 0xf0f0e8U;
      } else if (band == 2) {  // flat blocks with hard edges
        rgb = cell & 0xffffffU;
      } else {  // photo-like noise over a slow gradient
        const uint32_t v = static_cast<uint32_t>((x / 8) % 200) +
                           (mix(static_cast<uint32_t>(x * 1315423911U + y)) & 0x1f);
        rgb = (v << 16) | ((v / 2) << 8) | (255 - v);
      }
      row[x] = cv::Vec3b(rgb & 0xff, (rgb >> 8) & 0xff, (rgb >> 16) & 0xff);
    }
  }
  return bgr;
}

cv::Mat landscape(int width, int height, uint64_t seed) {
  cv::RNG rng(seed);
  cv::Mat height32(height, width, CV_32F, cv::Scalar(0));
  float amplitude = 1;
  for (int cells = 3; cells <= 192 && cells < width; cells *= 2, amplitude *= 0.55F) {
    cv::Mat grid(std::max(2, cells * height / width), cells, CV_32F), smooth;
    rng.fill(grid, cv::RNG::UNIFORM, 0.0, 1.0);
    cv::resize(grid, smooth, height32.size(), 0, 0, cv::INTER_CUBIC);
    height32 += smooth * amplitude;
  }
  cv::normalize(height32, height32, 0, 1, cv::NORM_MINMAX);
  // Water, grass, forest, rock, snow; then a little grain, as a camera has.
  static const std::array<cv::Vec3f, 5> kColours = {cv::Vec3f(140, 90, 40), cv::Vec3f(60, 150, 90),
                                                    cv::Vec3f(40, 90, 40), cv::Vec3f(110, 120, 130),
                                                    cv::Vec3f(240, 240, 245)};
  cv::Mat grain(height, width, CV_32F);
  rng.fill(grain, cv::RNG::NORMAL, 0.0, 6.0);
  cv::Mat bgr(height, width, CV_8UC3);
  for (int y = 0; y < height; ++y) {
    const float* h = height32.ptr<float>(y);
    const float* g = grain.ptr<float>(y);
    auto* out = bgr.ptr<cv::Vec3b>(y);
    for (int x = 0; x < width; ++x) {
      const float at = std::min(h[x], 0.9999F) * (kColours.size() - 1);
      const auto i = static_cast<size_t>(at);
      const float f = at - static_cast<float>(i);
      const cv::Vec3f c = kColours[i] * (1 - f) + kColours[i + 1] * f;
      const float shade = 0.75F + 0.5F * h[x];
      for (int k = 0; k < 3; ++k) out[x][k] = cv::saturate_cast<uint8_t>(c[k] * shade + g[x]);
    }
  }
  return bgr;
}

cv::Mat wallpaper(int width, int height) {
  cv::Mat bgr(height, width, CV_8UC3);
  for (int y = 0; y < height; ++y)
    bgr.row(y).setTo(cv::Scalar(120 + 80 * y / height, 60 + 30 * y / height, 40 + 50 * y / height));
  cv::Mat shapes(height / 8, width / 8, CV_8UC3, cv::Scalar(0, 0, 0));
  for (int i = 0; i < 12; ++i) {
    const uint32_t h = mix(static_cast<uint32_t>(i) + 99);
    cv::circle(shapes, cv::Point(h % shapes.cols, (h >> 12) % shapes.rows),
               static_cast<int>(shapes.rows / 8 + (h >> 20) % (shapes.rows / 3)),
               cv::Scalar(h & 0x3f, (h >> 6) & 0x3f, (h >> 18) & 0x3f), cv::FILLED, cv::LINE_AA);
  }
  cv::GaussianBlur(shapes, shapes, cv::Size(0, 0), shapes.rows / 20.0);
  cv::resize(shapes, shapes, bgr.size(), 0, 0, cv::INTER_CUBIC);
  bgr += shapes;
  const int panel = 40;
  bgr.rowRange(height - panel, height).setTo(cv::Scalar(40, 36, 34));
  for (int i = 0; i < 6; ++i)
    cv::rectangle(bgr, cv::Rect(12 + i * 44, height - panel + 6, 28, 28),
                  cv::Scalar(60 + 30 * i, 180 - 20 * i, 200), cv::FILLED);
  drawText(bgr, "14:32", width - 70, height - 14, 16, Font::sans, cv::Scalar(230, 230, 230));
  return bgr;
}

cv::Mat framedWindow(const std::string& title, const cv::Mat& content) {
  cv::Mat bgr(content.rows + kTitleBar, content.cols, CV_8UC3, cv::Scalar(222, 222, 222));
  content.copyTo(bgr.rowRange(kTitleBar, bgr.rows));
  drawText(bgr, title, 70, 19, 14, Font::sansBold, cv::Scalar(40, 40, 40));
  for (int i = 0; i < 3; ++i)
    cv::circle(bgr, cv::Point(14 + 18 * i, 14), 6,
               i == 0 ? cv::Scalar(80, 90, 230) : cv::Scalar(80, 190, 230 - 80 * i), cv::FILLED,
               cv::LINE_AA);
  cv::rectangle(bgr, cv::Rect(0, 0, bgr.cols, bgr.rows), cv::Scalar(90, 90, 90), 1);
  return bgr;
}

std::string proseLine(uint64_t seed, int words) {
  std::string line;
  for (int i = 0; i < words; ++i) {
    if (i) line += ' ';
    line += pick(kWords, seed * 131 + static_cast<uint64_t>(i));
  }
  if (!line.empty()) line[0] = static_cast<char>(std::toupper(line[0]));
  return line;
}

std::string codeLine(uint64_t seed) {
  const uint32_t h = mix(static_cast<uint32_t>(seed * 2654435761U));
  const std::string indent(2 * (h % 4), ' ');
  const std::string a = pick(kIdentifiers, seed * 7 + 1), b = pick(kIdentifiers, seed * 7 + 2);
  switch ((h >> 8) % 6) {
    case 0:
      return indent + "const int64_t " + a + " = " + b + " * 4 + " + std::to_string(h % 97) + ";";
    case 1:
      return indent + "if (" + a + " > " + b + ") return std::nullopt;";
    case 2:
      return indent + "// The " + a + " follows the " + b + " of the last frame.";
    case 3:
      return indent + a + "_.push_back(" + b + ".data() + " + std::to_string(h % 31) + ");";
    case 4:
      return indent + "for (int i = 0; i < " + a + "; ++i) " + b + "[i] = 0;";
    default:
      return indent + "}";
  }
}

cv::Mat codePage(int width, int height, uint64_t seed) {
  cv::Mat bgr(height, width, CV_8UC3, cv::Scalar(252, 252, 252));
  bgr.colRange(0, 48).setTo(cv::Scalar(238, 238, 238));
  for (int row = 0, y = 20; y < height; ++row, y += 19) {
    drawText(bgr, std::to_string(row + 1), 8, y, 13, Font::mono, cv::Scalar(150, 150, 150));
    const std::string line = codeLine(seed + static_cast<uint64_t>(row));
    const bool comment = line.find("//") != std::string::npos;
    drawText(bgr, line, 56, y, 14, Font::mono,
             comment ? cv::Scalar(60, 130, 60) : cv::Scalar(50, 40, 30));
  }
  return bgr;
}

cv::Mat webPage(int width, int height, uint64_t seed) {
  cv::Mat bgr(height, width, CV_8UC3, cv::Scalar(255, 255, 255));
  bgr.rowRange(0, 36).setTo(cv::Scalar(245, 240, 235));
  cv::rectangle(bgr, cv::Rect(60, 7, std::max(10, width - 90), 22), cv::Scalar(255, 255, 255),
                cv::FILLED);
  drawText(bgr, "example.org/articles/screen-recording", 70, 23, 13, Font::sans,
           cv::Scalar(80, 80, 80));
  drawText(bgr, proseLine(seed, 5), 24, 76, 26, Font::sansBold, cv::Scalar(30, 30, 30));
  int y = 110;
  const int picture = std::min(height / 3, 240);
  for (int line = 0; y < height; ++line, y += 24) {
    if (line == 6 && y + picture < height) {
      landscape(std::max(16, width - 48), picture, seed)
          .copyTo(bgr(cv::Rect(24, y - 12, std::max(16, width - 48), picture)));
      y += picture;
    }
    drawText(bgr, proseLine(seed * 17 + static_cast<uint64_t>(line), std::max(3, width / 70)), 24,
             y, 16, Font::sans, cv::Scalar(40, 40, 40));
  }
  return bgr;
}

cv::Mat fileList(int width, int height, uint64_t seed) {
  cv::Mat bgr(height, width, CV_8UC3, cv::Scalar(250, 250, 250));
  for (int row = 0, y = 8; y + 26 < height; ++row, y += 28) {
    const uint32_t h = mix(static_cast<uint32_t>(seed + static_cast<uint64_t>(row)));
    if (row % 2) bgr.rowRange(y - 2, y + 26).setTo(cv::Scalar(243, 241, 239));
    cv::rectangle(bgr, cv::Rect(12, y + 2, 20, 20), cv::Scalar(h & 0xff, (h >> 8) & 0x7f, 200),
                  cv::FILLED);
    const std::string name = std::string(pick(kIdentifiers, h)) + "_" + pick(kIdentifiers, h >> 4) +
                             (h % 3 ? ".cpp" : ".png");
    drawText(bgr, name, 42, y + 18, 14, Font::sans, cv::Scalar(30, 30, 30));
    drawText(bgr, std::to_string(h % 900 + 1) + " kB", std::max(42, width - 200), y + 18, 14,
             Font::sans, cv::Scalar(110, 110, 110));
  }
  return bgr;
}

}  // namespace bench
