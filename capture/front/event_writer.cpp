#include "front/event_writer.hpp"

#include <cerrno>
#include <cmath>
#include <mutex>

#include "platform/text.hpp"

namespace capture {

namespace {

bool allNumbersFinite(const Event& value) {
  if (value.is_number_float()) return std::isfinite(value.get<double>());
  if (value.is_structured())
    for (const auto& element : value)
      if (!allNumbersFinite(element)) return false;
  return true;
}

// Writes every byte, retrying after interruptions and short writes. A failed
// write (the reader has gone) is given up on: there is no one left to tell.
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

Event unserialisable(const Event& event) {
  const auto name = event.is_object() ? event.find("event") : event.end();
  const std::string what =
      name != event.end() && name->is_string() ? name->get<std::string>() : std::string("?");
  return {{"event", "error"}, {"message", "event-not-serialisable: " + platform::validUtf8(what)}};
}

std::optional<std::string> eventLine(const Event& event) {
  if (!event.is_object() || !allNumbersFinite(event)) return std::nullopt;
  std::string compact;
  try {
    compact = event.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
  // A solidus can only occur inside strings in compact JSON, and no byte of a
  // multi-byte UTF-8 sequence equals it, so escaping every one is exact.
  std::string line;
  line.reserve(compact.size() + 8);
  for (char c : compact) {
    if (c == '/') line += '\\';
    line += c;
  }
  line += '\n';
  return line;
}

void EventWriter::emit(const Event& event) {
  auto line = eventLine(event);
  if (!line) line = eventLine(unserialisable(event));
  if (!line) return;
  // Lines longer than the pipe's atomic size could interleave with another
  // thread's; the lock, one for the whole process, keeps every line whole.
  // Normally this is one write.
  static std::mutex writing;
  std::lock_guard lock(writing);
  writeAll(fd, line->data(), line->size());
}

void exitProcess(int status) { ::_exit(status); }

}  // namespace capture
