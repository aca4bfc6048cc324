#include "faces.hpp"

#include <string>
#include <vector>

#include "face_line.hpp"
#include "output.hpp"

namespace vision {

void faces(Session& session, const PixelBuffer& buffer) {
  std::vector<NormalizedRect> found;
  try {
    found = session.faceDetector.detect(buffer, FaceSearch::largest);
  } catch (const VisionError& e) {
    fail(std::string("face detection failed: ") + e.what());
  }
  const std::string line = faceLine(found);
  writeOutput(session.output, line.data(), line.size());
}

}  // namespace vision
