#include "platform/linux/audio/connection.hpp"

#include <dlfcn.h>

#include <mutex>

#include "platform/error.hpp"

namespace capture {

namespace platform::pulse {

void silenceLibraryLogging() {
  // libpulse logs errors to standard error through its common library, whose
  // log target can only be set through entry points outside the public API.
  // They are looked up at run time so that a library without them still
  // works (just less quietly).
  static std::once_flag once;
  std::call_once(once, [] {
    using Parse = void* (*)(const char*);
    using Set = int (*)(void*);
    using Free = void (*)(void*);
    auto parse = reinterpret_cast<Parse>(dlsym(RTLD_DEFAULT, "pa_log_parse_target"));
    auto set = reinterpret_cast<Set>(dlsym(RTLD_DEFAULT, "pa_log_set_target"));
    auto release = reinterpret_cast<Free>(dlsym(RTLD_DEFAULT, "pa_log_target_free"));
    if (!parse || !set || !release) return;
    if (void* target = parse("null")) {
      set(target);
      release(target);
    }
  });
}

namespace {

void signalLoop(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
  pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(userdata), 0);
}

}  // namespace

Connection::Connection(const std::string& clientName, std::chrono::milliseconds timeout,
                       std::function<void(const std::string&)> onLost)
    : onLost_(std::move(onLost)) {
  silenceLibraryLogging();
  loop_ = pa_threaded_mainloop_new();
  if (!loop_) throw PlatformError("Could not start the sound server client.");
  context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), clientName.c_str());
  if (!context_) {
    pa_threaded_mainloop_free(loop_);
    throw PlatformError("Could not start the sound server client.");
  }
  pa_context_set_state_callback(context_, &Connection::onStateChange, this);
  if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
      pa_threaded_mainloop_start(loop_) < 0) {
    const std::string reason = errorText();
    pa_context_unref(context_);
    pa_threaded_mainloop_free(loop_);
    throw PlatformError("Could not connect to the sound server: " + reason + ".");
  }

  std::string failure;
  {
    Lock lock(*this);
    const pa_usec_t deadline =
        pa_rtclock_now() +
        static_cast<pa_usec_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(timeout).count());
    pa_time_event* timer = pa_context_rttime_new(context_, deadline, signalLoop, loop_);
    for (;;) {
      const pa_context_state_t state = pa_context_get_state(context_);
      if (state == PA_CONTEXT_READY) {
        ready_ = true;
        break;
      }
      if (!PA_CONTEXT_IS_GOOD(state)) {
        failure = "Could not connect to the sound server: " + errorText() + ".";
        break;
      }
      if (pa_rtclock_now() >= deadline) {
        failure = "The sound server did not answer in time.";
        break;
      }
      pa_threaded_mainloop_wait(loop_);
    }
    if (timer) pa_threaded_mainloop_get_api(loop_)->time_free(timer);
  }
  if (!failure.empty()) {
    close();
    throw PlatformError(failure);
  }
}

Connection::~Connection() { close(); }

void Connection::close() {
  if (!loop_) return;
  {
    Lock lock(*this);
    closing_ = true;
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
  }
  pa_threaded_mainloop_stop(loop_);
  pa_context_unref(context_);
  pa_threaded_mainloop_free(loop_);
  context_ = nullptr;
  loop_ = nullptr;
}

std::string Connection::errorText() const {
  const char* text = pa_strerror(pa_context_errno(context_));
  return text ? text : "unknown error";
}

void Connection::onStateChange(pa_context* context, void* userdata) {
  auto* self = static_cast<Connection*>(userdata);
  const pa_context_state_t state = pa_context_get_state(context);
  if (!PA_CONTEXT_IS_GOOD(state) && self->ready_ && !self->closing_ && !self->lostReported_) {
    self->lostReported_ = true;
    if (self->onLost_) self->onLost_(self->errorText());
  }
  pa_threaded_mainloop_signal(self->loop_, 0);
}

}  // namespace platform::pulse

}  // namespace capture
