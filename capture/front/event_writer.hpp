#pragma once
// The event stream: every message of the tool is one compact JSON object on
// one line of standard output.
#include <optional>
#include <string>

#include <unistd.h>

#include "job/event_sink.hpp"

namespace capture {

// The event as one line (with its line feed), or nothing when it cannot be
// serialised: a string that is not valid UTF-8, a number that is not finite,
// or a value that is not an object.
std::optional<std::string> eventLine(const Event& event);

// The error event that stands in for an event that cannot be serialised:
// {"event":"error","message":"event-not-serialisable: <its name>"}.
Event unserialisable(const Event& event);

// Writes each event as one line in one write, whole even when several threads
// emit at once (through any writer of the process). An event that cannot be
// serialised is replaced by the error event that says so.
class EventWriter final : public EventSink {
 public:
  explicit EventWriter(int fd = STDOUT_FILENO) : fd(fd) {}
  void emit(const Event& event) override;

 private:
  const int fd;
};

// Ends the process at once with the given status, without running static
// destructors while other threads may still be at work.
[[noreturn]] void exitProcess(int status);

}  // namespace capture
