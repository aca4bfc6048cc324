#include "animator_scene.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "animator_pictures.hpp"

namespace bench {

namespace {

constexpr int kPx = 15, kLine = 19, kMargin = 8;
constexpr int kSessionLines = 384;  // the session loops after this many lines
constexpr double kTypeDelay = 0.4, kEnterDelay = 0.25, kCharsPerSecond = 15;
constexpr double kOutputLine = 0.02, kAfterOutput = 0.6;
constexpr uint32_t kBackground = 0x1e1e1e;
const char* const kPrompt = "dev@box:~/src/orvik$ ";

struct Line {
  std::string text;
  bool command = false;
  cv::Scalar colour;
};

const std::array<const char*, 6> kCommands = {"make -j2",
                                              "ls -l capture/recorder",
                                              "git log --oneline",
                                              "tail -n 40 build.log",
                                              "grep -rn frame capture/platform",
                                              "ctest -L unit"};

Line outputLine(size_t command, int i, uint32_t h) {
  const cv::Scalar plain(200, 200, 200);
  switch (command) {
    case 0:
      if (h % 9 == 0)
        return {"capture/recorder/recorder.cpp:" + std::to_string(h % 400) +
                    ":12: warning: unused variable 'count' [-Wunused-variable]",
                false, cv::Scalar(80, 200, 230)};
      return {"[" + std::to_string(std::min(99, i * 3)) +
                  "%] Building CXX object capture/CMakeFiles/" + proseLine(h, 1) + ".dir/" +
                  proseLine(h + 1, 1) + ".cpp.o",
              false, plain};
    case 1:
      return {"-rw-r--r-- 1 dev dev " + std::to_string(1000 + h % 90000) +
                  " Dec  7 21:" + std::to_string(10 + h % 50) + " " + proseLine(h, 1) + "_" +
                  proseLine(h + 1, 1) + ".cpp",
              false, plain};
    case 2:
      return {std::to_string(h % 9000000 + 1000000) + " " + proseLine(h, 7), false,
              cv::Scalar(120, 200, 220)};
    case 3:
      return {"2026-12-07 21:40:" + std::to_string(10 + h % 50) + "." +
                  std::to_string(h % 900 + 100) + " INFO capture: " + proseLine(h, 6),
              false, plain};
    case 4:
      return {"capture/platform/linux/x11/grab.cpp:" + std::to_string(h % 700) + ":" + codeLine(h),
              false, plain};
    default:
      return {std::to_string(i + 1) + "/140 Test #" + std::to_string(i + 1) + ": " +
                  proseLine(h, 2) + " ........   Passed    0." + std::to_string(10 + h % 89) +
                  " sec",
              false, h % 13 ? cv::Scalar(120, 220, 120) : cv::Scalar(90, 90, 230)};
  }
}

// A full-screen terminal in which commands are typed at 15 characters a second
// and print bursts of lines at 50 a second, scrolling the screen.
class TerminalScene : public Scene {
 public:
  TerminalScene(int width, int height, int rate)
      : width_(width), height_(height), rate_(rate), rows_((height - kTitleBar) / kLine) {
    cv::Mat chrome(kTitleBar, width, CV_8UC3, cv::Scalar(48, 48, 48));
    drawText(chrome, "dev@box: ~/src/orvik", width / 2 - 80, 19, 14, Font::sansBold,
             cv::Scalar(220, 220, 220));
    pictures_.push_back(toBgra(chrome));
    cell_ = textWidth(std::string(40, 'M'), kPx, Font::mono) / 40.0;
    session();
  }

 protected:
  Frame draw(int64_t n) const override {
    Frame f;
    const State now = state(n);
    const Box text{0, kTitleBar, width_, height_ - kTitleBar};
    f.paints = {copy(0, 0, 0, {0, 0, width_, kTitleBar}), fill(kBackground, text)};
    for (int r = 0; r < rows_; ++r) {
      const int64_t line = now.line - rows_ + 1 + r;
      const int y = kTitleBar + r * kLine;
      const int row = static_cast<int>(line % kSessionLines) * kLine;
      const bool typing = line == now.line && now.typed >= 0;
      const int shown = typing ? std::min(atlasWidth_, cursorX(now.typed)) : atlasWidth_;
      f.paints.push_back(copy(1, 0, row, {0, y, shown, kLine}));
      if (typing)
        f.paints.push_back(fill(0xc8c8c8, {shown, y + 1, static_cast<int>(cell_), kLine - 2}));
    }
    if (n > 0) {
      const State before = state(n - 1);
      if (before.line != now.line)
        f.changed.push_back(text);
      else if (before.typed != now.typed)
        f.changed.push_back({0, kTitleBar + (rows_ - 1) * kLine, width_, kLine});
    }
    return f;
  }

