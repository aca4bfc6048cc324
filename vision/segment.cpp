#include "segment.hpp"

#include <algorithm>
#include <new>
#include <optional>
#include <string>

#include "output.hpp"
#include "segment_mask.hpp"

namespace vision {

void segment(Session& session, const PixelBuffer& buffer) {
  try {
    // The whole buffer is rewritten for every frame, so nothing of an
    // earlier frame's mask can remain.
    const std::optional<cv::Mat> mask = session.segmenter.segment(buffer);
    if (mask) {
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
