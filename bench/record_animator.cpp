// Screen content for the recording benchmarks (record_bench.py,
// record_quality.py, long_run.py), drawn on the X server by copies from
// server-side pixmaps so that the animator itself costs little:
//
//   record_animator SCENE RATE   plays a scene (terminal, document, windows,
//                                video, motion) full-screen at RATE frames a
//                                second, for ever
//   record_animator RATE         the same as "motion RATE"
//   record_animator still        paints motion's first frame, then stays
//   record_animator window RATE  a quarter-size window of motion, over
//                                whatever is on screen, moved and repainted
//                                RATE times a second (no corner code)
//   record_animator render SCENE RATE WIDTH HEIGHT LIST
//                                writes the frames whose numbers are in the
//                                file LIST (one a line) to standard output as
//                                raw bgr0 pictures, exactly as the screen
//                                showed them
//   record_animator check SCENE RATE WIDTH HEIGHT COUNT
//                                checks that frames 1 to COUNT, painted only
//                                where the scene says they changed, equal the
//                                same frames painted whole; exit status 1 if not
//
// Each frame is painted inside a server grab, so that a screen grab sees a
// whole frame or none of it, and only where it changed (the X server's damage
// is what a real application would cause). Prints "ready" once the first
// frame is on screen.
#include <xcb/xcb.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "animator_scene.hpp"

namespace {

using bench::Box;
using bench::Paint;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "record_animator: %s\n", what.c_str());
  std::exit(2);
}

int number(const char* text, int low, int high, const char* what) {
  const int value = std::atoi(text);
  if (value < low || value > high)
    fail(std::string(what) + " must be " + std::to_string(low) + " to " + std::to_string(high));
  return value;
}

std::unique_ptr<bench::Scene> scene(const std::string& name, int width, int height, int rate) {
  auto made = bench::makeScene(name, width, height, rate);
  if (!made) fail("unknown scene " + name);
  return made;
}

void sleepUntil(const timespec& t) {
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
  }
}

class Screen {
 public:
  Screen() : c_(xcb_connect(nullptr, nullptr)) {
    if (xcb_connection_has_error(c_)) fail("cannot open the display");
    screen_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
    if (screen_->root_depth != 24) fail("the screen's depth is not 24");
  }
  int width() const { return screen_->width_in_pixels; }
  int height() const { return screen_->height_in_pixels; }

  // An override-redirect window at (0, 0), and the scene's pictures as pixmaps.
  void open(const bench::Scene& scene, int width, int height) {
    window_ = xcb_generate_id(c_);
    const uint32_t values[] = {screen_->black_pixel, 1};
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, screen_->root, 0, 0,
                      static_cast<uint16_t>(width), static_cast<uint16_t>(height), 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    const char name[] = "record_animator";
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window_, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                        sizeof name - 1, name);
    const char wmClass[] = "record_animator\0record_animator";
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window_, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                        sizeof wmClass - 1, wmClass);
    const uint32_t noExposures[] = {0};
    gc_ = xcb_generate_id(c_);
    xcb_create_gc(c_, gc_, window_, XCB_GC_GRAPHICS_EXPOSURES, noExposures);
    for (const cv::Mat& picture : scene.pictures()) upload(picture);
    xcb_map_window(c_, window_);
  }

  void move(int x, int y) {
    const uint32_t at[] = {static_cast<uint32_t>(x), static_cast<uint32_t>(y)};
    xcb_configure_window(c_, window_, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, at);
  }

  // The paints, each cut to the changed boxes, as one indivisible update.
  void paint(const std::vector<Paint>& paints, const std::vector<Box>& changed) {
    xcb_grab_server(c_);
    for (const Box& box : changed) {
      for (const Paint& whole : paints) {
        const Paint p = bench::clipPaint(whole, box);
        if (p.to.w == 0 || p.to.h == 0) continue;
        if (p.picture >= 0) {
          xcb_copy_area(c_, pixmaps_[static_cast<size_t>(p.picture)], window_, gc_,
                        static_cast<int16_t>(p.fromX), static_cast<int16_t>(p.fromY),
                        static_cast<int16_t>(p.to.x), static_cast<int16_t>(p.to.y),
                        static_cast<uint16_t>(p.to.w), static_cast<uint16_t>(p.to.h));
        } else {
          xcb_change_gc(c_, gc_, XCB_GC_FOREGROUND, &p.colour);
          const xcb_rectangle_t r = {static_cast<int16_t>(p.to.x), static_cast<int16_t>(p.to.y),
                                     static_cast<uint16_t>(p.to.w), static_cast<uint16_t>(p.to.h)};
          xcb_poly_fill_rectangle(c_, window_, gc_, 1, &r);
        }
      }
    }
    xcb_ungrab_server(c_);
    // A round trip: the frame is on screen before the next one is timed.
    free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
    if (xcb_connection_has_error(c_)) fail("lost the display");
  }

 private:
  // Uploads in strips that fit in one request.
  void upload(const cv::Mat& picture) {
    const xcb_pixmap_t pixmap = xcb_generate_id(c_);
    xcb_create_pixmap(c_, 24, pixmap, window_, static_cast<uint16_t>(picture.cols),
                      static_cast<uint16_t>(picture.rows));
    const uint32_t maxBytes = xcb_get_maximum_request_length(c_) * 4 - 64;
    const int rowBytes = picture.cols * 4;
    const int strip = std::max(1, std::min(static_cast<int>(maxBytes) / rowBytes, 64));
    for (int y = 0; y < picture.rows; y += strip) {
      const int rows = std::min(strip, picture.rows - y);
      xcb_put_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, gc_, static_cast<uint16_t>(picture.cols),
                    static_cast<uint16_t>(rows), 0, static_cast<int16_t>(y), 0, 24,
                    static_cast<uint32_t>(rows * rowBytes), picture.ptr(y));
    }
    pixmaps_.push_back(pixmap);
  }

  xcb_connection_t* c_;
  xcb_screen_t* screen_;
  xcb_window_t window_ = 0;
  xcb_gcontext_t gc_ = 0;
  std::vector<xcb_pixmap_t> pixmaps_;
};

