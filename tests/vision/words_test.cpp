#include "words.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace vision {
namespace {

struct Expected {
  std::string text;
  int64_t offset;
};

std::vector<Expected> split(const std::string& line) {
  std::vector<Expected> out;
  for (const Word& word : splitWords(line)) {
    // The byte range and the text must describe the same characters.
    EXPECT_EQ(line.substr(word.byteBegin, word.byteEnd - word.byteBegin), word.text);
    out.push_back({std::string(word.text), word.offset});
  }
  return out;
}

bool operator==(const Expected& a, const Expected& b) {
  return a.text == b.text && a.offset == b.offset;
}

void PrintTo(const Expected& e, std::ostream* os) { *os << '"' << e.text << "\"@" << e.offset; }

TEST(SplitWords, KeepsOffsetsAcrossRunsOfSpaces) {
  EXPECT_EQ(split("  Hello   world "), (std::vector<Expected>{{"Hello", 2}, {"world", 10}}));
  EXPECT_EQ(split("one"), (std::vector<Expected>{{"one", 0}}));
  EXPECT_EQ(split("a b"), (std::vector<Expected>{{"a", 0}, {"b", 2}}));
}

TEST(SplitWords, EmptyAndAllSpaceLinesHaveNoWords) {
  EXPECT_TRUE(split("").empty());
  EXPECT_TRUE(split(" ").empty());
  EXPECT_TRUE(split(" \t\n\r\u00A0\u3000 ").empty());
}

TEST(SplitWords, EveryWhiteSpaceCharacterSeparates) {
  // Tab, line feed, carriage return, vertical tab, form feed, next line,
  // no-break space, en quad, line separator, narrow no-break space and
  // ideographic space.
  for (const std::string sep :
       {"\t", "\n", "\r", "\v", "\f", "\u0085", "\u00A0", "\u2000", "\u2028", "\u202F", "\u3000"}) {
    EXPECT_EQ(split("ab" + sep + "cd"), (std::vector<Expected>{{"ab", 0}, {"cd", 3}}))
        << "separator bytes: " << sep.size();
  }
}

TEST(SplitWords, LookAlikesOfSpaceDoNotSeparate) {
  // Zero-width space, zero-width joiner and word joiner are not White_Space.
  for (const std::string glue : {"\u200B", "\u200D", "\u2060"}) {
    EXPECT_EQ(split("ab" + glue + "cd").size(), 1U);
  }
}

TEST(SplitWords, CountsGraphemeClustersNotCodePointsOrBytes) {
  // e + combining acute accent is one character.
  EXPECT_EQ(split("cafe\u0301 noir"), (std::vector<Expected>{{"cafe\u0301", 0}, {"noir", 5}}));
  // A family built with zero-width joiners is one character.
  const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";
  EXPECT_EQ(split(family + " x"), (std::vector<Expected>{{family, 0}, {"x", 2}}));
  // A flag is two regional indicators but one character; two flags are two.
  const std::string flags = "\U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7";
  EXPECT_EQ(split(flags + " y"), (std::vector<Expected>{{flags, 0}, {"y", 3}}));
  // A Hangul syllable written as jamo and a CR LF pair are one character each.
  EXPECT_EQ(split("\u1100\u1161 z"), (std::vector<Expected>{{"\u1100\u1161", 0}, {"z", 2}}));
  EXPECT_EQ(split("a\r\n\r\nb"), (std::vector<Expected>{{"a", 0}, {"b", 3}}));
}

TEST(SplitWords, ClusterStartingWithSpaceIsWhitespace) {
  // A space followed by a combining mark forms one cluster whose first code
  // point is White_Space: it separates, and counts once.
  EXPECT_EQ(split("a \u0301b c"), (std::vector<Expected>{{"a", 0}, {"b", 2}, {"c", 4}}));
}

TEST(SplitWords, InvalidBytesAreOrdinaryCharacters) {
  const std::string bad = std::string("ab\xFF") + " \xC3" + " ok";
  const std::vector<Word> words = splitWords(bad);
  ASSERT_EQ(words.size(), 3U);
  EXPECT_EQ(words[0].text, "ab\xFF");
  EXPECT_EQ(words[1].text, "\xC3");
  EXPECT_EQ(words[2].text, "ok");
  EXPECT_EQ(words[2].offset, 6);
}

}  // namespace
}  // namespace vision
