#pragma once
// The analysis services' box: fractions of the image size, origin at the
// image's lower-left corner, y growing upwards.
#include <stdexcept>

namespace vision {

struct NormalizedRect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
};

// A failure of an analysis service; what() is its description.
struct VisionError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace vision