 private:
  struct State {
    int64_t line;  // the last line on the screen
    int typed;     // characters typed of it, or -1 when it is output
  };

  int cursorX(int typed) const {
    return kMargin + static_cast<int>(std::lround(cell_ * (std::string(kPrompt).size() + typed)));
  }

  // The session's lines, drawn one under another, and when each starts.
  void session() {
    std::vector<Line> lines;
    for (uint32_t block = 0; lines.size() < kSessionLines; ++block) {
      const size_t command = mix(block + 1) % kCommands.size();
      lines.push_back({kCommands[command], true, cv::Scalar(230, 230, 230)});
      const int count = 3 + static_cast<int>(mix(block + 1000) % 30);
      for (int i = 0; i < count && lines.size() < kSessionLines; ++i)
        lines.push_back(outputLine(command, i, mix(block * 64 + static_cast<uint32_t>(i))));
    }
    atlasWidth_ = std::min(width_, kMargin + static_cast<int>(cell_ * 150));
    cv::Mat atlas(kSessionLines * kLine, atlasWidth_, CV_8UC3, cv::Scalar(0x1e, 0x1e, 0x1e));
    double t = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
      const int baseline = static_cast<int>(i) * kLine + 14;
      int x = kMargin;
      if (lines[i].command) {
        x += drawText(atlas, "dev@box", x, baseline, kPx, Font::mono, cv::Scalar(110, 210, 110));
        x += drawText(atlas, ":", x, baseline, kPx, Font::mono, cv::Scalar(200, 200, 200));
        x += drawText(atlas, "~/src/orvik", x, baseline, kPx, Font::mono, cv::Scalar(230, 160, 90));
        x = kMargin + static_cast<int>(std::lround(cell_ * (std::string(kPrompt).size() - 2)));
        drawText(atlas, "$", x, baseline, kPx, Font::mono, cv::Scalar(200, 200, 200));
        x = cursorX(0);
      }
      drawText(atlas, lines[i].text, x, baseline, kPx, Font::mono, lines[i].colour);
      starts_.push_back(t);
      commands_.push_back(lines[i].command ? static_cast<int>(lines[i].text.size()) : -1);
      if (lines[i].command)
        t += kTypeDelay + lines[i].text.size() / kCharsPerSecond + kEnterDelay;
      else
        t += kOutputLine + (i + 1 == lines.size() || lines[i + 1].command ? kAfterOutput : 0);
    }
    cycle_ = t;
    pictures_.push_back(toBgra(atlas));
  }

  // One whole session goes by before frame 0, so that the screen is full.
  State state(int64_t n) const {
    const double t = static_cast<double>(n) / rate_ + cycle_;
    const auto loop = static_cast<int64_t>(std::floor(t / cycle_));
    const double within = t - static_cast<double>(loop) * cycle_;
    const auto at = std::upper_bound(starts_.begin(), starts_.end(), within) - starts_.begin() - 1;
    const auto i = static_cast<size_t>(std::max<std::ptrdiff_t>(0, at));
    int typed = -1;
    if (commands_[i] >= 0)
      typed = std::clamp(
          static_cast<int>(std::floor((within - starts_[i] - kTypeDelay) * kCharsPerSecond)), 0,
          commands_[i]);
    return {loop * kSessionLines + static_cast<int64_t>(i), typed};
  }

  int width_, height_, rate_, rows_;
  double cell_ = 0, cycle_ = 0;
  int atlasWidth_ = 0;
  std::vector<double> starts_;
  std::vector<int> commands_;  // characters of each command line, -1 for output
};

}  // namespace

std::unique_ptr<Scene> makeTerminalScene(int width, int height, int rate) {
  return std::make_unique<TerminalScene>(width, height, rate);
}

}  // namespace bench
