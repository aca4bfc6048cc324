#include "platform/linux/audio/mixer.hpp"

#include <algorithm>
#include <cmath>

namespace capture {

namespace platform::pulse {

int64_t mixReadyUntil(int64_t nowFrame, int64_t holdbackFrames,
                      std::span<const std::optional<int64_t>> sources) {
  const int64_t behind = nowFrame - std::max<int64_t>(holdbackFrames, 0);
  if (sources.empty()) return behind;
  int64_t complete = nowFrame;
  for (const std::optional<int64_t>& delivered : sources) {
    if (!delivered) return behind;
    complete = std::min(complete, *delivered);
  }
  return std::max(behind, complete);
}

AudioMixer::AudioMixer(int channels, int64_t horizonFrames)
    : channels_(std::max(channels, 1)), horizonFrames_(std::max<int64_t>(horizonFrames, 0)) {}

void AudioMixer::startAt(int64_t frame) {
  next_ = frame;
  pending_.clear();
}

void AudioMixer::add(int64_t frame, std::span<const float> samples) {
  if (!next_) return;
  const auto channels = static_cast<int64_t>(channels_);
  int64_t frames = static_cast<int64_t>(samples.size()) / channels;
  int64_t first = 0;  // first frame of `samples` to keep
  if (frame < *next_) first = std::min(frames, *next_ - frame);
  const int64_t limit = *next_ + horizonFrames_;
  if (frame + frames > limit) frames = std::max<int64_t>(first, limit - frame);
  if (first >= frames) return;

  const auto offset = static_cast<size_t>((frame + first - *next_) * channels);
  const auto count = static_cast<size_t>((frames - first) * channels);
  if (pending_.size() < offset + count) pending_.resize(offset + count, 0.0f);
  const float* source = samples.data() + first * channels;
  for (size_t i = 0; i < count; ++i) pending_[offset + i] += source[i];
}

std::optional<MixedChunk> AudioMixer::take(int64_t until) {
  if (!next_ || until <= *next_) return std::nullopt;
  const auto count = static_cast<size_t>((until - *next_) * channels_);
  MixedChunk chunk;
  chunk.startFrame = *next_;
  chunk.samples.assign(count, 0.0f);
  const size_t filled = std::min(count, pending_.size());
  for (size_t i = 0; i < filled; ++i) {
    const float value = pending_[i];
    chunk.samples[i] = std::isfinite(value) ? std::clamp(value, -1.0f, 1.0f) : 0.0f;
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(filled));
  next_ = until;
  return chunk;
}

}  // namespace platform::pulse

}  // namespace capture
