// The X11 capture sources on a virtual display of their own: frames handed
// out without a copy staying untouched while held, change tracking, and a
// window that goes away. (Pixels of plain, scaled, covered-window and composed
// grabs are checked through the program's screenshot scenarios.)
#include "platform/linux/x11/capture.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "capture/platform/linux/x11/virtual_display.hpp"
#include "platform/content.hpp"
#include "platform/error.hpp"
#include "platform/linux/backends.hpp"

namespace capture {

namespace {

using platform::x11::makeCapture;
constexpr int kWidth = 320, kHeight = 240;
VirtualDisplay* const display = static_cast<VirtualDisplay*>(
    ::testing::AddGlobalTestEnvironment(new VirtualDisplay(kWidth, kHeight)));

uint32_t pixel(const uint8_t* data, size_t bytesPerRow, int x, int y) {
  const uint8_t* p = data + static_cast<size_t>(y) * bytesPerRow + static_cast<size_t>(x) * 4;
  return static_cast<uint32_t>(p[2]) << 16 | p[1] << 8 | p[0];
}

platform::StreamConfiguration sized(int64_t width, int64_t height) {
  platform::StreamConfiguration configuration;
  configuration.width = width;
  configuration.height = height;
  configuration.showsCursor = false;
  return configuration;
}

platform::ContentFilterRef wholeDisplay(std::vector<platform::RunningApplication> excluded = {}) {
  return platform::makeDisplayFilter(platform::getShareableContent(false, true).displays.at(0),
                                     excluded, {});
}

void settle() { std::this_thread::sleep_for(std::chrono::milliseconds(50)); }

TEST(X11Capture, SharedFramesStayUntouchedWhileHeldAndAreReusedOnceLetGo) {
  const xcb_window_t red = display->show(0, 0, kWidth, kHeight, 0xFF0000);
  const auto capture = makeCapture(*wholeDisplay(), sized(kWidth, kHeight));
  const auto first = capture->grabShared();
  const xcb_window_t blue = display->show(0, 0, kWidth, kHeight, 0x0000FF);
  const auto second = capture->grabShared();
  EXPECT_EQ(pixel(second.pixels, second.bytesPerRow, 5, 5), 0x0000FFu);
  EXPECT_EQ(pixel(first.pixels, first.bytesPerRow, 5, 5), 0xFF0000u);
  // Many held at once: each its own, until none is free; released ones are reused.
  std::vector<platform::screen::FrameSource::SharedPixels> held;
  for (int i = 0; i < 24; ++i) held.push_back(capture->grabShared());
  EXPECT_FALSE(held.back().pixels);
  held.clear();
  const uint8_t* reused = capture->grabShared().pixels;
  EXPECT_EQ(capture->grabShared().pixels, reused);
  display->destroy(blue);
  display->destroy(red);
}

TEST(X11Capture, ContentChangedFollowsDrawingOnly) {
  const auto capture = platform::x11::makeFrameSource(*wholeDisplay(), sized(kWidth, kHeight));
  EXPECT_TRUE(capture->contentChanged());
  std::vector<uint8_t> frame(kWidth * 4 * kHeight);
  capture->grab(frame.data(), kWidth * 4);
  settle();
  EXPECT_FALSE(capture->contentChanged());
  const xcb_window_t w = display->show(10, 10, 20, 20, 0x123456);
  bool changed = false;
  for (int i = 0; i < 50 && !(changed = capture->contentChanged()); ++i) settle();
  EXPECT_TRUE(changed);
  capture->grab(frame.data(), kWidth * 4);
  const auto rows = capture->changedRows();  // the window's rows among them
  ASSERT_TRUE(rows);
  std::vector<bool> hit(kHeight);
  for (const auto& r : *rows) std::fill(hit.begin() + r.begin, hit.begin() + r.end, true);
  EXPECT_EQ(std::count(hit.begin() + 10, hit.begin() + 30, true), 20);
  settle();
  EXPECT_FALSE(capture->contentChanged());
  display->destroy(w);
}

TEST(X11Capture, AWindowThatGoesAwayFailsTheGrab) {
  const xcb_window_t target = display->show(20, 20, 100, 80, 0xFFFF00);
  platform::Window window;
  window.windowID = target;
  const auto capture = makeCapture(*platform::makeWindowFilter(window), sized(50, 40));
  std::vector<uint8_t> frame(50 * 4 * 40);
  capture->grab(frame.data(), 50 * 4);
  display->destroy(target);
  EXPECT_THROW(capture->grab(frame.data(), 50 * 4), platform::PlatformError);
  EXPECT_THROW(makeCapture(*platform::makeWindowFilter(window), sized(50, 40)),
               platform::PlatformError);
}

// What lies beneath an excluded application is drawn by the program's
// screenshot scenarios; composing a frame must not count as a change.
TEST(X11Capture, ComposingWithoutAnApplicationIsNoChangeOfTheScreen) {
  const xcb_window_t own = display->show(0, 0, kWidth, kHeight / 2, 0xFF0000);  // this process's
  platform::RunningApplication self;
  self.processID = static_cast<int32_t>(getpid());
  const auto capture = makeCapture(*wholeDisplay({self}), sized(kWidth, kHeight));
  std::vector<uint8_t> frame(kWidth * 4 * kHeight);
  capture->grab(frame.data(), kWidth * 4);
  capture->grab(frame.data(), kWidth * 4);
  settle();
  EXPECT_FALSE(capture->contentChanged());
  display->destroy(own);
}

}  // namespace

}  // namespace capture
