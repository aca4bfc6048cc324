#include "platform/sample_buffer.hpp"

#include <algorithm>
#include <cmath>

namespace capture {

namespace platform {

const std::vector<SampleAttachments>* sampleAttachments(const SampleBuffer& buffer) {
  return buffer.attachments ? &*buffer.attachments : nullptr;
}

SampleTimingInfo sampleTimingInfo(const SampleBuffer& buffer, int64_t index) {
  if (index < 0 || index >= buffer.numSamples || buffer.timing.empty()) return {};
  if (buffer.timing.size() == 1) {
    SampleTimingInfo info = buffer.timing.front();
    if (index > 0) {
      const CMTime step = CMTime{info.duration.value * index, info.duration.timescale,
                                 info.duration.flags, info.duration.epoch};
      info.presentationTimeStamp = CMTimeAdd(info.presentationTimeStamp, step);
      if (CMTimeIsValid(info.decodeTimeStamp))
        info.decodeTimeStamp = CMTimeAdd(info.decodeTimeStamp, step);
    }
    return info;
  }
  if (static_cast<size_t>(index) >= buffer.timing.size()) return {};
  return buffer.timing[static_cast<size_t>(index)];
}

SampleBufferRef copyWithNewTiming(const SampleBufferRef& buffer,
                                  std::span<const SampleTimingInfo> timing) {
  if (!buffer || timing.empty()) return nullptr;
  if (timing.size() != 1 && static_cast<int64_t>(timing.size()) != buffer->numSamples)
    return nullptr;
  auto copy = std::make_shared<SampleBuffer>(*buffer);
  copy->timing.assign(timing.begin(), timing.end());
  return copy;
}

CMTime presentationTimeStamp(const SampleBuffer& buffer) {
  if (buffer.timing.empty()) return kCMTimeInvalid;
  return buffer.timing.front().presentationTimeStamp;
}

SampleBufferRef audioFrom(const SampleBufferRef& buffer, CMTime from) {
  if (!buffer || !buffer->audioBuffer || buffer->audioBuffer->channelCount <= 0) return nullptr;
  const CMTime first = presentationTimeStamp(*buffer);
  if (!CMTimeIsNumeric(first) || !CMTimeIsNumeric(from)) return nullptr;
  const AudioBufferList& audio = *buffer->audioBuffer;
  const double late = CMTimeGetSeconds(CMTimeSubtract(from, first)) * audio.sampleRate;
  const auto skip = static_cast<int64_t>(std::max(0.0, std::ceil(late - 1e-6)));
  if (skip == 0) return buffer;
  if (skip >= buffer->numSamples) return nullptr;
  auto tail = std::make_shared<AudioBufferList>(audio);
  tail->samples.erase(tail->samples.begin(), tail->samples.begin() + skip * audio.channelCount);
  auto copy = std::make_shared<SampleBuffer>(*buffer);
  copy->numSamples -= skip;
  copy->audioBuffer = std::move(tail);
  copy->timing = {SampleTimingInfo{CMTimeMake(1, audio.sampleRate),
                                   CMTimeAdd(first, CMTimeMake(skip, audio.sampleRate)),
                                   kCMTimeInvalid}};
  return copy;
}

}  // namespace platform

}  // namespace capture
