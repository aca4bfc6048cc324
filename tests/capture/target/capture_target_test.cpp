#include "target/capture_target.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include <unistd.h>

#include "front/emit.hpp"

namespace {

using platform::ContentFilter;
using platform::Display;
using platform::Rect;
using platform::RunningApplication;
using platform::ShareableContent;
using platform::Window;

const RunningApplication kEditor{101, "org.example.Editor", "Editor"};
const RunningApplication kPlayer{202, "org.example.Player", "Player"};
const RunningApplication kChat{303, "org.example.Chat", "Chat"};

ShareableContent sampleContent() {
  ShareableContent c;
  c.applications = {kEditor, kPlayer, kChat};
  c.displays = {Display{7, 1440, 900, {0, 0, 1440, 900}},
                Display{9, 1000, 1000, {1440, 0, 1000, 1000}},
                Display{11, 1001, 500, {2440, 0, 1001, 500}}};
  c.windows = {Window{50, {10, 20, 640.5, 480.25}, 0, true, "doc", kEditor},
               Window{51, {0, 0, 300, 200}, 0, true, "orphan", std::nullopt},
               Window{52, {5, 5, 800, 600}, 0, true, "video", kPlayer}};
  return c;
}

Options job() {
  Options o;
  o.output = "/tmp/x.png";
  return o;
}

// Runs the resolution in a child process whose events go to its standard
// error, so that the death test sees the one "error" event and exit status 2.
void expectFailure(const Options& options, const ShareableContent& content,
                   const std::string& message) {
  EXPECT_EXIT(
      {
        setEventDescriptor(STDERR_FILENO);
        captureTarget(options, content);
        exitProcess(0);
      },
      ::testing::ExitedWithCode(2),
      "^\\{\"event\":\"error\",\"message\":\"" + message + "\"\\}\n$|^\\{\"message\":\"" +
          message + "\",\"event\":\"error\"\\}\n$");
}

TEST(CaptureTargetDisplay, FirstDisplayWholeAtDefaultScale) {
  const auto t = captureTarget(job(), sampleContent());
  ASSERT_TRUE(t.display);
  EXPECT_EQ(t.display->displayID, 7u);
  EXPECT_EQ(t.width, 2880);
  EXPECT_EQ(t.height, 1800);
  EXPECT_FALSE(t.sourceRect);
  ASSERT_TRUE(t.filter);
  EXPECT_EQ(t.filter->kind, ContentFilter::Kind::displayExcludingApplications);
  EXPECT_TRUE(t.filter->applications.empty());
  EXPECT_TRUE(t.filter->exceptingWindows.empty());
}

TEST(CaptureTargetDisplay, ChosenByIdAndScaleFractionDropped) {
  auto o = job();
  o.display = 11;
  o.scale = 1.5;
  const auto t = captureTarget(o, sampleContent());
  EXPECT_EQ(t.display->displayID, 11u);
  EXPECT_EQ(t.filter->display.displayID, 11u);
  EXPECT_EQ(t.width, 1501);  // 1501.5
  EXPECT_EQ(t.height, 750);
}

TEST(CaptureTargetDisplay, ExcludedApplicationsInContentOrderOnceEach) {
  auto o = job();
  o.excludePids = std::vector<int32_t>{303, 999, 101, 303, static_cast<int32_t>(getpid())};
  const auto t = captureTarget(o, sampleContent());
  ASSERT_EQ(t.filter->applications.size(), 2u);
  EXPECT_EQ(t.filter->applications[0], kEditor);
  EXPECT_EQ(t.filter->applications[1], kChat);
}

TEST(CaptureTargetDisplay, AreaBecomesIntegralSourceRect) {
  auto o = job();
  o.area = std::vector<double>{0.25, 0.1, 0.5, 0.5};
  auto t = captureTarget(o, sampleContent());
  EXPECT_EQ(t.sourceRect, (Rect{360, 90, 720, 450}));
  EXPECT_EQ(t.width, 1440);
  EXPECT_EQ(t.height, 900);

  o.display = 9;
  o.scale = 1;
  o.area = std::vector<double>{0.1005, 0.2, 0.3, 0.3};
  t = captureTarget(o, sampleContent());
  EXPECT_EQ(t.sourceRect, (Rect{100, 200, 301, 300}));
  EXPECT_EQ(t.width, 301);
  EXPECT_EQ(t.height, 300);
}

TEST(CaptureTargetDisplay, AreaBounds) {
  auto o = job();
  o.area = std::vector<double>{0.5, 0.0, 0.50005, 0.05};  // sums within the tolerance
  EXPECT_TRUE(captureTarget(o, sampleContent()).sourceRect);
  o.area = std::vector<double>{0, 0, 1.0001, 1.0001};
  EXPECT_TRUE(captureTarget(o, sampleContent()).sourceRect);

  const std::vector<std::vector<double>> refused = {
      {0.96, 0, 0.05, 0.5},  {0, 0, 0.04, 0.5},  {-0.01, 0, 0.5, 0.5}, {0, -0.01, 0.5, 0.5},
      {0, 0, 0.5, 0.049},    {0, 0.96, 0.5, 0.05}, {0, 0, 0.5},         {0, 0, 0.5, 0.5, 0},
      {},                     {std::numeric_limits<double>::infinity(), 0, 0.5, 0.5},
      {0, 0, 0.5, std::numeric_limits<double>::quiet_NaN()}};
  for (const auto& area : refused) {
    o.area = area;
    expectFailure(o, sampleContent(), "invalid-area");
  }
}

TEST(CaptureTargetDisplay, Errors) {
  auto o = job();
  o.display = 8;
  expectFailure(o, sampleContent(), "display-not-found");
  // The display is looked for before the area is tested.
  o.area = std::vector<double>{};
  expectFailure(o, sampleContent(), "display-not-found");
  expectFailure(job(), ShareableContent{}, "display-not-found");
}

TEST(CaptureTargetWindow, WindowWinsOverDisplayAndArea) {
  auto o = job();
  o.window = 50;
  o.display = 12345;
  o.area = std::vector<double>{9, 9};
  o.scale = 2;
  o.excludePids = std::vector<int32_t>{202};
  const auto t = captureTarget(o, sampleContent());
  EXPECT_EQ(t.filter->kind, ContentFilter::Kind::window);
  EXPECT_EQ(t.filter->window.windowID, 50u);
  EXPECT_EQ(t.width, 1281);  // 1281 exactly
  EXPECT_EQ(t.height, 960);  // 960.5
  EXPECT_FALSE(t.sourceRect);
  EXPECT_FALSE(t.display);
}

TEST(CaptureTargetWindow, Errors) {
  auto o = job();
  o.window = 99;
  o.excludePids = std::vector<int32_t>{101};
  expectFailure(o, sampleContent(), "window-not-found");
  o.window = 50;
  expectFailure(o, sampleContent(), "window-excluded");
  // A window without an owner cannot be excluded.
  o.window = 51;
  EXPECT_EQ(captureTarget(o, sampleContent()).width, 600);
}

TEST(CaptureTargetScale, ZeroAndNegativePassThrough) {
  auto o = job();
  o.scale = 0;
  EXPECT_EQ(captureTarget(o, sampleContent()).width, 0);
  o.scale = -1;
  EXPECT_EQ(captureTarget(o, sampleContent()).height, -900);
}

TEST(CaptureTargetScale, AbsurdScaleIsAnOrderlyError) {
  auto o = job();
  o.scale = 1e300;
  expectFailure(o, sampleContent(), "invalid-scale");
  o.scale = -1e300;
  expectFailure(o, sampleContent(), "invalid-scale");
  o.window = 50;
  o.scale = std::numeric_limits<double>::max();
  expectFailure(o, sampleContent(), "invalid-scale");
}

}  // namespace
