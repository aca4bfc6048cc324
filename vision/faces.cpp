#include <string>
#include <vector>

#include "analyses.hpp"
#include "face_line.hpp"
#include "output.hpp"
#include "platform/face_detector.hpp"

void faces(const PixelBuffer& buffer) {
  std::vector<NormalizedRect> found;
  try {
    found = detectFaceRectangles(buffer, FaceSearch::largest);
  } catch (const VisionError& e) {
    fail(std::string("face detection failed: ") + e.what());
  }
  const std::string line = faceLine(found);
  writeOutput(line.data(), line.size());
}
