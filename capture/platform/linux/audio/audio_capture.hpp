#pragma once
// Audio capture from the sound server: everything the default output plays
// (its monitor), or only what chosen applications play (one monitor stream
// per playback stream of theirs, mixed): one capture of each kind, chosen
// by the selection. Delivers interleaved float audio at
// the requested rate, stamped on the host clock, as sample buffers.
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <set>

#include "platform/error.hpp"
#include "platform/sample_buffer.hpp"

namespace capture {

namespace platform::pulse {

class CaptureEngine;

struct AudioSelection {
  // False: all the default output plays. True: only the playback streams of
  // `applicationProcesses` and the processes they started.
  bool applicationsOnly = false;
  std::set<pid_t> applicationProcesses;
  // Its own playback is never recorded, even when it descends from a chosen
  // application (the host that started the tool may be one).
  pid_t ownProcess = 0;
  int32_t sampleRate = 48000;
  int32_t channelCount = 2;
};

class AudioCapture {
 public:
  using SampleHandler = std::function<void(SampleBufferRef)>;
  using FailureHandler = std::function<void(const PlatformError&)>;

  // Both handlers run on the capture's own thread; `onFailure` at most once,
  // when the sound server connection breaks.
  AudioCapture(AudioSelection selection, SampleHandler onSamples, FailureHandler onFailure);
  ~AudioCapture();
  AudioCapture(const AudioCapture&) = delete;
  AudioCapture& operator=(const AudioCapture&) = delete;

  // Connects and begins capturing. Throws PlatformError.
  void start();
  // Ends capture; no handler runs after it returns. Not to be called from a
  // handler.
  void stop();

 private:
  std::unique_ptr<CaptureEngine> engine_;
};

}  // namespace platform::pulse

}  // namespace capture
