#include "platform/text_recognizer.hpp"

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <dirent.h>
#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "rendered_text.hpp"
#include "words.hpp"

namespace {

PixelBuffer bufferOf(cv::Mat& bgra) {
  PixelBuffer buffer;
  buffer.width = bgra.cols;
  buffer.height = bgra.rows;
  buffer.bytesPerRow = bgra.step;
  buffer.baseAddress = bgra.data;
  return buffer;
}

struct ReadWord {
  std::string text;
  cv::Rect box;  // pixels, top-left origin
};

std::vector<ReadWord> readWords(const std::vector<RecognizedLine>& lines, cv::Size size) {
  std::vector<ReadWord> out;
  for (const RecognizedLine& line : lines) {
    for (const Word& word : splitWords(line.text)) {
      const auto box = rangeBoundingBox(line, word.byteBegin, word.byteEnd);
      if (!box) continue;
      const double top = 1.0 - (box->y + box->height);
      out.push_back({std::string(word.text),
                     cv::Rect(cv::Point(cvRound(box->x * size.width), cvRound(top * size.height)),
                              cv::Point(cvRound((box->x + box->width) * size.width),
                                        cvRound((top + box->height) * size.height)))});
    }
  }
  return out;
}

// Aligns the words read with the words drawn (longest common subsequence of
// their texts) and returns the matched pairs.
std::vector<std::pair<const RenderedWord*, const ReadWord*>> align(
    const std::vector<RenderedWord>& drawn, const std::vector<ReadWord>& read) {
  const size_t n = drawn.size(), m = read.size();
  std::vector<std::vector<int>> lcs(n + 1, std::vector<int>(m + 1, 0));
  for (size_t i = n; i-- > 0;) {
    for (size_t j = m; j-- > 0;) {
      lcs[i][j] = drawn[i].text == read[j].text ? lcs[i + 1][j + 1] + 1
                                                : std::max(lcs[i + 1][j], lcs[i][j + 1]);
    }
  }
  std::vector<std::pair<const RenderedWord*, const ReadWord*>> pairs;
  for (size_t i = 0, j = 0; i < n && j < m;) {
    if (drawn[i].text == read[j].text) {
      pairs.emplace_back(&drawn[i++], &read[j++]);
    } else if (lcs[i + 1][j] >= lcs[i][j + 1]) {
      ++i;
    } else {
      ++j;
    }
  }
  return pairs;
}

// The share of the word's drawn pixels that lie inside the box.
double inkCovered(const RenderedWord& word, const cv::Rect& box) {
  const cv::Rect inside = (box & word.ink) - word.ink.tl();
  const double all = cv::countNonZero(word.mask);
  return inside.empty() ? 0.0 : cv::countNonZero(word.mask(inside)) / all;
}

void expectReadsPage(int scale, TitleBar bar) {
  const cv::Size size(960 * scale, 300 * scale);
  RenderedPage page = renderPage("Weekly report - Notes", bar, sampleLines(), size, scale);
  const std::vector<ReadWord> read = readWords(recognizeTextLines(bufferOf(page.bgra)), size);

  std::vector<RenderedWord> drawn;
  for (const RenderedLine& line : page.lines) drawn.insert(drawn.end(), line.words.begin(), line.words.end());
  const auto pairs = align(drawn, read);
  EXPECT_GE(pairs.size(), drawn.size() * 98 / 100) << "words right: " << pairs.size() << " of " << drawn.size();

  for (const auto& [truth, found] : pairs) {
    // The box holds the word (anti-aliased fringes and an i's dot aside) and
    // not much besides.
    EXPECT_GE(inkCovered(*truth, found->box), 0.95)
        << truth->text << " ink " << truth->ink << " box " << found->box;
    const int slack = 3 * scale;
    const cv::Rect allowed(truth->ink.x - slack, truth->ink.y - slack,
                           truth->ink.width + 2 * slack, truth->ink.height + 2 * slack);
    EXPECT_EQ(found->box & allowed, found->box) << truth->text;
  }
}

TEST(TextRecognizer, ReadsAScreenshotAtStandardScale) { expectReadsPage(1, TitleBar::light); }

TEST(TextRecognizer, ReadsAScreenshotAtDoubleScale) { expectReadsPage(2, TitleBar::dark); }

TEST(TextRecognizer, FramesWithoutTextHaveNoLines) {
  cv::Mat blank(240, 320, CV_8UC4, cv::Scalar(200, 180, 160, 255));
  EXPECT_TRUE(recognizeTextLines(bufferOf(blank)).empty());

  const std::string photo = "/usr/share/doc/opencv-doc/examples/data/fruits.jpg";
  ASSERT_TRUE(std::filesystem::exists(photo)) << "opencv-doc provides the sample photograph";
  cv::Mat bgra;
  cv::cvtColor(cv::imread(photo), bgra, cv::COLOR_BGR2BGRA);
  EXPECT_TRUE(recognizeTextLines(bufferOf(bgra)).empty());
}

TEST(TextRecognizer, ReadsRowsAtTheirStride) {
  RenderedPage page = renderPage("Settings", TitleBar::light, {"Display and sound"},
                                 cv::Size(320, 80), 1);
  // The same picture in rows 64 bytes longer, the padding full of noise.
  cv::Mat wide(page.bgra.rows, page.bgra.cols + 16, CV_8UC4);
  cv::randu(wide, cv::Scalar::all(0), cv::Scalar::all(256));
  page.bgra.copyTo(wide(cv::Rect(0, 0, page.bgra.cols, page.bgra.rows)));
  PixelBuffer padded = bufferOf(wide);
  padded.width = page.bgra.cols;

  const auto plain = recognizeTextLines(bufferOf(page.bgra));
  const auto strided = recognizeTextLines(padded);
  ASSERT_EQ(plain.size(), 2U);
  EXPECT_EQ(plain[1].text, "Display and sound");
  ASSERT_EQ(strided.size(), plain.size());
  for (size_t i = 0; i < plain.size(); ++i) EXPECT_EQ(strided[i].text, plain[i].text);
}

int threadCount() {
  int count = 0;
  DIR* dir = ::opendir("/proc/self/task");
  while (const dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
  ::closedir(dir);
  return count;
}

TEST(TextRecognizer, RunsOnTheCallingThreadOnly) {
  cv::setNumThreads(1);  // keep OpenCV's own pool out of the count
  RenderedPage page = renderPage("Editor", TitleBar::light, sampleLines(), cv::Size(960, 300), 1);
  const int before = threadCount();
  EXPECT_FALSE(recognizeTextLines(bufferOf(page.bgra)).empty());
  EXPECT_EQ(threadCount(), before);
}

}  // namespace
