#include "recorder/recorder.hpp"

namespace capture {

Recorder::Recorder(Options o, EventSink& sink) : options(std::move(o)), events(sink) {}

std::string startErrorMessage(const StartError& error) {
  if (const auto* target = std::get_if<TargetError>(&error)) return targetErrorMessage(*target);
  if (std::holds_alternative<SameOutputFiles>(error)) return "same-output-files";
  return "audio-apps-not-running";
}

}  // namespace capture
