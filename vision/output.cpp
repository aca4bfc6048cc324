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

}  // namespace

void writeOutput(int fd, const void* data, size_t size) {
  writeAll(fd, static_cast<const char*>(data), size);
}

void fail(const std::string& message) {
  const std::string line = message + "\n";
  writeAll(STDERR_FILENO, line.data(), line.size());
  ::_exit(2);
}

}  // namespace vision
