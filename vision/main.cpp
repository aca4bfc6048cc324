#include <cstdio>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>

#include "command_line.hpp"
#include "faces.hpp"
#include "frame_input.hpp"
#include "output.hpp"
#include "platform/sleeping_thread_pool.hpp"
#include "segment.hpp"
#include "session.hpp"
#include "text.hpp"

namespace {

// The tool is configured by its command line alone, yet the libraries under
// it read their own variables: libgomp (linked by Tesseract) parses OMP_* and
// GOMP_* when it loads, before main, and prints a warning for every value it
// cannot read, or its whole settings when asked to; oneTBB prints its version
// for TBB_VERSION; OpenCV reads OPENCV_*, some of which print its errors or
// change its threads; Tesseract would look for its model under
// TESSDATA_PREFIX. Those variables are taken out of the environment before any
// library initialises, so no run depends on them and none makes a library
// write to standard error. OPENBLAS_* stays: machines whose processors an
// older OpenBLAS misjudges set it so that its results are right.
bool isLibraryVariable(const char* entry) {
  static constexpr const char* prefixes[] = {"OMP_", "GOMP_", "TBB_", "OPENCV_",
                                             "TESSDATA_PREFIX="};
  for (const char* prefix : prefixes) {
    const char* at = entry;
    while (*prefix != '\0' && *at == *prefix) ++at, ++prefix;
    if (*prefix == '\0') return true;
  }
  return false;
}

// Runs from the executable's pre-initialisation array, before the shared
// libraries' constructors; the environment array is edited in place, since
// nothing may be allocated this early.
void dropLibraryVariables(int, char**, char** environment) {
  char** kept = environment;
  for (char** entry = environment; *entry != nullptr; ++entry) {
    if (!isLibraryVariable(*entry)) *kept++ = *entry;
  }
  *kept = nullptr;
}

[[gnu::used, gnu::section(".preinit_array")]] void (*const dropLibraryVariablesEarly)(
    int, char**, char**) = dropLibraryVariables;

}  // namespace

int main(int argc, char** argv) {
  using namespace vision;
  // The libraries underneath must not write to standard error: only fatal
  // messages go there.
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  // Two threads for OpenCV's loops and networks, and as many for the face
  // networks (which take OpenCV's count): as fast as one or faster on a busy
  // two-core machine (the host records and encodes beside us) for about the
  // same CPU time, and faster when a core is free. They sleep between frames.
  useSleepingThreadPool(2);

  const std::vector<std::string> arguments(argv + 1, argv + argc);
  const Request request = readCommandLine(arguments);
  switch (request.kind) {
    case Request::Kind::check:
      std::fputs("{\"segmentation\":true,\"faces\":true,\"text\":true}\n", stdout);
      return 0;
    case Request::Kind::usage:
      fail(usageMessage);
    case Request::Kind::unknownMode:
      fail("unknown mode " + request.mode);
    case Request::Kind::analyse:
      break;
  }

  const Mode mode = request.mode == "segment" ? Mode::segment
                    : request.mode == "text"  ? Mode::text
                                              : Mode::faces;
  Session session(mode, request.width, request.height);
  void (*analyse)(Session&, const PixelBuffer&) = faces;
  if (mode == Mode::segment) analyse = segment;
  if (mode == Mode::text) analyse = text;

  // Rows of a whole number of 64-byte blocks (1280, 1920 pixels...) lie in
  // the input as a pixel buffer lays them out: such frames are read straight
  // into one buffer, which saves copying every frame (a tenth of a millisecond
  // per million pixels).
  const bool packed = session.width * 4 % 64 == 0;
  const PixelBuffer reused =
      packed ? pixelBuffer(session.frame, session.width, session.height) : PixelBuffer{};
  const auto next = [&] {
    return packed ? readFrame(session.input, reused.baseAddress, session.frame.size())
                  : readFrame(session.input, session.frame);
  };
  while (next()) {
    // Everything made for this frame (the buffer, the analysis's own objects)
    // is gone before the next frame is read.
    const PixelBuffer buffer =
        packed ? reused : pixelBuffer(session.frame, session.width, session.height);
    analyse(session, buffer);
  }
  return 0;
}
