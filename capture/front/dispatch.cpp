#include "front/dispatch.hpp"

#include <csignal>
#include <functional>
#include <thread>

#include <unistd.h>

#include "front/commands.hpp"
#include "front/emit.hpp"
#include "recorder/recorder.hpp"

std::vector<std::string> arguments;
std::unique_ptr<Recorder> recorder;

namespace {

// The one command task. It ends the process itself; the main thread never
// waits for it.
void startTask(std::function<void()> task) { std::thread(std::move(task)).detach(); }

[[noreturn]] void park() {
  for (;;) ::pause();
}

}  // namespace

void dispatch(int argc, char** argv) {
  // A host that has gone away must not kill a recording before its files are
  // finished: failed writes are dropped instead.
  std::signal(SIGPIPE, SIG_IGN);

  arguments.assign(argv, argv + argc);
  const auto count = arguments.size();
  const std::string word = count > 1 ? arguments[1] : std::string();

  if (count == 3 && word == "screenshot") {
    if (auto options = decodeOptions(arguments[2])) {
      startTask([o = std::move(*options)] { runScreenshot(o); });
      park();
    }
  }
  if (count == 2 && word == "check") {
    startTask([] { runCheck(); });
    park();
  }
  if (count == 3 && word == "record") {
    if (auto options = decodeOptions(arguments[2])) {
      recorder = std::make_unique<Recorder>(std::move(*options));
      startTask([] { runRecord(); });
      park();
    }
  }
  if (count == 2 && word == "apps") {
    startTask([] { runApps(); });
    park();
  }
  fail(kUsage);
}
