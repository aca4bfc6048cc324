#include "front/control.hpp"

#include <gtest/gtest.h>

#include <string>

#include <unistd.h>

namespace {

// Feeds `input` through a pipe and reads control lines until the end.
std::vector<std::string> linesOf(const std::string& input, int maxLines = 100) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  EXPECT_EQ(write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
  close(fds[1]);
  std::vector<std::string> lines;
  while (static_cast<int>(lines.size()) < maxLines)
    if (auto line = readControlLine(fds[0]))
      lines.push_back(*line);
    else
      break;
  close(fds[0]);
  return lines;
}

TEST(ControlLines, LineFeedAndCarriageReturnLineFeedEndLines) {
  EXPECT_EQ(linesOf("pause\nresume\r\n\nstop"),
            (std::vector<std::string>{"pause", "resume", "", "stop"}));
  EXPECT_EQ(linesOf("a\r\r\n"), (std::vector<std::string>{"a\r"}));
  EXPECT_EQ(linesOf("a\rb\n"), (std::vector<std::string>{"a\rb"}));
  EXPECT_TRUE(linesOf("").empty());
}

TEST(ControlLines, NothingBeyondTheLineIsConsumed) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const std::string input = "stop\nleft for later";
  ASSERT_EQ(write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
  close(fds[1]);
  EXPECT_EQ(readControlLine(fds[0]), "stop");
  char rest[64] = {};
  EXPECT_EQ(read(fds[0], rest, sizeof rest), 14);
  EXPECT_STREQ(rest, "left for later");
  close(fds[0]);
}

TEST(ControlWords, HorizontalWhitespaceIsTrimmed) {
  EXPECT_EQ(controlWord("  \tpause \t"), ControlWord::pause);
  EXPECT_EQ(controlWord("\u00A0resume\u3000"), ControlWord::resume);  // no-break, ideographic
  EXPECT_EQ(controlWord("\u2003\u202Fstop\u205F\u1680"), ControlWord::stop);
  EXPECT_EQ(controlWord("stop"), ControlWord::stop);
}

TEST(ControlWords, LineBreaksAndOtherTextAreNotTrimmed) {
  EXPECT_EQ(controlWord("pause\r"), ControlWord::ignored);
  EXPECT_EQ(controlWord("\vpause"), ControlWord::ignored);
  EXPECT_EQ(controlWord("pause\u2028"), ControlWord::ignored);  // line separator
  EXPECT_EQ(controlWord("pause\u0085"), ControlWord::ignored);  // next line
  EXPECT_EQ(controlWord("\u200Bpause"), ControlWord::ignored);  // zero-width space is not Zs
}

TEST(ControlWords, MatchingIsExactAndCaseSensitive) {
  for (const char* line : {"Pause", "PAUSE", "pause now", "pau se", "", "  ", "stop.", "resume!",
                           "\xff\xfe", "pause\xff"})
    EXPECT_EQ(controlWord(line), ControlWord::ignored) << line;
}

TEST(ControlWords, TrimKeepsInnerText) {
  EXPECT_EQ(trimHorizontalWhitespace(" \t a b \t "), "a b");
  EXPECT_EQ(trimHorizontalWhitespace("\u3000"), "");
  EXPECT_EQ(trimHorizontalWhitespace("\xff "), "\xff");
}

}  // namespace
