#pragma once
// A libpulse client connection served by its own event-loop thread (works
// with PulseAudio and with PipeWire's Pulse server). Callbacks of the context
// and its streams run on that thread; other threads hold `Lock` while they
// touch them.
#include <pulse/pulseaudio.h>

#include <chrono>
#include <functional>
#include <string>

namespace capture {

namespace platform::pulse {

// Keeps libpulse's own diagnostics off standard output and error, where the
// tool writes nothing but its events. Safe to call more than once.
void silenceLibraryLogging();

class Connection {
 public:
  // Connects to the sound server libpulse finds (never starting one) and
  // waits until the connection is ready. `onLost` runs once, on the loop
  // thread, when an established connection breaks. Throws PlatformError.
  Connection(const std::string& clientName, std::chrono::milliseconds timeout,
             std::function<void(const std::string&)> onLost);
  // Disconnects and ends the loop thread. Not to be called on that thread.
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  pa_context* context() const { return context_; }
  pa_threaded_mainloop* loop() const { return loop_; }

  // Holds the loop's lock; the loop thread runs no callback meanwhile.
  class Lock {
   public:
    explicit Lock(const Connection& connection) : loop_(connection.loop_) {
      pa_threaded_mainloop_lock(loop_);
    }
    ~Lock() { pa_threaded_mainloop_unlock(loop_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    pa_threaded_mainloop* loop_;
  };

  // The current error of the context, as text.
  std::string errorText() const;

 private:
  static void onStateChange(pa_context* context, void* userdata);
  void close();

  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  std::function<void(const std::string&)> onLost_;
  bool ready_ = false;
  bool closing_ = false;
  bool lostReported_ = false;
};

}  // namespace platform::pulse

}  // namespace capture
