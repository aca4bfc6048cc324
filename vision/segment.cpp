#include "analyses.hpp"

#include <algorithm>
#include <new>
#include <optional>
#include <string>

#include "output.hpp"
#include "platform/normalized_rect.hpp"
#include "platform/segmenter.hpp"
#include "segment_mask.hpp"
#include "state.hpp"

void segment(const PixelBuffer& buffer) {
  try {
    // The whole buffer is rewritten for every frame, so nothing of an
    // earlier frame's mask can remain.
    const std::optional<cv::Mat> mask = segmentPersons(buffer);
    if (mask) {
      scaleMask(*mask, maskBytes, width, height);
    } else {
      std::fill(maskBytes.begin(), maskBytes.end(), uint8_t{0});
    }
  } catch (const VisionError& e) {
    fail(std::string("segmentation failed: ") + e.what());
  } catch (const cv::Exception& e) {
    fail("segmentation failed: " + e.err);
  } catch (const std::bad_alloc&) {
    fail("segmentation failed: out of memory");
  }
  writeOutput(maskBytes.data(), maskBytes.size());
}
