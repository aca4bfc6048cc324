// Frames per second of segment mode at 1280x720 and 1920x1080, split into
// frame input (copying the frame into its pixel buffer), inference (stretching
// the frame to the network and running it) and mask scaling (stretching the
// mask back to the frame), with the mask written to /dev/null. Peers measured
// in the same run: the same network evaluated by the plain reference
// evaluation of the tests, and OpenCV's resize of the frame alone. Then the
// resident memory over a long run of frames.
// Usage: vision_segment_bench [frames-for-memory]   (default 10000)
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "frame_input.hpp"
#include "platform/segmenter.hpp"
#include "platform/tflite_model.hpp"
#include "segment.hpp"
#include "segment_mask.hpp"
#include "selfieSegmentationLandscapeModel.h"
#include "session.hpp"
#include "vision_tflite_reference.hpp"

namespace {

using namespace vision;

using Clock = std::chrono::steady_clock;

// Where the figures go (standard output is taken by the masks).
std::FILE* report = nullptr;

double since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// CPU seconds of the whole process (all its threads).
double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
         usage.ru_stime.tv_usec / 1e6;
}

long residentKiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// The portrait photograph stretched to the frame size, as the host's bytes.
std::vector<uint8_t> photoFrame(int w, int h) {
  cv::Mat image = cv::imread("/usr/share/matplotlib/mpl-data/sample_data/grace_hopper.jpg");
  if (image.empty()) {
    std::fprintf(stderr, "the sample photograph is missing (python-matplotlib-data)\n");
    std::exit(1);
  }
  cv::Mat stretched, bgra;
  cv::resize(image, stretched, cv::Size(w, h));
  cv::cvtColor(stretched, bgra, cv::COLOR_BGR2BGRA);
  return {bgra.data, bgra.data + bgra.total() * 4};
}

void measure(int w, int h, int frames) {
  Session session(Mode::segment, w, h);
  session.output = ::open("/dev/null", O_WRONLY);
  session.frame = photoFrame(w, h);

  // Warm up: the network is built on the first frame.
  segment(session, pixelBuffer(session.frame, session.width, session.height));

  double input = 0, inference = 0, scaling = 0, writing = 0;
  const auto all = Clock::now();
  const double cpuStart = cpuSeconds();
  for (int i = 0; i < frames; ++i) {
    auto t = Clock::now();
    const PixelBuffer buffer = pixelBuffer(session.frame, session.width, session.height);
    input += since(t);
    t = Clock::now();
    const auto mask = session.segmenter.segment(buffer);
    inference += since(t);
    t = Clock::now();
    scaleMask(*mask, session.mask, w, h);
    scaling += since(t);
    t = Clock::now();
    (void)!::write(STDOUT_FILENO, session.mask.data(), session.mask.size());
    writing += since(t);
  }
  const double total = since(all);
  const double cpu = cpuSeconds() - cpuStart;

  // Whole segment() calls, as the frame loop makes them.
  const auto loop = Clock::now();
  for (int i = 0; i < frames; ++i)
    segment(session, pixelBuffer(session.frame, session.width, session.height));
  const double segmentFps = frames / since(loop);

  // Peer: OpenCV's area-averaging resize of the frame alone to the network's size.
  const cv::Mat view(h, w, CV_8UC4, session.frame.data());
  cv::Mat small;
  const auto peer = Clock::now();
  for (int i = 0; i < frames; ++i)
    cv::resize(view, small, cv::Size(256, 144), 0, 0, cv::INTER_AREA);
  const double resizeSeconds = since(peer) / frames;

  std::fprintf(report,
               "%dx%d: %.1f frames/s (segment() alone %.1f frames/s); per frame %.2f ms = "
               "input %.0f%%, inference %.0f%%, mask scaling %.0f%%, writing %.0f%%\n",
               w, h, frames / total, segmentFps, 1e3 * total / frames, 100 * input / total,
               100 * inference / total, 100 * scaling / total, 100 * writing / total);
  // Wall time depends on what else the machine runs; CPU time much less so.
  std::fprintf(report, "%dx%d: %.2f ms of CPU per frame, %.0f frames/s per core\n", w, h,
               1e3 * cpu / frames, frames / cpu);
  std::fprintf(report,
               "%dx%d: OpenCV area-averaging resize of the frame to 256x144 alone %.3f ms; one "
               "whole frame costs "
               "%.1f such resizes\n",
               w, h, 1e3 * resizeSeconds, (total / frames) / resizeSeconds);
}

// The landscape network through the plain reference evaluation against the
// OpenCV network on the same input.
void compareWithReference() {
  const TfliteModel model =
      readTfliteModel(selfieSegmentationLandscapeModel, selfieSegmentationLandscapeModel_size);
  std::vector<float> input(144 * 256 * 3, 0.5f);
  const auto t = Clock::now();
  const int runs = 2;
  for (int i = 0; i < runs; ++i) evaluateReference(model, input);
  const double reference = since(t) / runs;

  Session session(Mode::segment, 1280, 720);
  session.output = ::open("/dev/null", O_WRONLY);
  session.frame = photoFrame(1280, 720);
  const PixelBuffer buffer = pixelBuffer(session.frame, session.width, session.height);
  session.segmenter.segment(buffer);
  const auto n = Clock::now();
  const int nets = 50;
  for (int i = 0; i < nets; ++i) session.segmenter.segment(buffer);
  const double network = since(n) / nets;
  std::fprintf(report,
               "landscape network: OpenCV %.2f ms per frame (with input stretching), plain "
               "reference %.1f ms: %.0fx faster\n",
               1e3 * network, 1e3 * reference, reference / network);
}

void memoryOverLongRun(int frames) {
  Session session(Mode::segment, 1280, 720);
  session.output = ::open("/dev/null", O_WRONLY);
  session.frame = photoFrame(1280, 720);
  for (int i = 0; i < 100; ++i)
    segment(session, pixelBuffer(session.frame, session.width, session.height));
  const long before = residentKiB();
  for (int i = 100; i < frames; ++i)
    segment(session, pixelBuffer(session.frame, session.width, session.height));
  const long after = residentKiB();
  std::fprintf(report,
               "1280x720, resident memory after 100 frames %ld KiB, after %d frames %ld KiB "
               "(%+ld KiB)\n",
               before, frames, after, after - before);
}

}  // namespace

int main(int argc, char** argv) {
  const int memoryFrames = argc > 1 ? std::atoi(argv[1]) : 10000;
  // Masks go to /dev/null; the figures to what standard output was.
  const int devNull = ::open("/dev/null", O_WRONLY);
  std::fflush(stdout);
  report = ::fdopen(::dup(STDOUT_FILENO), "w");
  ::dup2(devNull, STDOUT_FILENO);
  std::setvbuf(report, nullptr, _IOLBF, 0);

  measure(1280, 720, 300);
  measure(1920, 1080, 300);
  compareWithReference();
  if (memoryFrames > 100) memoryOverLongRun(memoryFrames);
  return 0;
}
