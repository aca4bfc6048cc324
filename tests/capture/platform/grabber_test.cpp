// The X11 grab path on a virtual display of its own: pixels of plain and
// scaled grabs, frames handed out without a copy staying untouched while
// held, change tracking, and a window that goes away.
#include "platform/linux/grabber.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include "platform/content.hpp"
#include "platform/error.hpp"

namespace {

using platform::x11::Grabber;

constexpr int kWidth = 320, kHeight = 240;

// One Xvfb for the whole suite, and a connection that draws on it. The
// server picks a free display number itself and tells it through a pipe, so
// suites started at the same moment never end up drawing on one display.
class Screen : public ::testing::Environment {
 public:
  void SetUp() override {
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    server = fork();
    if (server == 0) {
      // The server goes with the test, however the test ends, and keeps
      // none of its output channels open.
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      close(pipeFds[0]);
      const int devNull = open("/dev/null", O_RDWR);
      dup2(devNull, STDIN_FILENO);
      dup2(devNull, STDOUT_FILENO);
      dup2(devNull, STDERR_FILENO);
      const std::string size = std::to_string(kWidth) + "x" + std::to_string(kHeight) + "x24";
      const std::string fd = std::to_string(pipeFds[1]);
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", size.c_str(), "-nolisten",
             "tcp", "-noreset", "+extension", "Composite", "+extension", "DAMAGE", "+extension",
             "RANDR", "+extension", "XFIXES", "+extension", "RENDER", "+extension", "MIT-SHM",
             static_cast<char*>(nullptr));
      _exit(127);
    }
    close(pipeFds[1]);
    // The number comes as a line once the server accepts connections.
    std::string number;
    pollfd ready{pipeFds[0], POLLIN, 0};
    char c = 0;
    while (poll(&ready, 1, 20000) == 1 && read(pipeFds[0], &c, 1) == 1 && c != '\n') number += c;
    close(pipeFds[0]);
    ASSERT_FALSE(number.empty()) << "Xvfb did not start";
    display = ":" + number;
    setenv("DISPLAY", display.c_str(), 1);
    connection = xcb_connect(display.c_str(), nullptr);
    ASSERT_FALSE(xcb_connection_has_error(connection)) << "no connection to " << display;
    screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
  }
  void TearDown() override {
    if (connection) xcb_disconnect(connection);
    if (server > 0) {
      kill(server, SIGTERM);
      waitpid(server, nullptr, 0);
    }
  }

  pid_t server = -1;
  std::string display;
  xcb_connection_t* connection = nullptr;
  xcb_screen_t* screen = nullptr;
};

Screen* const screen = static_cast<Screen*>(::testing::AddGlobalTestEnvironment(new Screen));

// A mapped window filled with one colour (0xRRGGBB).
xcb_window_t showWindow(int x, int y, int width, int height, uint32_t colour) {
  xcb_connection_t* c = screen->connection;
  const xcb_window_t w = xcb_generate_id(c);
  const uint32_t values[] = {colour, 1};
  xcb_create_window(c, XCB_COPY_FROM_PARENT, w, screen->screen->root, static_cast<int16_t>(x),
                    static_cast<int16_t>(y), static_cast<uint16_t>(width), static_cast<uint16_t>(height),
                    0, XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                    XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
  xcb_map_window(c, w);
  xcb_clear_area(c, 0, w, 0, 0, 0, 0);
  free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));  // round trip
  return w;
}

void destroyWindow(xcb_window_t w) {
  xcb_destroy_window(screen->connection, w);
  free(xcb_get_input_focus_reply(screen->connection, xcb_get_input_focus(screen->connection), nullptr));
}

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

platform::ContentFilterRef wholeDisplay() {
  const auto content = platform::getShareableContent(false, true);
  EXPECT_FALSE(content.displays.empty());
  return platform::makeDisplayFilter(content.displays.at(0), {}, {});
}

TEST(Grabber, PlainAndScaledGrabsShowTheScreen) {
  const xcb_window_t w = showWindow(0, 0, kWidth / 2, kHeight, 0xFF0000);
  const auto filter = wholeDisplay();
  Grabber plain(*filter, sized(kWidth, kHeight));
  std::vector<uint8_t> frame((kWidth * 4 + 16) * kHeight);
  plain.grab(frame.data(), kWidth * 4 + 16);  // rows wider than the pixels
  EXPECT_EQ(pixel(frame.data(), kWidth * 4 + 16, 10, 10), 0xFF0000u);
  EXPECT_EQ(frame[3], 255);

  Grabber half(*filter, sized(kWidth / 2, kHeight / 2));
  std::vector<uint8_t> small(kWidth / 2 * 4 * kHeight / 2);
  half.grab(small.data(), kWidth / 2 * 4);
  EXPECT_EQ(pixel(small.data(), kWidth / 2 * 4, 20, 20), 0xFF0000u);
  EXPECT_EQ(small[3], 255);
  destroyWindow(w);
}

