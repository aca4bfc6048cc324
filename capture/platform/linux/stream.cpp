// Capture streams on Linux: screen frames from the display server's frame
// source on a capture thread of their own, audio from the sound server.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <limits>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "platform/linux/audio/audio_capture.hpp"
#include "platform/linux/stream/screen_capture.hpp"
#include "platform/queue.hpp"
#include "platform/stream.hpp"

namespace capture {

namespace platform {

namespace {

pulse::AudioSelection audioSelection(const ContentFilter& filter,
                                     const StreamConfiguration& configuration) {
  pulse::AudioSelection selection;
  selection.ownProcess = getpid();
  selection.sampleRate = static_cast<int32_t>(
      std::clamp<int64_t>(configuration.sampleRate, 0, std::numeric_limits<int32_t>::max()));
  selection.channelCount =
      static_cast<int32_t>(std::clamp<int64_t>(configuration.channelCount, 0, 255));
  if (filter.kind == ContentFilter::Kind::displayIncludingApplications) {
    selection.applicationsOnly = true;
    for (const RunningApplication& application : filter.applications)
      if (application.processID > 0) selection.applicationProcesses.insert(application.processID);
  }
  return selection;
}

class LinuxStream : public Stream, public std::enable_shared_from_this<LinuxStream> {
 public:
  LinuxStream(ContentFilterRef filter, const StreamConfiguration& configuration,
              StreamDelegate* delegate)
      : filter_(std::move(filter)), configuration_(configuration), delegate_(delegate) {}

  ~LinuxStream() override { endCaptures(); }

  void addStreamOutput(StreamOutput& output, int64_t type, SerialQueue& queue) override {
    std::lock_guard lock(control_);
    if (type != streamOutputTypeScreen && type != streamOutputTypeAudio)
      throw PlatformError("Unknown stream output type " + std::to_string(type) + ".");
    if (state_ != State::idle)
      throw PlatformError("Outputs cannot be added once the capture has started.");
    std::optional<Route>& route = type == streamOutputTypeScreen ? screenRoute_ : audioRoute_;
    if (route) throw PlatformError("The stream already has an output of this type.");
    route = Route{&output, &queue};
  }

  void startCapture(Completion completion) override {
    std::optional<PlatformError> error;
    {
      std::lock_guard lock(control_);
      if (state_ != State::idle)
        error = PlatformError("The capture has already been started.");
      else
        error = beginCaptures();
    }
    completion(std::move(error));
  }

  void stopCapture(Completion completion) override {
    std::optional<PlatformError> error;
    {
      std::lock_guard lock(control_);
      ended_ = true;  // a failure from here on is part of stopping, not news
      if (state_ == State::idle) error = PlatformError("The capture has not been started.");
      endCapturesLocked();
    }
    completion(std::move(error));
  }

 private:
  enum class State { idle, running, stopped };
  struct Route {
    StreamOutput* output;
    SerialQueue* queue;
  };

  std::optional<PlatformError> beginCaptures() {
    std::weak_ptr<LinuxStream> weak = weak_from_this();
    try {
      if (screenRoute_) {
        auto settings = screen::screenCaptureSettings(configuration_);
        auto source = screen::makeFrameSource(*filter_, configuration_);
        screen_ = std::make_unique<screen::ScreenCapture>(
            std::move(source), settings,
            [weak, route = *screenRoute_](SampleBufferRef sample) {
              deliver(weak, route, std::move(sample), streamOutputTypeScreen);
            },
            [weak](const PlatformError& error) { failed(weak, error); });
      }
      if (audioRoute_ && configuration_.capturesAudio) {
        audio_ = std::make_unique<pulse::AudioCapture>(
            audioSelection(*filter_, configuration_),
            [weak, route = *audioRoute_](SampleBufferRef sample) {
              deliver(weak, route, std::move(sample), streamOutputTypeAudio);
            },
            [weak](const PlatformError& error) { failed(weak, error); });
        audio_->start();
      }
      if (screen_) screen_->start();
    } catch (const PlatformError& error) {
      endCapturesLocked();
      state_ = State::idle;
      return error;
    } catch (const std::exception& error) {
      endCapturesLocked();
      state_ = State::idle;
      return PlatformError(std::string("The capture could not start: ") + error.what());
    }
    state_ = State::running;
    return std::nullopt;
  }

