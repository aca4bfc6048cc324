#pragma once
// A deterministic screen animation for the recording benchmark. Frame n of a
// scene is a pure function of n: a list of paints, each a copy from one of the
// scene's pictures (made once at start-up, kept on the X server as pixmaps) or
// a flat fill. The animator plays the paints on the X server; the benchmark
// later renders the same paints in memory to get back the exact frame the
// screen showed, and compares the recording with it.
//
// Every frame carries its number in a code of 16-pixel black and white squares
// at the top-left corner (kCodeColumns x kCodeRows squares: the number's low
// kCodeNumberBits bits, then kCodeCheckBits of check, bit k in square k, row by
// row), big enough to survive a low bit rate, so that each recorded frame can
// be paired with the frame it shows.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace bench {

struct Box {
  int x = 0, y = 0, w = 0, h = 0;
};

struct Paint {
  int picture = -1;          // index into Scene::pictures(), or -1 for a fill
  uint32_t colour = 0;       // 0xRRGGBB, for a fill
  int fromX = 0, fromY = 0;  // top-left corner in the picture, for a copy
  Box to;                    // where it lands on the screen
};

struct Frame {
  std::vector<Paint> paints;  // in order, later ones over earlier ones
  std::vector<Box> changed;   // covers every pixel that differs from frame n - 1
};

class Scene {
 public:
  virtual ~Scene() = default;
  // BGRA pictures (CV_8UC4).
  const std::vector<cv::Mat>& pictures() const { return pictures_; }
  // Frame n, with the corner code unless `stamped` is false. Its changed
  // boxes mean nothing for n = 0: everything is new then.
  Frame frame(int64_t n, bool stamped = true) const;

 protected:
  // Frame n without the code. The paints cover the whole screen.
  virtual Frame draw(int64_t n) const = 0;
  std::vector<cv::Mat> pictures_;
};

inline constexpr int kCodeSquare = 16;
inline constexpr int kCodeColumns = 12;
inline constexpr int kCodeRows = 2;
inline constexpr int kCodeNumberBits = 20;
inline constexpr int kCodeCheckBits = 4;

// The check bits of frame number n: the exclusive or of its five nibbles.
uint32_t codeCheck(uint32_t n);

// The scene of a name (terminal, document, windows, video, motion), for a
// screen of width x height changed `rate` times a second; nullptr for an
// unknown name. Each has its own file.
std::unique_ptr<Scene> makeScene(const std::string& name, int width, int height, int rate);
std::unique_ptr<Scene> makeTerminalScene(int width, int height, int rate);
std::unique_ptr<Scene> makeDocumentScene(int width, int height, int rate);
std::unique_ptr<Scene> makeWindowsScene(int width, int height, int rate);
std::unique_ptr<Scene> makeVideoScene(int width, int height, int rate);
std::unique_ptr<Scene> makeMotionScene(int width, int height);

// Helpers for the scenes.
Paint copy(int picture, int fromX, int fromY, Box to);
Paint fill(uint32_t colour, Box to);
Box unite(const Box& a, const Box& b);  // the smallest box holding both
double ease(double f);                  // 0 to 1, slow at both ends

// `paint` cut to `box`; w or h is 0 when nothing is left.
Paint clipPaint(const Paint& paint, const Box& box);

// Applies the paints to a BGRA canvas the way the X server does.
void render(const Scene& scene, const std::vector<Paint>& paints, cv::Mat& canvas);

}  // namespace bench
