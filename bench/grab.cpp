// Grabs frames of the first display of $DISPLAY through the capture tool's
// grab path and reports the CPU time this process spent per frame. Driven by
// bench/grab.py, which measures ffmpeg's x11grab on the same display.
//
//   grab_bench FRAMES [native|shared|half|exclude|cursor]
//     native   whole display at its own size (straight from the screen),
//              copied into this program's memory
//     shared   the same, handed over in the shared memory the server wrote
//     half     whole display scaled to half its size on the server
//     exclude  whole display composed without one application's windows
//     cursor   native, with the pointer drawn in
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "platform/content.hpp"
#include "platform/error.hpp"
#include "platform/filter.hpp"
#include "platform/linux/x11/grabber.hpp"

using namespace capture;

namespace {

double cpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: grab_bench FRAMES [native|shared|half|exclude|cursor]\n");
    return 2;
  }
  const int frames = std::atoi(argv[1]);
  const std::string mode = argc > 2 ? argv[2] : "native";
  try {
    const auto content = platform::getShareableContent(false, true);
    if (content.displays.empty()) throw platform::PlatformError("no display");
    const auto& display = content.displays.front();
    std::vector<platform::RunningApplication> excluded;
    if (mode == "exclude" && !content.applications.empty())
      excluded.push_back(content.applications.front());
    const auto filter = platform::makeDisplayFilter(display, excluded, {});

    platform::StreamConfiguration configuration;
    configuration.width = display.width;
    configuration.height = display.height;
    if (mode == "half") {
      configuration.width /= 2;
      configuration.height /= 2;
    }
    configuration.showsCursor = mode == "cursor";

    platform::x11::Grabber grabber(*filter, configuration);
    const size_t bytesPerRow = static_cast<size_t>(configuration.width) * 4;
    std::vector<uint8_t> frame(bytesPerRow * static_cast<size_t>(configuration.height));
    grabber.grab(frame.data(), bytesPerRow);  // warm up

    const double cpu0 = cpuSeconds();
    const auto wall0 = std::chrono::steady_clock::now();
    if (mode == "shared") {
      // Holds each frame until the next one is taken, as an encoder would.
      platform::x11::Grabber::SharedFrame held;
      for (int i = 0; i < frames; ++i) held = grabber.grabShared();
    } else {
      for (int i = 0; i < frames; ++i) grabber.grab(frame.data(), bytesPerRow);
    }
    const double cpu = cpuSeconds() - cpu0;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    std::printf("{\"frames\":%d,\"cpu\":%.6f,\"wall\":%.6f,\"width\":%lld,\"height\":%lld}\n",
                frames, cpu, wall, static_cast<long long>(configuration.width),
                static_cast<long long>(configuration.height));
  } catch (const platform::PlatformError& error) {
    std::fprintf(stderr, "grab_bench: %s\n", error.what());
    return 2;
  }
  return 0;
}