  // Runs on a capture thread: hands the sample to the output on its queue.
  // Capture threads hold the stream only weakly, so that the stream's last
  // owner never lets go of it on a thread the stream has to wait for.
  //
  // The first screen frame takes a grab (tens of milliseconds) before it can
  // be handed over, while audio for the same moments is ready sooner. A
  // receiver that starts its timeline at the first frame and ignores audio
  // that comes before it would lose the audio of that frame's first moments.
  // So, when the stream has a screen output, audio waits until the first
  // frame has been handed over and then follows it (only the last second of
  // it is kept meanwhile).
  static void deliver(const std::weak_ptr<LinuxStream>& weak, Route route, SampleBufferRef sample,
                      int64_t type) {
    auto self = weak.lock();
    if (!self) return;
    std::lock_guard lock(self->order_);
    if (type == streamOutputTypeAudio && self->screenRoute_ && !self->screenHandedOver_) {
      self->holdAudio(Held{route, std::move(sample)});
      return;
    }
    handOver(weak, route, std::move(sample), type);
    if (type == streamOutputTypeScreen && !self->screenHandedOver_) {
      self->screenHandedOver_ = true;
      for (Held& held : self->heldAudio_)
        handOver(weak, held.route, std::move(held.sample), streamOutputTypeAudio);
      self->heldAudio_.clear();
    }
  }

  static void handOver(const std::weak_ptr<LinuxStream>& weak, Route route, SampleBufferRef sample,
                       int64_t type) {
    route.queue->async([weak, route, sample = std::move(sample), type] {
      if (auto self = weak.lock()) route.output->didOutputSampleBuffer(*self, sample, type);
    });
  }

  struct Held {
    Route route;
    SampleBufferRef sample;
  };

  void holdAudio(Held held) {
    heldAudioFrames_ += held.sample ? held.sample->numSamples : 0;
    heldAudio_.push_back(std::move(held));
    const int64_t limit = std::max<int64_t>(configuration_.sampleRate, 1);
    while (heldAudio_.size() > 1 && heldAudioFrames_ > limit) {
      heldAudioFrames_ -= heldAudio_.front().sample ? heldAudio_.front().sample->numSamples : 0;
      heldAudio_.pop_front();
    }
  }

  // Runs on a capture thread when its capture fails: the whole stream stops,
  // and the delegate hears of it once, from a thread of its own (which may
  // wait for the capture threads, and may be where the stream is let go).
  static void failed(const std::weak_ptr<LinuxStream>& weak, const PlatformError& error) {
    dispatchGlobalAsync([weak, error] {
      auto self = weak.lock();
      if (!self || self->ended_.exchange(true)) return;
      {
        std::lock_guard lock(self->control_);
        self->endCapturesLocked();
      }
      if (self->delegate_) self->delegate_->didStopWithError(*self, error);
    });
  }

  void endCaptures() {
    std::lock_guard lock(control_);
    endCapturesLocked();
  }

  void endCapturesLocked() {
    if (screen_) screen_->stop();
    if (audio_) audio_->stop();
    screen_.reset();
    audio_.reset();
    if (state_ == State::running) state_ = State::stopped;
  }

  const ContentFilterRef filter_;
  const StreamConfiguration configuration_;
  StreamDelegate* const delegate_;

  std::mutex control_;  // guards everything below but `ended_`
  State state_ = State::idle;
  std::optional<Route> screenRoute_;
  std::optional<Route> audioRoute_;
  std::unique_ptr<screen::ScreenCapture> screen_;
  std::unique_ptr<pulse::AudioCapture> audio_;
  std::atomic<bool> ended_{false};
  std::mutex order_;  // guards the three below: the order of hand-overs
  bool screenHandedOver_ = false;
  std::deque<Held> heldAudio_;
  int64_t heldAudioFrames_ = 0;
};

}  // namespace

StreamRef makeStream(ContentFilterRef filter, const StreamConfiguration& configuration,
                     StreamDelegate* delegate) {
  if (!filter) throw PlatformError("A capture stream needs a content filter.");
  return std::make_shared<LinuxStream>(std::move(filter), configuration, delegate);
}

}  // namespace platform

}  // namespace capture
