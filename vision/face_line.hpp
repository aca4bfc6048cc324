#pragma once
// The answer of the faces analysis for one frame.
#include <string>
#include <vector>

#include "platform/normalized_rect.hpp"

namespace vision {

// The largest of `faces` by box area (the first one listed wins a tie), or
// nothing when there are none.
const NormalizedRect* largestFace(const std::vector<NormalizedRect>& faces);

// {"x":…,"y":…,"w":…,"h":…} with four decimals and a top-left origin
// (y = 1 − the box's top edge), or null; then a line feed.
std::string faceLine(const std::vector<NormalizedRect>& faces);

}  // namespace vision
