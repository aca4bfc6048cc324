#include "words.hpp"

#include <memory>

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

namespace vision {

namespace {

// The character-boundary rules are loaded once and never changed; each split
// works on its own copy, which costs far less than loading the rules again.
const icu::BreakIterator* characterRules() {
  static const std::unique_ptr<const icu::BreakIterator> rules = [] {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> made(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    return std::unique_ptr<const icu::BreakIterator>(U_SUCCESS(status) ? made.release() : nullptr);
  }();
  return rules.get();
}

bool startsWithWhiteSpace(std::string_view line, size_t at) {
  UChar32 c = 0;
  int32_t i = static_cast<int32_t>(at);
  U8_NEXT(line.data(), i, static_cast<int32_t>(line.size()), c);
  return c >= 0 && u_hasBinaryProperty(c, UCHAR_WHITE_SPACE);
}

// Byte offsets of every character start, and the end of the string last.
std::vector<size_t> characterBoundaries(std::string_view line) {
  std::vector<size_t> bounds;
  UErrorCode status = U_ZERO_ERROR;
  UText* text = utext_openUTF8(nullptr, line.data(), static_cast<int64_t>(line.size()), &status);
  const icu::BreakIterator* rules = characterRules();
  const std::unique_ptr<icu::BreakIterator> breaks(rules != nullptr ? rules->clone() : nullptr);
  if (breaks != nullptr && U_SUCCESS(status)) {
    breaks->setText(text, status);
    for (int32_t at = breaks->first(); U_SUCCESS(status) && at != icu::BreakIterator::DONE;
         at = breaks->next()) {
      bounds.push_back(static_cast<size_t>(at));
    }
  }
  utext_close(text);
  if (U_SUCCESS(status) && bounds.size() >= 2 && bounds.back() == line.size()) return bounds;

  // Without ICU's rules every code point stands alone.
  bounds.clear();
  for (int32_t i = 0; i < static_cast<int32_t>(line.size());) {
    bounds.push_back(static_cast<size_t>(i));
    UChar32 c = 0;
    U8_NEXT(line.data(), i, static_cast<int32_t>(line.size()), c);
  }
  bounds.push_back(line.size());
  return bounds;
}

}  // namespace

std::vector<Word> splitWords(std::string_view line) {
  std::vector<Word> words;
  if (line.empty()) return words;
  const std::vector<size_t> bounds = characterBoundaries(line);
  const size_t characters = bounds.size() - 1;
  size_t i = 0;
  while (i < characters) {
    while (i < characters && startsWithWhiteSpace(line, bounds[i])) ++i;
    if (i == characters) break;
    const size_t start = i;
    while (i < characters && !startsWithWhiteSpace(line, bounds[i])) ++i;
    const size_t begin = bounds[start];
    const size_t end = bounds[i];
    words.push_back(Word{line.substr(begin, end - begin), static_cast<int64_t>(start), begin, end});
  }
  return words;
}

}  // namespace vision
