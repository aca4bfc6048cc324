// A test application: owns one window of a given class and plays a steady
// sine tone from a child process, the way players and browsers play from
// helper processes.
//
// Usage: tone_window CLASS FREQUENCY_HZ [WIDTHxHEIGHT+X+Y]
// Prints "ready" on stdout once the window is mapped and the tone plays;
// runs until killed.
#include <pulse/error.h>
#include <pulse/simple.h>
#include <xcb/xcb.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/prctl.h>
#include <unistd.h>

namespace {

xcb_atom_t atom(xcb_connection_t* c, const char* name) {
  auto* reply = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, std::strlen(name), name), nullptr);
  const xcb_atom_t a = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
  free(reply);
  return a;
}

[[noreturn]] void playTone(double frequency) {
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, 48000, 1};
  int error = 0;
  pa_simple* s = pa_simple_new(nullptr, "tone_window", PA_STREAM_PLAYBACK, nullptr, "tone",
                               &spec, nullptr, nullptr, &error);
  if (!s) {
    std::fprintf(stderr, "tone_window: %s\n", pa_strerror(error));
    _exit(1);
  }
  std::printf("ready\n");
  std::fflush(stdout);
  std::vector<float> chunk(4800);
  for (uint64_t n = 0;; ) {
    for (auto& sample : chunk)
      sample = static_cast<float>(0.5 * std::sin(2 * M_PI * frequency * static_cast<double>(n++) / 48000));
    if (pa_simple_write(s, chunk.data(), chunk.size() * sizeof(float), &error) < 0) _exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: tone_window CLASS FREQUENCY_HZ [WxH+X+Y]\n");
    return 2;
  }
  const std::string cls = argv[1];
  const double frequency = std::atof(argv[2]);
  int w = 200, h = 150, x = 0, y = 0;
  if (argc > 3) std::sscanf(argv[3], "%dx%d+%d+%d", &w, &h, &x, &y);

  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(c)) {
    std::fprintf(stderr, "tone_window: no display\n");
    return 1;
  }
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  const xcb_window_t window = xcb_generate_id(c);
  const uint32_t values[] = {screen->white_pixel};
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, static_cast<int16_t>(x),
                    static_cast<int16_t>(y), static_cast<uint16_t>(w), static_cast<uint16_t>(h), 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_BACK_PIXEL, values);
  // WM_CLASS is "instance\0class\0".
  const std::string wmClass = cls + '\0' + cls + '\0';
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                      wmClass.size(), wmClass.data());
  const uint32_t pid = static_cast<uint32_t>(getpid());
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, atom(c, "_NET_WM_PID"),
                      XCB_ATOM_CARDINAL, 32, 1, &pid);
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                      cls.size(), cls.data());
  xcb_map_window(c, window);
  free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));

  if (fork() == 0) playTone(frequency);
  for (;;) pause();
}
