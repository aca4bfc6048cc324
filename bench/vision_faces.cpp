// Frames per second of faces mode at 1280x720 and 1920x1080: the whole path
// of a frame (copying it into its pixel buffer, detecting, choosing and
// writing the line to /dev/null) on a close-up, a small webcam picture and a
// frame without a face; detection of every face, and the two networks alone
// (letterbox and forward pass). Peer measured in the same run on the same frames:
// OpenCV's Haar cascade face detector (detectMultiScale on the gray frame,
// OpenCV's default parameters, from Debian's opencv-data). Each figure is
// taken with OpenCV on one thread and on two.
// Usage: vision_faces_bench [seconds-per-figure]   (default 3)
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "blazeface_back_256.h"
#include "blazeface_front_128.h"
#include "faces.hpp"
#include "frame_input.hpp"
#include "platform/blazeface_model.hpp"
#include "platform/face_detector.hpp"
#include "platform/sleeping_thread_pool.hpp"
#include "session.hpp"

namespace {

using namespace vision;

using Clock = std::chrono::steady_clock;

std::FILE* report = nullptr;
double secondsPerFigure = 3;

const char* data = "/usr/share/doc/opencv-doc/examples/data/";
const char* portraitPath = "/usr/share/doc/opencv-doc/opencv4/html/230501201_1.jpg";
const char* cascadePath = "/usr/share/opencv4/haarcascades/haarcascade_frontalface_default.xml";

// A desktop-like frame: a busy photograph as the background, with a webcam
// picture `share` of the frame's height standing in its lower right part
// (none when `share` is 0).
std::vector<uint8_t> desktopFrame(int w, int h, double share) {
  cv::Mat background = cv::imread(std::string(data) + "building.jpg");
  cv::Mat portrait = cv::imread(portraitPath);
  if (background.empty() || portrait.empty()) {
    std::fprintf(report, "the opencv-doc photographs are missing\n");
    std::exit(1);
  }
  cv::Mat frame;
  cv::resize(background, frame, {w, h});
  if (share > 0) {
    cv::Mat person;
    const double scale = h * share / portrait.rows;
    cv::resize(portrait, person, {}, scale, scale, cv::INTER_AREA);
    const int x = std::max(0, w - person.cols - w / 20), y = std::max(0, h - person.rows - h / 20);
    person(cv::Rect(0, 0, std::min(person.cols, w - x), std::min(person.rows, h - y)))
        .copyTo(frame(cv::Rect(x, y, std::min(person.cols, w - x), std::min(person.rows, h - y))));
  }
  cv::Mat bgra;
  cv::cvtColor(frame, bgra, cv::COLOR_BGR2BGRA);
  return {bgra.datastart, bgra.dataend};
}

// CPU seconds of the whole process (all its threads).
double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
         usage.ru_stime.tv_usec / 1e6;
}

struct Rate {
  double perSecond = 0;  // steps per wall-clock second
  double cpuMs = 0;      // CPU milliseconds per step, all threads
};

// Runs `step` for about secondsPerFigure seconds. On a machine shared with
// other work the CPU time per step is the steadier figure.
Rate rate(const std::function<void()>& step) {
  step();  // warm up
  int count = 0;
  const auto start = Clock::now();
  const double cpuStart = cpuSeconds();
  double elapsed = 0;
  do {
    step();
    ++count;
    elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  } while (elapsed < secondsPerFigure);
  return {count / elapsed, (cpuSeconds() - cpuStart) * 1000 / count};
}

