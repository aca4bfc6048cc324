#include <cstdio>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>

#include "command_line.hpp"
#include "faces.hpp"
#include "frame_input.hpp"
#include "output.hpp"
#include "segment.hpp"
#include "session.hpp"
#include "text.hpp"

int main(int argc, char** argv) {
  using namespace vision;
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

  const Mode mode = request.mode == "segment" ? Mode::segment
                    : request.mode == "text"  ? Mode::text
                                              : Mode::faces;
  Session session(mode, request.width, request.height);
  void (*analyse)(Session&, const PixelBuffer&) = faces;
  if (mode == Mode::segment) analyse = segment;
  if (mode == Mode::text) analyse = text;

  while (readFrame(session.input, session.frame)) {
    // Everything made for this frame (the buffer, the analysis's own objects)
    // is gone before the next frame is read.
    const PixelBuffer buffer = pixelBuffer(session.frame, session.width, session.height);
    analyse(session, buffer);
  }
  return 0;
}
