#include "front/control.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <unistd.h>

namespace capture {

namespace {

// A pipe holding `input`, its writing end closed; the reading end is returned.
int pipeWith(const std::string& input) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  EXPECT_EQ(write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
  close(fds[1]);
  return fds[0];
}

TEST(ControlLines, TerminatorsAndNothingReadBeyondTheLine) {
  const int fd = pipeWith("pause\nresume\r\n\na\r\r\nb\rc\nstop\nleft");
  std::vector<std::string> lines;
  for (int i = 0; i < 6; ++i) lines.push_back(readControlLine(fd).value_or("<end>"));
  EXPECT_EQ(lines, (std::vector<std::string>{"pause", "resume", "", "a\r", "b\rc", "stop"}));
  char rest[16] = {};
  EXPECT_EQ(read(fd, rest, sizeof rest), 4);  // the line reader took nothing past "stop\n"
  close(fd);
  const int last = pipeWith("stop");
  EXPECT_EQ(readControlLine(last), "stop");
  EXPECT_EQ(readControlLine(last), std::nullopt);
  close(last);
}

TEST(ControlWords, ExactAfterTrimmingHorizontalWhitespaceOnly) {
  EXPECT_EQ(controlWord("  \tpause \t"), ControlWord::pause);
  EXPECT_EQ(controlWord("\u00A0resume\u3000"), ControlWord::resume);  // no-break, ideographic
  EXPECT_EQ(controlWord("\u2003\u202Fstop\u205F\u1680"), ControlWord::stop);
  // Line breaks (CR, VT, U+2028, U+0085) and the zero-width space are not
  // horizontal space; matching is exact and case-sensitive.
  for (const char* line : {"pause\r", "\vpause", "pause\u2028", "pause\u0085", "\u200Bpause",
                           "Pause", "pause now", "stop.", "", "pause\xff"})
    EXPECT_EQ(controlWord(line), ControlWord::ignored) << line;
  EXPECT_EQ(trimHorizontalWhitespace(" \t a b \t "), "a b");
  EXPECT_EQ(trimHorizontalWhitespace("\xff "), "\xff");
}

}  // namespace

}  // namespace capture
