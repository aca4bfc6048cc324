#pragma once
// Splitting a recognised line into words. A character here is a user-perceived
// character (an extended grapheme cluster); it separates words when its first
// code point has the Unicode White_Space property.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace vision {

struct Word {
  std::string_view text;  // a view into the split string
  int64_t offset = 0;     // characters of the string before the word
  size_t byteBegin = 0;   // the word's UTF-8 byte range in the string
  size_t byteEnd = 0;
};

// The words of a UTF-8 string in the order they occur. Bytes that are not
// valid UTF-8 are ordinary (non-space) characters.
std::vector<Word> splitWords(std::string_view line);

}  // namespace vision
