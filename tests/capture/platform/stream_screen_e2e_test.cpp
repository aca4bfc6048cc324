// The screen side of the capture streams on the test's X display, through
// the stream interface: pacing, frame statuses, the frame pool, and a
// capture that loses its X server.
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <filesystem>

#include "platform/content.hpp"
#include "platform/filter.hpp"
#include "platform/queue.hpp"
#include "stream_e2e_support.hpp"

using namespace platform;
using namespace std::chrono_literals;

namespace {

// A drawing connection to the display named by DISPLAY.
class Painter {
 public:
  Painter() {
    // A server still busy with the previous test's clients may turn a
    // connection away for a moment.
    for (int attempt = 0; attempt < 40; ++attempt) {
      connection_ = xcb_connect(nullptr, nullptr);
      if (!xcb_connection_has_error(connection_)) break;
      xcb_disconnect(connection_);
      connection_ = nullptr;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (connection_) screen_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
  }
  ~Painter() {
    if (!connection_) return;
    for (xcb_window_t window : windows_) xcb_destroy_window(connection_, window);
    xcb_flush(connection_);
    xcb_disconnect(connection_);
  }
  bool ok() const { return screen_ != nullptr; }

  // A mapped, unmanaged window filled with one colour (0xRRGGBB).
  xcb_window_t show(int x, int y, int width, int height, uint32_t colour) {
    const xcb_window_t window = xcb_generate_id(connection_);
    const uint32_t values[] = {colour, 1};
    xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window, screen_->root,
                      static_cast<int16_t>(x), static_cast<int16_t>(y),
                      static_cast<uint16_t>(width), static_cast<uint16_t>(height), 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(connection_, window);
    xcb_clear_area(connection_, 0, window, 0, 0, 0, 0);
    xcb_aux_sync();
    windows_.push_back(window);
    return window;
  }
  void destroy(xcb_window_t window) {
    xcb_destroy_window(connection_, window);
    xcb_aux_sync();
    std::erase(windows_, window);
  }
  void recolour(xcb_window_t window, uint32_t colour) {
    xcb_change_window_attributes(connection_, window, XCB_CW_BACK_PIXEL, &colour);
    xcb_clear_area(connection_, 0, window, 0, 0, 0, 0);
    xcb_aux_sync();
  }

 private:
  void xcb_aux_sync() { free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr)); }
  xcb_connection_t* connection_ = nullptr;
  xcb_screen_t* screen_ = nullptr;
  std::vector<xcb_window_t> windows_;
};

int64_t statusOf(const SampleBuffer& sample) {
  if (!sample.attachments || sample.attachments->empty()) return -1;
  const auto& info = sample.attachments->front();
  auto it = info.find(kStreamFrameInfoStatus);
  return it == info.end() ? -1 : std::get<int64_t>(it->second);
}

class ScreenStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no X display (DISPLAY unset)";
  }

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
    capture.stream = makeStream(makeDisplayFilter(content.displays.front(), {}, {}), c,
                                &capture.recording);
    capture.stream->addStreamOutput(capture.recording, streamOutputTypeScreen, capture.queue);
    const auto started =
        e2e::complete([&](Completion done) { capture.stream->startCapture(std::move(done)); });
    ASSERT_TRUE(started);
    ASSERT_FALSE(*started) << (*started)->localizedDescription();
  }

  static void stop(Capture& capture) {
    const auto stopped =
        e2e::complete([&](Completion done) { capture.stream->stopCapture(std::move(done)); },
                      2000ms);
    ASSERT_TRUE(stopped) << "stopping did not complete";
    capture.queue.sync([] {});
  }
};

