#pragma once
// The answer of text mode for one frame: a compact JSON object with the
// recognised lines, their words and all face boxes.
#include <string>
#include <vector>

#include "platform/normalized_rect.hpp"
#include "platform/recognized_text.hpp"

namespace vision {

// The serialised document. Words whose box cannot be had are left out; the
// two bytes "{}" stand in for a document that cannot be serialised.
std::string textDocument(const std::vector<RecognizedLine>& lines,
                         const std::vector<NormalizedRect>& faces);

}  // namespace vision
