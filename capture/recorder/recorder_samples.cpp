// The sample path on the capture queue, and pause and resume, which change
// its state from the control channel.
#include <span>
#include <variant>

#include "front/emit.hpp"
#include "platform/clock.hpp"
#include "recorder/recorder.hpp"

using namespace platform;

namespace {

// A screen frame is written only when its first attachment dictionary says
// it is complete; no attachments, or a status that is missing or not an
// integer, count as incomplete.
bool isCompleteFrame(const SampleBuffer& buffer) {
  const auto* attachments = sampleAttachments(buffer);
  if (!attachments || attachments->empty()) return false;
  const auto& first = attachments->front();
  const auto status = first.find(kStreamFrameInfoStatus);
  if (status == first.end()) return false;
  const auto* value = std::get_if<int64_t>(&status->second);
  return value && *value == frameStatusComplete;
}

}  // namespace

void Recorder::didOutputSampleBuffer(Stream&, SampleBufferRef sampleBuffer, int64_t type) {
  if (!sampleBuffer || !sampleBuffer->isValid) return;
  if (paused) return;
  if (type == streamOutputTypeAudio)
    handleAudio(sampleBuffer);
  else if (type == streamOutputTypeScreen)
    handleVideo(sampleBuffer);
}

void Recorder::handleVideo(const SampleBufferRef& sampleBuffer) {
  if (!videoWriter || !videoInput) return;
  if (!isCompleteFrame(*sampleBuffer)) return;
  const SampleBufferRef buffer = retimed(sampleBuffer);
  if (!buffer) return;
  // A frame without a usable time cannot be placed on the timeline; as the
  // first frame it would leave the session and the duration undefined.
  if (!CMTimeIsNumeric(presentationTimeStamp(*buffer))) return;

  if (!sessionStarted) {
    sessionStart = presentationTimeStamp(*buffer);
    videoWriter->startWriting();
    videoWriter->startSessionAtSourceTime(sessionStart);
    sessionStarted = true;
    emit({{"event", "first-frame"},
          {"time", wallClockNow()},
          {"hostTime", CMTimeGetSeconds(sessionStart)}});
  }
  if (!videoInput->isReadyForMoreMediaData()) return;
  videoInput->appendSampleBuffer(buffer);
  ++frames;
}

void Recorder::handleAudio(const SampleBufferRef& sampleBuffer) {
  if (!audioWriter || !audioInput) return;
  // Audio older than the first frame would start the audio file before the movie.
  if (!sessionStarted) return;
  const SampleBufferRef buffer = retimed(sampleBuffer);
  if (!buffer) return;
  if (!CMTimeIsNumeric(presentationTimeStamp(*buffer))) return;

  if (!audioSessionStarted) {
    audioWriter->startWriting();
    // Both files begin at the first frame, so they stay in step.
    audioWriter->startSessionAtSourceTime(sessionStart);
    audioSessionStarted = true;
  }
  if (audioInput->isReadyForMoreMediaData()) audioInput->appendSampleBuffer(buffer);
}

SampleBufferRef Recorder::retimed(const SampleBufferRef& sampleBuffer) {
  // Until a pause has been taken out, buffers pass through untouched.
  if (offset == kCMTimeZero) return sampleBuffer;
  SampleTimingInfo timing = sampleTimingInfo(*sampleBuffer, 0);
  timing.presentationTimeStamp = CMTimeSubtract(timing.presentationTimeStamp, offset);
  timing.decodeTimeStamp = kCMTimeInvalid;
  return copyWithNewTiming(sampleBuffer, std::span<const SampleTimingInfo>(&timing, 1));
}

void Recorder::pause() {
  queue.sync([this] {
    if (paused) return;  // the pause counts from its first request
    paused = true;
    pausedAt = hostClockNow();
  });
  emit({{"event", "paused"}});
}

void Recorder::resume() {
  queue.sync([this] {
    if (paused && pausedAt) {
      const CMTime now = hostClockNow();
      offset = CMTimeAdd(offset, CMTimeSubtract(now, *pausedAt));
    }
    paused = false;
    pausedAt.reset();
  });
  emit({{"event", "resumed"}});
}
