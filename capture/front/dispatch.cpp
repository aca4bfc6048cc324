#include "front/dispatch.hpp"

#include <csignal>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "front/commands.hpp"
#include "front/event_writer.hpp"
#include "recorder/recorder.hpp"

namespace capture {

namespace {

// The one command task. It ends the process itself; the main thread never
// waits for it.
[[noreturn]] void runTask(std::function<int(EventSink&)> task) {
  std::thread([task = std::move(task)] {
    EventWriter events;
    exitProcess(task(events));
  }).detach();
  for (;;) ::pause();
}

}  // namespace

void dispatch(int argc, char** argv) {
  // A host that has gone away must not kill a recording before its files are
  // finished: failed writes are dropped instead.
  std::signal(SIGPIPE, SIG_IGN);

  const std::vector<std::string> arguments(argv, argv + argc);
  const auto count = arguments.size();
  const std::string word = count > 1 ? arguments[1] : std::string();

  if (count == 3 && word == "screenshot") {
    if (auto options = decodeOptions(arguments[2]))
      runTask([o = std::move(*options)](EventSink& events) { return runScreenshot(o, events); });
  }
  if (count == 2 && word == "check") runTask([](EventSink& events) { return runCheck(events); });
  if (count == 3 && word == "record") {
    if (auto options = decodeOptions(arguments[2]))
      runTask([o = std::move(*options)](EventSink& events) {
        // The process ends with the recorder still in place: nothing of it is
        // torn down while its streams' threads may still be at work.
        Recorder recorder(o, events);
        exitProcess(runRecord(recorder, events, STDIN_FILENO));
        return 0;
      });
  }
  if (count == 2 && word == "apps") runTask([](EventSink& events) { return runApps(events); });
  EventWriter().emit({{"event", "error"}, {"message", kUsage}});
  exitProcess(2);
}

}  // namespace capture
