#pragma once
// One run of the tool: the mode and frame size from the command line, the
// descriptors frames come from and answers go to, the buffers reused for
// every frame, and the analysis services, each loaded on its first frame.
#include <cstddef>
#include <cstdint>
#include <vector>

#include <unistd.h>

#include "person_gate.hpp"
#include "platform/face_detector.hpp"
#include "platform/segmenter.hpp"
#include "platform/text_recognizer.hpp"

namespace vision {

enum class Mode { segment, faces, text };

struct Session {
  // Sizes the buffers for one mode and frame size. Ends the process through
  // `fail` when the memory cannot be had.
  Session(Mode mode, int64_t width, int64_t height);

  Mode mode;
  int64_t width;   // frame width in pixels, 16..4096
  int64_t height;  // frame height in pixels, 16..4096
  int input = STDIN_FILENO;
  int output = STDOUT_FILENO;
  std::vector<uint8_t> frame;  // width × height × 4 bytes, the frame being read
  std::vector<uint8_t> mask;   // width × height bytes, the mask of a frame
  FaceDetector faceDetector;
  Segmenter segmenter;
  PersonGate personGate;  // segment mode: whether the marked region is a person
  TextRecognizer textRecognizer;
};

}  // namespace vision
