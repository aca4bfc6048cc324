#include "segment.hpp"

#include <algorithm>
#include <new>
#include <optional>
#include <string>

#include "output.hpp"
#include "person_area.hpp"
#include "segment_mask.hpp"

namespace vision {

namespace {

// Whether a face lies at the top of what the mask marks, its centre on the
// mask (see person_area.hpp).
bool showsPerson(Session& session, const PixelBuffer& buffer, const cv::Mat& mask) {
  const cv::Rect area =
      headArea(mask, {static_cast<int>(buffer.width), static_cast<int>(buffer.height)});
  if (area.empty()) return false;
  for (const FaceBox& face : session.faceDetector.facesIn(buffer, area))
    if (onMask(mask, (face.xMin + face.xMax) / 2, (face.yMin + face.yMax) / 2)) return true;
  return false;
}

}  // namespace

void segment(Session& session, const PixelBuffer& buffer) {
  try {
    // The whole buffer is rewritten for every frame, so nothing of an
    // earlier frame's mask can remain.
    const std::optional<cv::Mat> mask = session.segmenter.segment(buffer);
    if (mask &&
        session.personGate.admits(*mask, [&] { return showsPerson(session, buffer, *mask); })) {
      scaleMask(*mask, session.mask, session.width, session.height);
    } else {
      std::fill(session.mask.begin(), session.mask.end(), uint8_t{0});
    }
  } catch (const VisionError& e) {
    fail(std::string("segmentation failed: ") + e.what());
  } catch (const cv::Exception& e) {
    fail("segmentation failed: " + e.err);
  } catch (const std::bad_alloc&) {
    fail("segmentation failed: out of memory");
  }
  writeOutput(session.output, session.mask.data(), session.mask.size());
}

}  // namespace vision
