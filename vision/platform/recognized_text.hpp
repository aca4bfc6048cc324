#pragma once
// What the text-recognition service reads in a frame: lines in reading order,
// each with one best string and the boxes of the symbols it was read from.
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "platform/normalized_rect.hpp"

namespace vision {

// One recognised symbol: its UTF-8 byte range in the line's string and its
// box (lower-left origin, fractions of the image size).
struct TextSymbol {
  size_t byteBegin = 0;
  size_t byteEnd = 0;
  NormalizedRect box;
};

struct RecognizedLine {
  std::string text;
  std::vector<TextSymbol> symbols;  // in string order; spaces have none
};

// The box of the string's bytes [byteBegin, byteEnd): the union of the boxes
// of the symbols that overlap the range; none when no symbol does.
std::optional<NormalizedRect> rangeBoundingBox(const RecognizedLine& line, size_t byteBegin,
                                               size_t byteEnd);

}  // namespace vision
