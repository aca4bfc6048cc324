#pragma once
// The recording engine: configures the capture streams and the media writers,
// routes audio, filters and re-times samples across pauses, and finalises the
// files on stop.
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <variant>

#include "job/event_sink.hpp"
#include "job/options.hpp"
#include "platform/cm_time.hpp"
#include "platform/queue.hpp"
#include "platform/stream.hpp"
#include "platform/writer.hpp"
#include "target/capture_target.hpp"

namespace capture {

// None of the applications chosen for their audio is running.
struct AudioAppsNotRunning {};
// "output" and "systemAudio" name the same file: one writer would destroy the
// other's file.
struct SameOutputFiles {};

// Why a recording did not start, beyond a failure of the platform.
using StartError = std::variant<TargetError, AudioAppsNotRunning, SameOutputFiles>;

// The error's text in the "error" event.
std::string startErrorMessage(const StartError& error);

class Recorder : public platform::StreamOutput, public platform::StreamDelegate {
 public:
  // Reports every event to `events`, which must outlive the recorder.
  Recorder(Options options, EventSink& events);
  Recorder() = delete;

  // Sets up and starts the capture; reports "started". Returns why the job
  // cannot be recorded; throws platform::PlatformError (or a library's
  // exception) when a service fails. Earlier files are removed before the
  // audio applications are looked for, and after the two paths are found to
  // name different files.
  std::optional<StartError> start();
  // Synchronous on the queue; each reports its event afterwards.
  void pause();
  void resume();
  // Fixes the end time, stops the streams, finishes the started writers and
  // reports "stopped". Returns when all of that is done. After a file could
  // not be written (reported then as an "error"), the other file is still
  // finished but nothing claims the recording is complete: no "stopped",
  // and false.
  bool stop();

  void didOutputSampleBuffer(platform::Stream& stream, platform::SampleBufferRef sampleBuffer,
                             int64_t type) override;
  void didStopWithError(platform::Stream& stream, const platform::PlatformError& error) override;

  // The buffer shifted back by `offset`; the same buffer while `offset` is zero.
  platform::SampleBufferRef retimed(const platform::SampleBufferRef& sampleBuffer);

  const Options options;

 private:
  void handleVideo(const platform::SampleBufferRef& sampleBuffer);
  void handleAudio(const platform::SampleBufferRef& sampleBuffer);
  // How far audio captured at `captured` moves back on the timeline: the
  // paused time that had ended by then. Nothing when that audio does not
  // belong in the recording (before the first frame, inside a pause, at or
  // after the end) or is too old to be placed.
  std::optional<CMTime> audioShift(CMTime captured) const;
  std::optional<CMTime> audioResumesAt(CMTime captured) const;
  platform::SampleBufferRef retimed(const platform::SampleBufferRef& sampleBuffer, CMTime shift);
  // What a writer runs when its file fails: the "error" event, and no more
  // samples for that file.
  std::function<void(const std::string&)> reportWriteFailure(const std::string& path,
                                                             std::atomic<bool>& failed);
  // Starts the capture of a stream and waits for it; throws its error.
  static void startCapture(platform::Stream& stream);

  EventSink& events;
  platform::StreamRef stream;
  platform::StreamRef audioStream;
  platform::AssetWriterRef videoWriter;
  platform::AssetWriterInputRef videoInput;
  platform::AssetWriterRef audioWriter;
  platform::AssetWriterInputRef audioInput;
  std::atomic<bool> videoFailed{false};
  std::atomic<bool> audioFailed{false};
  platform::SerialQueue queue{"orvik.capture"};
  bool sessionStarted = false;
  bool audioSessionStarted = false;
  bool paused = false;
  std::optional<CMTime> pausedAt;
  CMTime offset = kCMTimeZero;
  int64_t frames = 0;
  CMTime sessionStart = kCMTimeInvalid;

  // Audio reaches the queue well after it was captured (the sound server
  // holds it back by up to a quarter second), so it is placed by its own
  // time against the pauses as they were on the host clock, not by the state
  // at the moment it arrives.
  struct PauseSpan {
    CMTime pausedAt;
    CMTime resumedAt;
    CMTime offsetBefore;  // `offset` before this pause was added
  };
  // The most recent completed pauses, oldest first.
  std::deque<PauseSpan> pauseSpans;
  // Audio captured before this could fall into a pause no longer kept.
  std::optional<CMTime> pauseSpansForgottenBefore;
  // Captured (unshifted) time of the frame that started the session.
  CMTime firstFrameCaptured = kCMTimeInvalid;
  // Host-clock instant stop() fixed the end at; the files finish after it.
  std::optional<CMTime> stoppedAt;
  bool finalising = false;
};

}  // namespace capture
