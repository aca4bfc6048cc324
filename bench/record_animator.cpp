// A full-screen window whose whole content changes every frame, for the
// recording benchmark (record_bench.py):
//
//   record_animator RATE      repaints RATE times a second, for ever
//   record_animator still     paints once, then stays as it is
//   record_animator window RATE
//                             a quarter-size window over whatever is on screen,
//                             moved and repainted RATE times a second
//
// The window covers the root window at (0, 0). Its content is a textured
// picture twice the screen's width (gradients, fine detail, flat blocks and
// hard edges, like a desktop's mix of photos, text and interface), kept in a
// server-side pixmap and scrolled sideways by a few pixels each frame, so
// every frame differs everywhere while the animator itself costs one copy on
// the server per frame. Prints "ready" once the first frame is on screen.
#include <xcb/xcb.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "record_animator: %s\n", what);
  std::exit(1);
}

uint32_t hash(uint32_t x) {
  x ^= x >> 16;
  x *= 0x7feb352dU;
  x ^= x >> 15;
  x *= 0x846ca68bU;
  x ^= x >> 16;
  return x;
}

// One pixel of the picture (0x00RRGGBB).
uint32_t texel(int x, int y, int width, int height) {
  const int band = (y * 4) / height;  // four horizontal bands of different kinds
  const uint32_t cell = hash(static_cast<uint32_t>((x / 48) * 7919 + (y / 48) * 104729));
  switch (band) {
    case 0: {  // smooth gradients
      const uint32_t r = static_cast<uint32_t>((x * 255) / width);
      const uint32_t g = static_cast<uint32_t>((y * 255) / height * 4 % 256);
      const uint32_t b = static_cast<uint32_t>(((x + y) * 3) % 256);
      return (r << 16) | (g << 8) | b;
    }
    case 1: {  // text-like fine detail: dark strokes on light cells
      const bool stroke =
          (hash(static_cast<uint32_t>(x / 2 * 31 + y / 3 * 977)) & 7) == 0 && (y % 18) < 12;
      return stroke ? 0x202020U : 0xf0f0e8U;
    }
    case 2:  // flat blocks with hard edges
      return cell & 0xffffffU;
    default: {  // photo-like noise over a slow gradient
      const uint32_t n = hash(static_cast<uint32_t>(x * 1315423911U + y)) & 0x1f;
      const uint32_t base = static_cast<uint32_t>((x / 8) % 200);
      const uint32_t v = base + n;
      return (v << 16) | ((v / 2) << 8) | (255 - v);
    }
  }
}

void sleepUntil(const timespec& t) {
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
  }
}

}  // namespace

int main(int argc, char** argv) {
  const bool moving = argc == 3 && std::string(argv[1]) == "window";
  if (argc != 2 && !moving) fail("usage: record_animator RATE|still|window RATE");
  const bool still = std::string(argv[1]) == "still";
  const int rate = still ? 0 : std::atoi(argv[moving ? 2 : 1]);
  if (!still && (rate < 1 || rate > 1000)) fail("RATE must be 1 to 1000");

  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(c)) fail("cannot open the display");
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  if (screen->root_depth != 24) fail("the screen's depth is not 24");
  const int screenWidth = screen->width_in_pixels;
  const int screenHeight = screen->height_in_pixels;
  const int width = moving ? screenWidth / 4 : screenWidth;
  const int height = moving ? screenHeight / 4 : screenHeight;
  const int pictureWidth = width * 2;

  const xcb_window_t window = xcb_generate_id(c);
  const uint32_t windowValues[] = {screen->black_pixel, 1};
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0,
                    static_cast<uint16_t>(width), static_cast<uint16_t>(height), 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                    XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, windowValues);
  const char name[] = "record_animator";
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                      sizeof name - 1, name);
  const char wmClass[] = "record_animator\0record_animator";
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                      sizeof wmClass - 1, wmClass);

  const xcb_pixmap_t picture = xcb_generate_id(c);
  xcb_create_pixmap(c, 24, picture, window, static_cast<uint16_t>(pictureWidth),
                    static_cast<uint16_t>(height));
  const xcb_gcontext_t gc = xcb_generate_id(c);
  const uint32_t gcValues[] = {0};
  xcb_create_gc(c, gc, picture, XCB_GC_GRAPHICS_EXPOSURES, gcValues);

  // Upload the picture in strips that fit in one request.
  const uint32_t maxBytes = xcb_get_maximum_request_length(c) * 4 - 64;
  const int rowsPerStrip =
      std::max(1, static_cast<int>(std::min<uint32_t>(maxBytes / (pictureWidth * 4), 64)));
  std::vector<uint32_t> strip(static_cast<size_t>(pictureWidth) * rowsPerStrip);
  for (int y0 = 0; y0 < height; y0 += rowsPerStrip) {
    const int rows = std::min(rowsPerStrip, height - y0);
    for (int y = 0; y < rows; ++y)
      for (int x = 0; x < pictureWidth; ++x)
        strip[static_cast<size_t>(y) * pictureWidth + x] = texel(x, y0 + y, width, height);
    xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, picture, gc, static_cast<uint16_t>(pictureWidth),
                  static_cast<uint16_t>(rows), 0, static_cast<int16_t>(y0), 0, 24,
                  static_cast<uint32_t>(rows) * pictureWidth * 4,
                  reinterpret_cast<const uint8_t*>(strip.data()));
  }
  xcb_map_window(c, window);

  // A moving window bounces between the screen's edges.
  auto place = [&](int64_t frame) {
    auto bounce = [](int64_t travelled, int room) {
      const int64_t t = travelled % (2 * static_cast<int64_t>(room));
      return static_cast<uint32_t>(t < room ? t : 2 * room - t);
    };
    const uint32_t at[] = {bounce(frame * 7, screenWidth - width),
                           bounce(frame * 5, screenHeight - height)};
    xcb_configure_window(c, window, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, at);
  };
  auto paint = [&](int offset) {
    xcb_copy_area(c, picture, window, gc, static_cast<int16_t>(offset), 0, 0, 0,
                  static_cast<uint16_t>(width), static_cast<uint16_t>(height));
    // A round trip: the frame is on screen before the next one is timed.
    free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    if (xcb_connection_has_error(c)) fail("lost the display");
  };
  paint(0);
  std::printf("ready\n");
  std::fflush(stdout);
  if (still) {
    for (;;) pause();
  }

  constexpr int kStep = 6;  // pixels per frame
  const int64_t periodNs = 1'000'000'000LL / rate;
  timespec next{};
  clock_gettime(CLOCK_MONOTONIC, &next);
  for (int64_t frame = 1;; ++frame) {
    next.tv_nsec += periodNs;
    while (next.tv_nsec >= 1'000'000'000L) {
      next.tv_nsec -= 1'000'000'000L;
      ++next.tv_sec;
    }
    sleepUntil(next);
    if (moving) place(frame);
    paint(static_cast<int>((frame * kStep) % width));
  }
}
