#include <exception>
#include <string>

#include <unistd.h>

#include "front/commands.hpp"
#include "front/control.hpp"
#include "front/dispatch.hpp"
#include "front/emit.hpp"
#include "platform/error.hpp"
#include "recorder/recorder.hpp"

void runRecord() {
  try {
    recorder->start();
  } catch (const std::exception& error) {
    // Platform failures carry their description; anything else thrown by a
    // library on the way is reported the same way.
    fail(std::string("start-failed: ") + error.what());
  }
  // Standard input is read only now: words written earlier wait in the pipe.
  while (auto line = readControlLine(STDIN_FILENO)) {
    const ControlWord word = controlWord(*line);
    if (word == ControlWord::pause) recorder->pause();
    if (word == ControlWord::resume) recorder->resume();
    if (word == ControlWord::stop) break;
  }
  recorder->stop();
  exitProcess(0);
}