TEST_F(ScreenStreamTest, FramesComeAtTheRateIdleWhileStillCompleteAfterDrawing) {
  Painter painter;
  ASSERT_TRUE(painter.ok());
  Capture capture;
  start(capture, configuration(20, 6));
  std::this_thread::sleep_for(1500ms);
  const CMTime drawn = hostClockNow();
  // A red square at (320, 180) on the 1920 x 1080 display: (80, 45) in the frame.
  painter.show(320, 180, 240, 240, 0xff0000);
  std::this_thread::sleep_for(1000ms);
  stop(capture);

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
    EXPECT_GT(CMTimeCompare(presentationTimeStamp(sample),
                            presentationTimeStamp(*entries[i - 1].sample)), 0);
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

TEST_F(ScreenStreamTest, HeldBuffersMakeTheStreamSkipFramesNeverWait) {
  Painter painter;
  ASSERT_TRUE(painter.ok());
  const xcb_window_t window = painter.show(0, 0, 300, 300, 0x00ff00);
  Capture capture;
  start(capture, configuration(30, 2));
  // The recording keeps every sample, so both pooled buffers stay held while
  // the content keeps changing.
  for (int i = 0; i < 30; ++i) {
    painter.recolour(window, i % 2 ? 0x0000ff : 0x00ff00);
    std::this_thread::sleep_for(30ms);
  }
  size_t complete = 0;
  for (const auto& entry : capture.recording.snapshot())
    if (statusOf(*entry.sample) == frameStatusComplete) ++complete;
  EXPECT_EQ(complete, 2u);

  // Let go of the buffers: complete frames come again.
  {
    std::lock_guard lock(capture.recording.mutex);
    capture.recording.entries.clear();
  }
  painter.recolour(window, 0xffffff);
  EXPECT_TRUE(capture.recording.waitUntil(
      [&] {
        for (const auto& entry : capture.recording.entries)
          if (statusOf(*entry.sample) == frameStatusComplete) return true;
        return false;
      },
      2000ms));
  stop(capture);
  EXPECT_TRUE(capture.recording.failures.empty());
}

TEST_F(ScreenStreamTest, ALostXServerIsReportedOnceAndStopStillCompletes) {
  std::string display;
  for (int n = 330; n < 390 && display.empty(); ++n)
    if (!std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(n)) &&
        !std::filesystem::exists("/tmp/.X" + std::to_string(n) + "-lock"))
      display = ":" + std::to_string(n);
  ASSERT_FALSE(display.empty());
  e2e::Child server({"Xvfb", display, "-screen", "0", "640x480x24", "-nolisten", "tcp", "-noreset",
                     "+extension", "Composite", "+extension", "DAMAGE", "+extension", "RANDR",
                     "+extension", "XFIXES", "+extension", "RENDER", "+extension", "MIT-SHM"});
  // Point DISPLAY at the private server while the stream starts.
  struct DisplayOverride {
    std::string saved = std::getenv("DISPLAY");
    explicit DisplayOverride(const std::string& display) { setenv("DISPLAY", display.c_str(), 1); }
    ~DisplayOverride() { setenv("DISPLAY", saved.c_str(), 1); }
  };
  Capture capture;
  {
    DisplayOverride override(display);
    bool up = false;
    for (int i = 0; i < 200 && !up; ++i) {
      xcb_connection_t* probe = xcb_connect(display.c_str(), nullptr);
      up = !xcb_connection_has_error(probe);
      xcb_disconnect(probe);
      if (!up) std::this_thread::sleep_for(50ms);
    }
    ASSERT_TRUE(up) << "Xvfb did not start on " << display;
    StreamConfiguration c = configuration(30, 6);
    c.width = 320;
    c.height = 240;
    start(capture, c);
  }
  EXPECT_TRUE(capture.recording.waitUntil([&] { return !capture.recording.entries.empty(); }, 3s));
  server.kill();
  const std::string number = display.substr(1);
  std::filesystem::remove("/tmp/.X11-unix/X" + number);  // left behind by a killed server
  std::filesystem::remove("/tmp/.X" + number + "-lock");
  EXPECT_TRUE(capture.recording.waitUntil([&] { return !capture.recording.failures.empty(); }, 5s));
  std::this_thread::sleep_for(300ms);
  const size_t delivered = capture.recording.snapshot().size();
  std::this_thread::sleep_for(300ms);
  {
    std::lock_guard lock(capture.recording.mutex);
    EXPECT_EQ(capture.recording.failures.size(), 1u);
    EXPECT_EQ(capture.recording.entries.size(), delivered);  // the capture has ended
  }
  stop(capture);
}

TEST_F(ScreenStreamTest, AWindowThatGoesAwayIsReportedOnce) {
  Painter painter;
  ASSERT_TRUE(painter.ok());
  const xcb_window_t id = painter.show(200, 150, 320, 200, 0x2040c0);
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
  EXPECT_TRUE(capture.recording.waitUntil([&] { return capture.recording.entries.size() > 3; }, 3s));
  painter.destroy(id);
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
  auto stream = makeStream(makeDisplayFilter(content.displays.front(), {}, {}), c,
                           &capture.recording);
  EXPECT_THROW(stream->addStreamOutput(capture.recording, 7, capture.queue), PlatformError);
  stream->addStreamOutput(capture.recording, streamOutputTypeScreen, capture.queue);
  EXPECT_THROW(stream->addStreamOutput(capture.recording, streamOutputTypeScreen, capture.queue),
               PlatformError);
  const auto started = e2e::complete([&](Completion done) { stream->startCapture(std::move(done)); });
  ASSERT_TRUE(started);
  ASSERT_TRUE(*started);  // a 0-pixel-wide frame cannot be captured
  const auto stopped = e2e::complete([&](Completion done) { stream->stopCapture(std::move(done)); });
  ASSERT_TRUE(stopped);
  EXPECT_TRUE(*stopped);  // it never started
  EXPECT_THROW(makeStream(nullptr, c, nullptr), PlatformError);
}

}  // namespace
