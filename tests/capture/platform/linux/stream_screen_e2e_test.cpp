// The screen side of the capture streams on the test's X display, through
// the stream interface: pacing, frame statuses, a window that goes away
// and misuse.
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include "linux/stream_e2e_support.hpp"
#include "linux/x11/virtual_display.hpp"
#include "platform/content.hpp"
#include "platform/filter.hpp"
#include "platform/queue.hpp"

using namespace platform;
using namespace std::chrono_literals;

namespace {

// The whole binary (the audio tests too) runs on a display of its own.
VirtualDisplay* const display = static_cast<VirtualDisplay*>(
    ::testing::AddGlobalTestEnvironment(new VirtualDisplay(1920, 1080)));

int64_t statusOf(const SampleBuffer& sample) {
  if (!sample.attachments || sample.attachments->empty()) return -1;
  const auto& info = sample.attachments->front();
  auto it = info.find(kStreamFrameInfoStatus);
  return it == info.end() ? -1 : std::get<int64_t>(it->second);
}

class ScreenStreamTest : public ::testing::Test {
 protected:
  static StreamConfiguration configuration(int fps, int64_t depth) {
    StreamConfiguration c;
    c.width = 480;
    c.height = 270;
    c.minimumFrameInterval = CMTimeMake(1, fps);
    c.showsCursor = false;
    c.queueDepth = depth;
    return c;
  }

  struct Capture {
    StreamRef stream;
    e2e::Recording recording;
    SerialQueue queue{"orvik.capture.test"};
  };

  static void start(Capture& capture, const StreamConfiguration& c) {
    const ShareableContent content = getShareableContent(false, true);
    ASSERT_FALSE(content.displays.empty());
    capture.stream =
        makeStream(makeDisplayFilter(content.displays.front(), {}, {}), c, &capture.recording);
    capture.stream->addStreamOutput(capture.recording, streamOutputTypeScreen, capture.queue);
    const auto started =
        e2e::complete([&](Completion done) { capture.stream->startCapture(std::move(done)); });
    ASSERT_TRUE(started);
    ASSERT_FALSE(*started) << (*started)->localizedDescription();
  }

  static void stop(Capture& capture) {
    const auto stopped = e2e::complete(
        [&](Completion done) { capture.stream->stopCapture(std::move(done)); }, 2000ms);
    ASSERT_TRUE(stopped) << "stopping did not complete";
    capture.queue.sync([] {});
  }
};

TEST_F(ScreenStreamTest, FramesComeAtTheRateIdleWhileStillCompleteAfterDrawing) {
  Capture capture;
  start(capture, configuration(20, 6));
  std::this_thread::sleep_for(1500ms);
  const CMTime drawn = hostClockNow();
  // A red square at (320, 180) on the 1920 x 1080 display: (80, 45) in the frame.
  const xcb_window_t red = display->show(320, 180, 240, 240, 0xff0000);
  std::this_thread::sleep_for(1000ms);
  stop(capture);
  display->destroy(red);

  const auto entries = capture.recording.snapshot();
  EXPECT_TRUE(capture.recording.failures.empty());
  // About 20 frames a second over 2.5 s; a busy machine may skip deadlines.
  EXPECT_GE(entries.size(), 25u);
  EXPECT_LE(entries.size(), 52u);
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(statusOf(*entries.front().sample), frameStatusComplete);

  int idleBefore = 0, completeAfter = 0;
  bool redSeen = false;
  for (size_t i = 1; i < entries.size(); ++i) {
    const SampleBuffer& sample = *entries[i].sample;
    EXPECT_EQ(entries[i].type, streamOutputTypeScreen);
    EXPECT_GT(
        CMTimeCompare(presentationTimeStamp(sample), presentationTimeStamp(*entries[i - 1].sample)),
        0);
    const bool before = CMTimeCompare(presentationTimeStamp(sample), drawn) < 0;
    if (statusOf(sample) == frameStatusIdle) {
      EXPECT_FALSE(sample.imageBuffer);
      if (before) ++idleBefore;
      continue;
    }
    ASSERT_EQ(statusOf(sample), frameStatusComplete);
    ASSERT_TRUE(sample.imageBuffer);
    EXPECT_EQ(sample.imageBuffer->width, 480);
    EXPECT_EQ(sample.imageBuffer->height, 270);
    if (before) continue;
    ++completeAfter;
    const uint8_t* pixel =
        sample.imageBuffer->baseAddress + 100 * sample.imageBuffer->bytesPerRow + 120 * 4;
    if (pixel[0] < 40 && pixel[1] < 40 && pixel[2] > 200) redSeen = true;
  }
  EXPECT_GE(idleBefore, 12);  // a still screen gives idle frames
  EXPECT_GE(completeAfter, 1);
  EXPECT_LE(completeAfter, 4);  // and after the drawing, idle ones again
  EXPECT_TRUE(redSeen);
}

TEST_F(ScreenStreamTest, AWindowThatGoesAwayIsReportedOnce) {
  const xcb_window_t id = display->show(200, 150, 320, 200, 0x2040c0);
  Window window;
  window.windowID = id;
  window.frame = Rect{200, 150, 320, 200};
  window.onScreen = true;
  Capture capture;
  capture.stream = makeStream(makeWindowFilter(window), configuration(30, 6), &capture.recording);
  capture.stream->addStreamOutput(capture.recording, streamOutputTypeScreen, capture.queue);
  const auto started =
      e2e::complete([&](Completion done) { capture.stream->startCapture(std::move(done)); });
  ASSERT_TRUE(started);
  ASSERT_FALSE(*started) << (*started)->localizedDescription();
  EXPECT_TRUE(
      capture.recording.waitUntil([&] { return capture.recording.entries.size() > 3; }, 3s));
  display->destroy(id);
  EXPECT_TRUE(capture.recording.waitUntil([&] { return !capture.recording.failures.empty(); }, 3s));
  std::this_thread::sleep_for(300ms);
  {
    std::lock_guard lock(capture.recording.mutex);
    EXPECT_EQ(capture.recording.failures.size(), 1u);
  }
  stop(capture);
}

TEST_F(ScreenStreamTest, RefusesMisuseWithClearErrors) {
  Capture capture;
  const ShareableContent content = getShareableContent(false, true);
  ASSERT_FALSE(content.displays.empty());
  StreamConfiguration c = configuration(30, 6);
  c.width = 0;
  auto stream =
      makeStream(makeDisplayFilter(content.displays.front(), {}, {}), c, &capture.recording);
  EXPECT_THROW(stream->addStreamOutput(capture.recording, 7, capture.queue), PlatformError);
  stream->addStreamOutput(capture.recording, streamOutputTypeScreen, capture.queue);
  EXPECT_THROW(stream->addStreamOutput(capture.recording, streamOutputTypeScreen, capture.queue),
               PlatformError);
  const auto started =
      e2e::complete([&](Completion done) { stream->startCapture(std::move(done)); });
  ASSERT_TRUE(started);
  ASSERT_TRUE(*started);  // a 0-pixel-wide frame cannot be captured
  const auto stopped =
      e2e::complete([&](Completion done) { stream->stopCapture(std::move(done)); });
  ASSERT_TRUE(stopped);
  EXPECT_TRUE(*stopped);  // it never started
  EXPECT_THROW(makeStream(nullptr, c, nullptr), PlatformError);
}

}  // namespace
