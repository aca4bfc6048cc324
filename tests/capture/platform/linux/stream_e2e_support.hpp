#pragma once
// Helpers of the capture streams' end-to-end tests: a recording output and
// delegate, child processes, and tone measurement.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <numbers>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.hpp"
#include "platform/stream.hpp"

extern char** environ;

namespace e2e {

// Records what a stream hands out and reports; optionally keeps every sample
// (and so its pooled buffer) alive.
struct Recording : platform::StreamOutput, platform::StreamDelegate {
  struct Entry {
    platform::SampleBufferRef sample;
    int64_t type;
    CMTime arrival;
  };
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Entry> entries;
  std::vector<std::string> failures;

  void didOutputSampleBuffer(platform::Stream&, platform::SampleBufferRef sample,
                             int64_t type) override {
    std::lock_guard lock(mutex);
    entries.push_back({std::move(sample), type, platform::hostClockNow()});
    changed.notify_all();
  }
  void didStopWithError(platform::Stream&, const platform::PlatformError& error) override {
    std::lock_guard lock(mutex);
    failures.push_back(error.localizedDescription());
    changed.notify_all();
  }
  bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, done);
  }
  std::vector<Entry> snapshot() {
    std::lock_guard lock(mutex);
    return entries;
  }
};

// Runs a stream operation and waits for its completion; nothing when it timed out.
inline std::optional<std::optional<platform::PlatformError>> complete(
    const std::function<void(platform::Completion)>& operation,
    std::chrono::milliseconds timeout = std::chrono::milliseconds(10000)) {
  struct State {
    std::mutex mutex;
    std::condition_variable done;
    int calls = 0;
    std::optional<platform::PlatformError> error;
  };
  auto state = std::make_shared<State>();
  operation([state](std::optional<platform::PlatformError> error) {
    std::lock_guard lock(state->mutex);
    ++state->calls;
    state->error = std::move(error);
    state->done.notify_all();
  });
  std::unique_lock lock(state->mutex);
  if (!state->done.wait_for(lock, timeout, [&] { return state->calls > 0; })) return std::nullopt;
  return state->error;
}

// A child process with its output discarded; killed and reaped when let go.
class Child {
 public:
  explicit Child(std::vector<std::string> arguments) {
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Child() { kill(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  // Waits for the child to end by itself; false on timeout.
  bool wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (pid_ > 0) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return true;
      }
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }
  void kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

inline int run(const std::string& command) { return std::system(command.c_str()); }

// Audio laid out on the host-clock frame timeline.
struct Timeline {
  int64_t firstFrame = 0;
  int32_t rate = 48000;
  std::vector<float> mono;  // channel average
};

// Goertzel: amplitude of the `frequency` component of `samples` (a sine of
// amplitude a gives about a).
inline double amplitudeAt(const std::vector<float>& samples, size_t begin, size_t end,
                          double frequency, double rate) {
  if (end <= begin) return 0;
  const double w = 2 * std::numbers::pi * frequency / rate;
  const double coefficient = 2 * std::cos(w);
  double s1 = 0, s2 = 0;
  for (size_t i = begin; i < end; ++i) {
    const double s0 = samples[i] + coefficient * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  const double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
  return 2 * std::sqrt(std::max(power, 0.0)) / static_cast<double>(end - begin);
}

}  // namespace e2e