// Plays frames 0, 1, 2... at `rate` frames a second; each frame is drawn
// even when late, so that the screen goes through every frame in order.
int play(const std::string& name, int rate, bool still, bool window) {
  Screen screen;
  const int width = window ? screen.width() / 4 : screen.width();
  const int height = window ? screen.height() / 4 : screen.height();
  const auto s = scene(name, width, height, rate);
  screen.open(*s, width, height);
  const Box all{0, 0, width, height};
  auto place = [&](int64_t n) {
    auto bounce = [](int64_t travelled, int room) {
      const int64_t t = travelled % (2 * static_cast<int64_t>(room));
      return static_cast<int>(t < room ? t : 2 * room - t);
    };
    screen.move(bounce(n * 7, screen.width() - width), bounce(n * 5, screen.height() - height));
  };
  screen.paint(s->frame(0, !window).paints, {all});
  std::printf("ready\n");
  std::fflush(stdout);
  if (still) {
    for (;;) pause();
  }
  const int64_t periodNs = 1'000'000'000LL / rate;
  timespec next{};
  clock_gettime(CLOCK_MONOTONIC, &next);
  for (int64_t n = 1;; ++n) {
    next.tv_nsec += periodNs;
    while (next.tv_nsec >= 1'000'000'000L) {
      next.tv_nsec -= 1'000'000'000L;
      ++next.tv_sec;
    }
    sleepUntil(next);
    const bench::Frame f = s->frame(n, !window);
    if (window) {
      place(n);
      screen.paint(f.paints, {all});
    } else {
      screen.paint(f.paints, f.changed);
    }
  }
}

int render(const bench::Scene& scene, int width, int height, const char* list) {
  std::ifstream in(list);
  if (!in) fail(std::string("cannot read ") + list);
  cv::Mat canvas(height, width, CV_8UC4);
  for (int64_t n = 0; in >> n;) {
    bench::render(scene, scene.frame(n).paints, canvas);
    if (std::fwrite(canvas.data, canvas.total() * 4, 1, stdout) != 1) fail("cannot write");
  }
  return std::fflush(stdout) == 0 ? 0 : 2;
}

int check(const bench::Scene& scene, int width, int height, int count) {
  const cv::Scalar unpainted(255, 0, 255, 255);
  cv::Mat kept(height, width, CV_8UC4, unpainted), whole(height, width, CV_8UC4);
  bench::render(scene, scene.frame(0).paints, kept);
  int wrong = 0;
  for (int64_t n = 1; n <= count; ++n) {
    const bench::Frame f = scene.frame(n);
    for (const Box& box : f.changed) {
      std::vector<Paint> cut;
      for (const Paint& p : f.paints) cut.push_back(bench::clipPaint(p, box));
      bench::render(scene, cut, kept);
    }
    whole.setTo(unpainted);
    bench::render(scene, f.paints, whole);
    cv::Mat differs;
    cv::compare(kept, whole, differs, cv::CMP_NE);
    if (cv::countNonZero(differs.reshape(1)) > 0) {
      if (wrong++ < 5) std::fprintf(stderr, "frame %lld differs\n", static_cast<long long>(n));
      whole.copyTo(kept);
    }
  }
  std::printf("%d of %d frames differ\n", wrong, count);
  return wrong ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> a(argv + 1, argv + argc);
  if (a.size() == 1 && a[0] == "still") return play("motion", 1, true, false);
  if (a.size() == 1) return play("motion", number(argv[1], 1, 1000, "RATE"), false, false);
  if (a.size() == 2 && a[0] == "window")
    return play("motion", number(argv[2], 1, 1000, "RATE"), false, true);
  if (a.size() == 2 && a[0] != "render" && a[0] != "check")
    return play(a[0], number(argv[2], 1, 1000, "RATE"), false, false);
  if (a.size() == 6 && (a[0] == "render" || a[0] == "check")) {
    const int rate = number(argv[3], 1, 1000, "RATE");
    const int width = number(argv[4], 2, 16384, "WIDTH");
    const int height = number(argv[5], 2, 16384, "HEIGHT");
    const auto s = scene(a[1], width, height, rate);
    if (a[0] == "render") return render(*s, width, height, argv[6]);
    return check(*s, width, height, number(argv[6], 1, 1'000'000, "COUNT"));
  }
  fail(
      "usage: record_animator SCENE RATE | RATE | still | window RATE |\n"
      "       render SCENE RATE WIDTH HEIGHT LIST | check SCENE RATE WIDTH HEIGHT COUNT");
}
