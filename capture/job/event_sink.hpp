#pragma once
// Where the engine reports what happens: every message of the tool is one
// event, a JSON object with an "event" member. The command layer passes a
// sink that writes event lines; whoever else drives the engine passes its own.
#include <nlohmann/json.hpp>

namespace capture {

using Event = nlohmann::json;

class EventSink {
 public:
  virtual ~EventSink() = default;
  // Called from any thread, possibly from several at once.
  virtual void emit(const Event& event) = 0;
};

}  // namespace capture
