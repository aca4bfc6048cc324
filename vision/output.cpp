#include "output.hpp"

#include <cerrno>

#include <unistd.h>

namespace vision {

namespace {

void writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

bool isLineBreak(char c) { return c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

bool isSpace(char c) { return c == ' ' || c == '\t' || isLineBreak(c); }

}  // namespace

std::string oneLine(const std::string& message) {
  std::string line;
  line.reserve(message.size());
  for (size_t at = 0; at < message.size();) {
    if (!isSpace(message[at])) {
      line += message[at++];
      continue;
    }
    size_t end = at;
    bool breaks = false;
    while (end < message.size() && isSpace(message[end])) breaks |= isLineBreak(message[end++]);
    if (!breaks) {
      line.append(message, at, end - at);
    } else if (at > 0 && end < message.size()) {
      line += ' ';
    }
    at = end;
  }
  return line;
}

void writeOutput(int fd, const void* data, size_t size) {
  writeAll(fd, static_cast<const char*>(data), size);
}

void fail(const std::string& message) {
  const std::string line = oneLine(message) + "\n";
  writeAll(STDERR_FILENO, line.data(), line.size());
  ::_exit(2);
}

}  // namespace vision
