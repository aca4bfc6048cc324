#include <exception>
#include <string>

#include "front/commands.hpp"
#include "front/control.hpp"
#include "recorder/recorder.hpp"

namespace capture {

int runRecord(Recorder& recorder, EventSink& events, int controlFd) {
  try {
    if (auto error = recorder.start()) return refuse(events, startErrorMessage(*error));
  } catch (const std::exception& error) {
    // Platform failures carry their description; anything else thrown by a
    // library on the way is reported the same way.
    return refuse(events, std::string("start-failed: ") + error.what());
  }
  // The control channel is read only now: words written earlier wait in the pipe.
  while (auto line = readControlLine(controlFd)) {
    const ControlWord word = controlWord(*line);
    if (word == ControlWord::pause) recorder.pause();
    if (word == ControlWord::resume) recorder.resume();
    if (word == ControlWord::stop) break;
  }
  // A file that could not be written has been reported; the run failed.
  return recorder.stop() ? 0 : 2;
}

}  // namespace capture
