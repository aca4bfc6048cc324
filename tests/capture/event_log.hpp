#pragma once
// An event sink that keeps what it is given, for tests of the engine and the commands.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "job/event_sink.hpp"

namespace capture {

class EventLog : public EventSink {
 public:
  void emit(const Event& event) override {
    std::lock_guard lock(mutex);
    events.push_back(event);
  }
  std::vector<Event> all() const {
    std::lock_guard lock(mutex);
    return events;
  }
  // The last event of that name; fails the test when there is none.
  Event last(const std::string& name) const {
    const auto events = all();
    for (auto it = events.rbegin(); it != events.rend(); ++it)
      if (it->at("event") == name) return *it;
    ADD_FAILURE() << "no \"" << name << "\" event";
    return Event::object();
  }

 private:
  mutable std::mutex mutex;
  std::vector<Event> events;
};

}  // namespace capture