void measure(int w, int h, cv::CascadeClassifier& cascade) {
  for (int threads : {1, 2}) {
    // OpenCV's loops and the networks' operators on this many threads; the
    // detector takes OpenCV's count when it loads its networks.
    cv::setNumThreads(threads);
    vision::Session session(vision::Mode::faces, w, h);
    session.output = ::open("/dev/null", O_WRONLY);
    // Faces mode skips the small-face network only for a face wider than it
    // boxes, so its speed hardly depends on the frame: a close-up, a small
    // webcam picture, no face.
    for (double share : {0.9, 0.4, 0.0}) {
      const std::vector<uint8_t> bytes = desktopFrame(w, h, share);
      std::copy(bytes.begin(), bytes.end(), session.frame.begin());
      const Rate whole = rate([&] { faces(session, pixelBuffer(session.frame, w, h)); });
      std::fprintf(report, "%dx%d, %d thread(s), %s: faces mode %.1f frames/s (%.2f CPU ms)\n", w,
                   h, threads,
                   share > 0.5 ? "close-up"
                   : share > 0 ? "webcam picture"
                               : "no face",
                   whole.perSecond, whole.cpuMs);
    }
    std::fflush(report);

    // The rest on the webcam-picture frame, each network as faces mode runs
    // it: shaped for the frame.
    const NetworkThreads pool = makeNetworkThreads(threads);
    BlazeFaceModel front = loadBlazeFaceFor({w, h}, blazeface_front_128, blazeface_front_128_size,
                                            128, {8, 16, 16, 16}, pool);
    BlazeFaceModel back = loadBlazeFaceFor({w, h}, blazeface_back_256, blazeface_back_256_size, 256,
                                           {16, 32, 32, 32}, pool);
    const std::vector<uint8_t> bytes = desktopFrame(w, h, 0.4);
    std::copy(bytes.begin(), bytes.end(), session.frame.begin());
    const PixelBuffer sample = pixelBuffer(session.frame, w, h);
    const cv::Mat image(h, w, CV_8UC4, sample.baseAddress, sample.bytesPerRow);

    const Rate whole = rate([&] { faces(session, pixelBuffer(session.frame, w, h)); });
    const Rate detection = rate([&] { (void)session.faceDetector.detect(sample); });
    const Rate frontOnly = rate([&] { (void)runBlazeFace(front, image, 0.5f); });
    const Rate backOnly = rate([&] { (void)runBlazeFace(back, image, 0.5f); });
    Rate haar;
    size_t haarFaces = 0;
    if (!cascade.empty()) {
      cv::Mat gray;
      std::vector<cv::Rect> found;
      haar = rate([&] {
        cv::cvtColor(image, gray, cv::COLOR_BGRA2GRAY);
        cascade.detectMultiScale(gray, found);
      });
      haarFaces = found.size();
    }
    std::fprintf(
        report,
        "%dx%d, %d thread(s), frames/s (CPU ms per frame):\n"
        "  faces mode %.1f (%.2f) | every face (as text mode) %.1f (%.2f) | 128 network alone "
        "%.1f (%.2f) | 256 network alone %.1f (%.2f)\n"
        "  Haar cascade %.2f (%.1f), %zu faces | faces mode / Haar: %.1f x frames/s, "
        "%.1f x less CPU\n",
        w, h, threads, whole.perSecond, whole.cpuMs, detection.perSecond, detection.cpuMs,
        frontOnly.perSecond, frontOnly.cpuMs, backOnly.perSecond, backOnly.cpuMs, haar.perSecond,
        haar.cpuMs, haarFaces, haar.perSecond > 0 ? whole.perSecond / haar.perSecond : 0.0,
        whole.cpuMs > 0 ? haar.cpuMs / whole.cpuMs : 0.0);
    std::fflush(report);
  }
}

}  // namespace

int main(int argc, char** argv) {
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  useSleepingThreadPool(2);  // as the program runs OpenCV's loops
  if (argc > 1) secondsPerFigure = std::atof(argv[1]);
  // The face lines go to /dev/null; the figures to the original standard output.
  report = fdopen(dup(STDOUT_FILENO), "w");
  const int null = open("/dev/null", O_WRONLY);
  dup2(null, STDOUT_FILENO);

  cv::CascadeClassifier cascade;
  if (!cascade.load(cascadePath))
    std::fprintf(report, "no Haar cascade at %s (Debian's opencv-data): peer left out\n",
                 cascadePath);
  measure(1280, 720, cascade);
  measure(1920, 1080, cascade);
  return 0;
}
