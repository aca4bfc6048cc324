#pragma once
// The command tasks, one per process run. Each reports through `events` and
// returns the exit status of the process; the caller ends the process.
#include <string>

#include "job/event_sink.hpp"
#include "job/options.hpp"

namespace capture {

class Recorder;

int runCheck(EventSink& events);
int runApps(EventSink& events);
int runScreenshot(const Options& options, EventSink& events);
// Starts the recording, then follows the control words read from `controlFd`
// until "stop" or the end of input, and stops it.
int runRecord(Recorder& recorder, EventSink& events, int controlFd);

// Reports {"event":"error","message":message}; returns 2, the exit status of
// a job that failed.
inline int refuse(EventSink& events, const std::string& message) {
  events.emit({{"event", "error"}, {"message", message}});
  return 2;
}

}  // namespace capture
