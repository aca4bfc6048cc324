#include "words.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace vision {
namespace {

// Each word as text@offset, checking that its byte range names its text.
std::string split(const std::string& line) {
  std::string out;
  for (const Word& word : splitWords(line)) {
    EXPECT_EQ(line.substr(word.byteBegin, word.byteEnd - word.byteBegin), word.text);
    out += (out.empty() ? "" : " ") + std::string(word.text) + "@" + std::to_string(word.offset);
  }
  return out;
}

TEST(SplitWords, OffsetsCountUserPerceivedCharacters) {
  const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";
  const std::string flags = "\U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7";
  const std::pair<std::string, std::string> cases[] = {
      {"  Hello   world ", "Hello@2 world@10"},
      {"a b", "a@0 b@2"},
      {"", ""},
      {" \t\n\r\u00A0\u3000 ", ""},
      // Combining accent, zero-width-joined family, two flags, jamo, CR LF:
      // one character each.
      {"cafe\u0301 noir", "cafe\u0301@0 noir@5"},
      {family + " x", family + "@0 x@2"},
      {flags + " y", flags + "@0 y@3"},
      {"\u1100\u1161 z", "\u1100\u1161@0 z@2"},
      {"a\r\n\r\nb", "a@0 b@3"},
      // A space with a combining mark is one White_Space character.
      {"a \u0301b c", "a@0 b@2 c@4"},
      // Zero-width space, zero-width joiner and word joiner do not separate.
      {"ab\u200Bcd\u200De\u2060f", "ab\u200Bcd\u200De\u2060f@0"},
      // Invalid UTF-8 bytes are ordinary characters.
      {"ab\xFF \xC3 ok", "ab\xFF@0 \xC3@4 ok@6"},
  };
  for (const auto& [line, words] : cases) EXPECT_EQ(split(line), words) << line;
}

TEST(SplitWords, EveryWhiteSpaceCharacterSeparates) {
  for (const std::string sep :
       {"\t", "\n", "\r", "\v", "\f", "\u0085", "\u00A0", "\u2000", "\u2028", "\u202F", "\u3000"})
    EXPECT_EQ(split("ab" + sep + "cd"), "ab@0 cd@3") << "separator bytes: " << sep.size();
}

}  // namespace
}  // namespace vision
