#include <cstdio>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>

#include "analyses.hpp"
#include "command_line.hpp"
#include "frame_input.hpp"
#include "output.hpp"
#include "state.hpp"

int main(int argc, char** argv) {
  // The libraries underneath must not write to standard error: only fatal
  // messages go there.
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  // Two threads for OpenCV's networks: as fast as one or faster on a busy
  // two-core machine (the host records and encodes beside us) for about the
  // same CPU time, and faster when a core is free.
  cv::setNumThreads(2);

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

  setUpState(request.mode, request.width, request.height);
  void (*analyse)(const PixelBuffer&) = faces;
  if (mode == "segment") analyse = segment;
  if (mode == "text") analyse = text;

  while (readFrame()) {
    // Everything made for this frame (the buffer, the analysis's own objects)
    // is gone before the next frame is read.
    const PixelBuffer buffer = pixelBuffer(frame);
    analyse(buffer);
  }
  return 0;
}
