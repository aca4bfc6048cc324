// A test program that, once a second, turns a full-screen window white and
// starts a click on the default sound sink at the same host-clock instant.
//
// Usage: sync_beacon SECONDS
// Prints {"ready":true} once its sound plays with a short latency, reads
// "FRAME_TIME INTERVAL" (CLOCK_MONOTONIC seconds of a recorded frame, and the
// frame interval), prints {"start":<first flash>} and flashes SECONDS times.
#include <pulse/error.h>
#include <pulse/simple.h>
#include <xcb/xcb.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include <time.h>

namespace {

constexpr int kRate = 48000;

double now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

void sleepUntil(double t) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(t);
  ts.tv_nsec = static_cast<long>((t - static_cast<double>(ts.tv_sec)) * 1e9);
  clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
}

void roundTrip(xcb_connection_t* c) {
  free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
}

// Plays silence, and a 30 ms 2 kHz burst at each flash instant: a written
// sample is heard at now + the stream's latency + its place in the chunk. An
// output that was idle may have rendered seconds ahead; `settled` is raised
// once the latency is short. A negative `start` ends the clicks.
void playClicks(std::atomic<double>& start, int seconds, std::atomic<bool>& settled,
                std::atomic<bool>& failed) {
  pa_buffer_attr attr{};
  attr.maxlength = attr.prebuf = attr.minreq = attr.fragsize = static_cast<uint32_t>(-1);
  attr.tlength = kRate / 10 * 4;  // 100 ms: a busy machine may starve this thread that long
  const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, kRate, 1};
  int error = 0;
  pa_simple* s = pa_simple_new(nullptr, "sync_beacon", PA_STREAM_PLAYBACK, nullptr, "clicks", &spec,
                               nullptr, &attr, &error);
  if (!s) std::fprintf(stderr, "sync_beacon: %s\n", pa_strerror(error));
  failed = !s;
  const double giveUp = now() + 5;
  std::vector<float> samples(kRate / 200);  // 5 ms
  while (s) {
    const double latency = static_cast<double>(pa_simple_get_latency(s, &error)) * 1e-6;
    const double first = now() + latency;
    if (latency < 0.25 || now() > giveUp) settled = true;
    const double from = start.load();
    if (from < 0 || (from > 0 && now() >= from + seconds + 0.5)) break;
    for (size_t i = 0; i < samples.size(); ++i) {
      const double t = first + static_cast<double>(i) / kRate - from;
      const double into = t - std::floor(t);
      samples[i] = (from > 0 && t >= 0 && into < 0.03)
                       ? static_cast<float>(0.8 * std::sin(2 * M_PI * 2000 * into))
                       : 0.0f;
    }
    if (pa_simple_write(s, samples.data(), samples.size() * sizeof(float), &error) < 0) {
      failed = true;
      break;
    }
  }
  if (s) pa_simple_free(s);
  settled = true;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(c)) {
    std::fprintf(stderr, "sync_beacon: no display\n");
    return 1;
  }
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  const xcb_rectangle_t all{0, 0, screen->width_in_pixels, screen->height_in_pixels};
  const xcb_window_t window = xcb_generate_id(c);
  const uint32_t values[] = {screen->black_pixel, 1};
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, all.width, all.height, 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                    XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
  xcb_map_window(c, window);
  const xcb_gcontext_t white = xcb_generate_id(c), black = xcb_generate_id(c);
  xcb_create_gc(c, white, window, XCB_GC_FOREGROUND, &screen->white_pixel);
  xcb_create_gc(c, black, window, XCB_GC_FOREGROUND, &screen->black_pixel);
  xcb_poly_fill_rectangle(c, window, black, 1, &all);
  roundTrip(c);

  std::atomic<double> clicksFrom{0.0};
  std::atomic<bool> settled{false}, failed{false};
  std::thread audio(playClicks, std::ref(clicksFrom), seconds, std::ref(settled), std::ref(failed));
  while (!settled) sleepUntil(now() + 0.01);
  std::printf("{\"ready\":true}\n");
  std::fflush(stdout);
  double frameAt = 0, interval = 0;
  if (failed || std::scanf("%lf %lf", &frameAt, &interval) != 2 || interval <= 0) {
    std::fprintf(stderr, "sync_beacon: no sound, or no frame time and interval on stdin\n");
    clicksFrom = -1;
    audio.join();
    return 1;
  }
  // Flashes half an interval after a frame would be taken, so that which
  // frame first shows one does not hinge on a microsecond either way.
  const double base = std::ceil(now()) + 2;
  double offset = std::fmod(frameAt + interval / 2 - base, interval);
  if (offset < 0) offset += interval;
  const double start = base + offset;
  clicksFrom = start;
  std::printf("{\"start\":%.9f}\n", start);
  std::fflush(stdout);
  for (int k = 0; k < seconds; ++k) {
    // Awake for the last 3 ms: a thread woken on a busy machine may come late.
    sleepUntil(start + k - 0.003);
    while (now() < start + k) {
    }
    xcb_poly_fill_rectangle(c, window, white, 1, &all);
    roundTrip(c);
    sleepUntil(start + k + 0.25);
    xcb_poly_fill_rectangle(c, window, black, 1, &all);
    roundTrip(c);
  }
  audio.join();
  return failed ? 1 : 0;
}
