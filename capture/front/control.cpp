#include "front/control.hpp"

#include <cerrno>

#include <unicode/uchar.h>
#include <unicode/utf8.h>
#include <unistd.h>

namespace capture {

std::optional<std::string> readControlLine(int fd) {
  std::string line;
  bool any = false;
  for (;;) {
    char c;
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // end of input, or a read error treated alike
    any = true;
    if (c == '\n') {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
    line += c;
  }
  if (!any) return std::nullopt;
  return line;
}

namespace {

bool isHorizontalSpace(UChar32 c) { return c == '\t' || u_charType(c) == U_SPACE_SEPARATOR; }

}  // namespace

std::string_view trimHorizontalWhitespace(std::string_view line) {
  const auto* s = reinterpret_cast<const uint8_t*>(line.data());
  const int32_t length = static_cast<int32_t>(line.size());
  int32_t begin = 0;
  while (begin < length) {
    int32_t next = begin;
    UChar32 c;
    U8_NEXT(s, next, length, c);
    if (c < 0 || !isHorizontalSpace(c)) break;
    begin = next;
  }
  int32_t end = length;
  while (end > begin) {
    int32_t previous = end;
    UChar32 c;
    U8_PREV(s, begin, previous, c);
    if (c < 0 || !isHorizontalSpace(c)) break;
    end = previous;
  }
  return line.substr(static_cast<size_t>(begin), static_cast<size_t>(end - begin));
}

ControlWord controlWord(std::string_view line) {
  const std::string_view word = trimHorizontalWhitespace(line);
  if (word == "pause") return ControlWord::pause;
  if (word == "resume") return ControlWord::resume;
  if (word == "stop") return ControlWord::stop;
  return ControlWord::ignored;
}

}  // namespace capture
