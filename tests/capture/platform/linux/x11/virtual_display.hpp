#pragma once
// An Xvfb of the test's own, for the whole suite: the server picks a free
// display number and tells it through a pipe (-displayfd), so suites started
// at the same moment never draw on one display. DISPLAY points at it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <csignal>
#include <cstdlib>
#include <string>

namespace capture {

class VirtualDisplay : public ::testing::Environment {
 public:
  VirtualDisplay(int width, int height)
      : size_(std::to_string(width) + "x" + std::to_string(height) + "x24") {}
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    server_ = fork();
    if (server_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);  // goes with the test, however it ends
      close(fds[0]);
      const int devNull = open("/dev/null", O_RDWR);
      for (int fd : {0, 1, 2}) dup2(devNull, fd);
      const std::string fd = std::to_string(fds[1]);
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", size_.c_str(), "-nolisten",
             "tcp", "-noreset", "+extension", "Composite", "+extension", "DAMAGE", "+extension",
             "RANDR", "+extension", "XFIXES", "+extension", "RENDER", "+extension", "MIT-SHM",
             static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    std::string number;  // a line, once the server accepts connections
    pollfd ready{fds[0], POLLIN, 0};
    char c = 0;
    while (poll(&ready, 1, 20000) == 1 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    ASSERT_FALSE(number.empty()) << "Xvfb did not start";
    setenv("DISPLAY", (":" + number).c_str(), 1);
    connection = xcb_connect(nullptr, nullptr);
    ASSERT_FALSE(xcb_connection_has_error(connection));
    screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
  }
  void TearDown() override {
    if (connection) xcb_disconnect(connection);
    if (server_ > 0) kill(server_, SIGTERM), waitpid(server_, nullptr, 0);
  }

  // A mapped, unmanaged window of one colour (0xRRGGBB), drawn when this returns.
  xcb_window_t show(int x, int y, int width, int height, uint32_t colour) {
    const xcb_window_t w = xcb_generate_id(connection);
    const uint32_t values[] = {colour, 1};
    xcb_create_window(connection, XCB_COPY_FROM_PARENT, w, screen->root, static_cast<int16_t>(x),
                      static_cast<int16_t>(y), static_cast<uint16_t>(width),
                      static_cast<uint16_t>(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      XCB_COPY_FROM_PARENT, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(connection, w);
    xcb_clear_area(connection, 0, w, 0, 0, 0, 0);
    sync();
    return w;
  }
  void destroy(xcb_window_t w) {
    xcb_destroy_window(connection, w);
    sync();
  }
  void sync() {
    std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
  }

  xcb_connection_t* connection = nullptr;
  xcb_screen_t* screen = nullptr;

 private:
  std::string size_;
  pid_t server_ = -1;
};

}  // namespace capture
