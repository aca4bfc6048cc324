// The end of a recording: end time, stream stops, finishing the started
// writers, and the "stopped" report; and streams that stop on their own.
#include <future>
#include <memory>

#include "platform/clock.hpp"
#include "recorder/completion.hpp"
#include "recorder/recorder.hpp"

namespace capture {

using namespace platform;

bool Recorder::stop() {
  // On the queue, so that every sample is handled wholly before the end is
  // fixed or dropped after it. A pause still open does not count.
  const CMTime endTime = queue.syncResult([this] {
    const CMTime now = hostClockNow();
    const CMTime gap = paused ? CMTimeSubtract(now, pausedAt.value_or(now)) : kCMTimeZero;
    paused = true;  // for good: from here on every frame is dropped
    // Audio captured before now may still be on its way; it is written
    // until the files are finished.
    stoppedAt = now;
    return CMTimeSubtract(CMTimeSubtract(now, offset), gap);
  });

  // A stream that fails to stop changes nothing about what has been written.
  if (stream) awaitCompletion([this](Completion done) { stream->stopCapture(std::move(done)); });
  if (audioStream)
    awaitCompletion([this](Completion done) { audioStream->stopCapture(std::move(done)); });

  auto signal = std::make_shared<std::promise<void>>();
  auto finished = signal->get_future();
  // Behind any samples still waiting on the queue, among them the audio the
  // streams handed over before their stop completed.
  queue.async([this, endTime, signal] {
    finalising = true;
    if (videoInput) videoInput->markAsFinished();
    if (audioInput) audioInput->markAsFinished();
    auto group = std::make_shared<DispatchGroup>();
    // A failed file is left as it was when it failed.
    if (sessionStarted && !videoFailed) {
      videoWriter->endSessionAtSourceTime(endTime);
      group->enter();
      videoWriter->finishWriting([group] { group->leave(); });
    }
    if (audioSessionStarted && audioWriter && !audioFailed) {
      audioWriter->endSessionAtSourceTime(endTime);
      group->enter();
      audioWriter->finishWriting([group] { group->leave(); });
    }
    group->notify([signal] { signal->set_value(); });
  });
  finished.wait();

  // Nothing writes these any more: the queue only drops samples now.
  if (videoFailed || audioFailed) return false;
  Event stopped{{"event", "stopped"},
                {"frames", frames},
                {"output", options.output},
                {"systemAudio", audioSessionStarted && options.systemAudio ? *options.systemAudio
                                                                           : std::string()}};
  if (sessionStarted)
    stopped["duration"] = CMTimeGetSeconds(CMTimeSubtract(endTime, sessionStart));
  else
    stopped["duration"] = 0;
  events.emit(stopped);
  return true;
}

void Recorder::didStopWithError(Stream&, const PlatformError& error) {
  events.emit({{"event", "error"}, {"message", error.localizedDescription()}});
}

}  // namespace capture