TEST(Grabber, SharedFramesStayUntouchedWhileHeld) {
  const xcb_window_t red = showWindow(0, 0, kWidth, kHeight, 0xFF0000);
  Grabber grabber(*wholeDisplay(), sized(kWidth, kHeight));
  const auto first = grabber.grabShared();
  EXPECT_EQ(pixel(first.data, first.bytesPerRow, 5, 5), 0xFF0000u);
  const xcb_window_t blue = showWindow(0, 0, kWidth, kHeight, 0x0000FF);
  const auto second = grabber.grabShared();
  EXPECT_NE(first.data, second.data);
  EXPECT_EQ(pixel(second.data, second.bytesPerRow, 5, 5), 0x0000FFu);
  EXPECT_EQ(pixel(first.data, first.bytesPerRow, 5, 5), 0xFF0000u);

  // Many held at once: every one keeps its own pixels.
  std::vector<Grabber::SharedFrame> held;
  for (int i = 0; i < 24; ++i) held.push_back(grabber.grabShared());
  for (size_t i = 1; i < held.size(); ++i) EXPECT_NE(held[i].data, held[i - 1].data);
  held.clear();
  // Released frames are reused rather than new ones made.
  const uint8_t* reused = grabber.grabShared().data;
  EXPECT_EQ(grabber.grabShared().data, reused);
  destroyWindow(blue);
  destroyWindow(red);
}

TEST(Grabber, SharedFrameOutlivesItsGrabber) {
  const xcb_window_t green = showWindow(0, 0, kWidth, kHeight, 0x00FF00);
  Grabber::SharedFrame frame;
  {
    Grabber grabber(*wholeDisplay(), sized(kWidth, kHeight));
    frame = grabber.grabShared();
  }
  EXPECT_EQ(pixel(frame.data, frame.bytesPerRow, kWidth - 1, kHeight - 1), 0x00FF00u);
  destroyWindow(green);
}

TEST(Grabber, ContentChangedFollowsDrawing) {
  Grabber grabber(*wholeDisplay(), sized(kWidth, kHeight));
  EXPECT_TRUE(grabber.contentChanged());
  std::vector<uint8_t> frame(kWidth * 4 * kHeight);
  grabber.grab(frame.data(), kWidth * 4);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(grabber.contentChanged());
  const xcb_window_t w = showWindow(10, 10, 20, 20, 0x123456);
  bool changed = false;
  for (int i = 0; i < 50 && !changed; ++i) {
    changed = grabber.contentChanged();
    if (!changed) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(changed);
  grabber.grab(frame.data(), kWidth * 4);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(grabber.contentChanged());
  destroyWindow(w);
}

TEST(Grabber, CoveredWindowAndWindowThatGoes) {
  const xcb_window_t target = showWindow(20, 20, 100, 80, 0xFFFF00);
  const xcb_window_t cover = showWindow(0, 0, kWidth, kHeight, 0x000080);
  platform::Window window;
  window.windowID = target;
  window.frame = {20, 20, 100, 80};
  Grabber grabber(*platform::makeWindowFilter(window), sized(50, 40));
  std::vector<uint8_t> frame(50 * 4 * 40);
  grabber.grab(frame.data(), 50 * 4);
  EXPECT_EQ(pixel(frame.data(), 200, 25, 20), 0xFFFF00u);
  destroyWindow(target);
  EXPECT_THROW(grabber.grab(frame.data(), 50 * 4), platform::PlatformError);
  EXPECT_THROW(Grabber(*platform::makeWindowFilter(window), sized(50, 40)), platform::PlatformError);
  destroyWindow(cover);
}

TEST(Grabber, DisplayWithoutAnApplicationShowsWhatLiesBeneath) {
  xcb_connection_t* c = screen->connection;
  const uint32_t background[] = {0x336699};
  xcb_change_window_attributes(c, screen->screen->root, XCB_CW_BACK_PIXEL, background);
  xcb_clear_area(c, 0, screen->screen->root, 0, 0, 0, 0);
  // This process owns the window (the server knows its pid).
  const xcb_window_t w = showWindow(0, 0, kWidth, kHeight / 2, 0xFF0000);
  const auto content = platform::getShareableContent(false, true);
  platform::RunningApplication self;
  self.processID = static_cast<int32_t>(getpid());
  const auto filter = platform::makeDisplayFilter(content.displays.at(0), {self}, {});
  Grabber grabber(*filter, sized(kWidth, kHeight));
  std::vector<uint8_t> frame(kWidth * 4 * kHeight);
  grabber.grab(frame.data(), kWidth * 4);
  EXPECT_EQ(pixel(frame.data(), kWidth * 4, 10, 10), 0x336699u);
  EXPECT_EQ(pixel(frame.data(), kWidth * 4, 10, kHeight - 10), 0x336699u);
  // Composing a frame is no change of the screen itself.
  grabber.grab(frame.data(), kWidth * 4);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(grabber.contentChanged());
  destroyWindow(w);
}

TEST(Grabber, RefusesSizesItCannotServe) {
  const auto filter = wholeDisplay();
  EXPECT_THROW(Grabber(*filter, sized(0, 10)), platform::PlatformError);
  EXPECT_THROW(Grabber(*filter, sized(10, -1)), platform::PlatformError);
  EXPECT_THROW(Grabber(*filter, sized(100000, 10)), platform::PlatformError);
}

}  // namespace
