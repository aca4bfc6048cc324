// The sample path on the capture queue, and pause and resume, which change
// its state from the control channel.
#include <span>
#include <variant>

#include "platform/clock.hpp"
#include "recorder/recorder.hpp"

namespace capture {

using namespace platform;

namespace {

constexpr size_t kKeptPauseSpans = 32;

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
  // Audio is judged by when it was captured, not by the state it finds:
  // what was captured before a pause (or the stop) arrives after it.
  if (type == streamOutputTypeAudio) return handleAudio(sampleBuffer);
  if (paused) return;
  if (type == streamOutputTypeScreen) handleVideo(sampleBuffer);
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
    firstFrameCaptured = presentationTimeStamp(*sampleBuffer);
    sessionStart = presentationTimeStamp(*buffer);
    videoWriter->startWriting();
    videoWriter->startSessionAtSourceTime(sessionStart);
    sessionStarted = true;
    events.emit({{"event", "first-frame"},
                 {"time", wallClockNow()},
                 {"hostTime", CMTimeGetSeconds(sessionStart)}});
  }
  if (videoFailed || !videoInput->isReadyForMoreMediaData()) return;
  videoInput->appendSampleBuffer(buffer);
  ++frames;
}

void Recorder::handleAudio(const SampleBufferRef& sampleBuffer) {
  if (!audioWriter || !audioInput) return;
  if (finalising) return;  // the input has been marked finished
  // Audio older than the first frame would start the audio file before the movie.
  if (!sessionStarted) return;
  // A buffer is placed by its first sample: the audio writer trims and fills
  // the few milliseconds where neighbouring buffers then overlap or part.
  SampleBufferRef kept = sampleBuffer;
  CMTime captured = presentationTimeStamp(*kept);
  if (!CMTimeIsNumeric(captured)) return;
  // A buffer that begins before the first frame or inside a pause keeps
  // what follows: its audio from the recording's (re)start on.
  if (const std::optional<CMTime> from = audioResumesAt(captured)) {
    kept = audioFrom(kept, *from);
    if (!kept) return;
    captured = presentationTimeStamp(*kept);
  }
  const std::optional<CMTime> shift = audioShift(captured);
  if (!shift) return;
  const SampleBufferRef buffer = retimed(kept, *shift);
  if (!buffer) return;
  if (!CMTimeIsNumeric(presentationTimeStamp(*buffer))) return;

  if (!audioSessionStarted) {
    audioWriter->startWriting();
    // Both files begin at the first frame, so they stay in step.
    audioWriter->startSessionAtSourceTime(sessionStart);
    audioSessionStarted = true;
  }
  if (!audioFailed && audioInput->isReadyForMoreMediaData()) audioInput->appendSampleBuffer(buffer);
}

std::optional<CMTime> Recorder::audioShift(CMTime captured) const {
  const auto before = [](CMTime a, CMTime b) { return CMTimeCompare(a, b) < 0; };
  if (before(captured, firstFrameCaptured)) return std::nullopt;
  if (stoppedAt && !before(captured, *stoppedAt)) return std::nullopt;
  if (pausedAt && !before(captured, *pausedAt)) return std::nullopt;  // the open pause
  if (pauseSpansForgottenBefore && before(captured, *pauseSpansForgottenBefore))
    return std::nullopt;
  // Pauses that ended after the capture do not move it.
  CMTime shift = offset;
  for (auto span = pauseSpans.rbegin();
       span != pauseSpans.rend() && before(captured, span->resumedAt); ++span) {
    if (!before(captured, span->pausedAt)) return std::nullopt;  // captured while paused
    shift = span->offsetBefore;
  }
  return shift;
}

std::optional<CMTime> Recorder::audioResumesAt(CMTime captured) const {
  const auto before = [](CMTime a, CMTime b) { return CMTimeCompare(a, b) < 0; };
  if (before(captured, firstFrameCaptured)) return firstFrameCaptured;
  for (const auto& span : pauseSpans)
    if (!before(captured, span.pausedAt) && before(captured, span.resumedAt)) return span.resumedAt;
  return std::nullopt;
}

SampleBufferRef Recorder::retimed(const SampleBufferRef& sampleBuffer) {
  return retimed(sampleBuffer, offset);
}

SampleBufferRef Recorder::retimed(const SampleBufferRef& sampleBuffer, CMTime shift) {
  // Until a pause has been taken out, buffers pass through untouched.
  if (shift == kCMTimeZero) return sampleBuffer;
  SampleTimingInfo timing = sampleTimingInfo(*sampleBuffer, 0);
  timing.presentationTimeStamp = CMTimeSubtract(timing.presentationTimeStamp, shift);
  timing.decodeTimeStamp = kCMTimeInvalid;
  return copyWithNewTiming(sampleBuffer, std::span<const SampleTimingInfo>(&timing, 1));
}

void Recorder::pause() {
  queue.sync([this] {
    if (paused) return;  // the pause counts from its first request
    paused = true;
    pausedAt = hostClockNow();
  });
  events.emit({{"event", "paused"}});
}

void Recorder::resume() {
  queue.sync([this] {
    if (paused && pausedAt) {
      const CMTime now = hostClockNow();
      const CMTime before = offset;
      offset = CMTimeAdd(offset, CMTimeSubtract(now, *pausedAt));
      if (!(now == *pausedAt)) {
        pauseSpans.push_back({*pausedAt, now, before});
        // Audio comes at most a fraction of a second late; a few dozen
        // pauses back is far more than it can reach.
        if (pauseSpans.size() > kKeptPauseSpans) {
          pauseSpansForgottenBefore = pauseSpans.front().resumedAt;
          pauseSpans.pop_front();
        }
      }
    }
    paused = false;
    pausedAt.reset();
  });
  events.emit({{"event", "resumed"}});
}

}  // namespace capture
