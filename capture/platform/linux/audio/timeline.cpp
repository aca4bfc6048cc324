#include "platform/linux/audio/timeline.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace capture {

namespace platform::pulse {

int64_t hostFrameAt(int64_t hostNanoseconds, int32_t rate) {
  // Split to keep the product within 64 bits for any uptime.
  const int64_t seconds = hostNanoseconds / 1000000000;
  int64_t rest = hostNanoseconds % 1000000000;
  int64_t frames = seconds * rate;
  if (rest < 0) {
    rest += 1000000000;
    frames -= rate;
  }
  return frames + rest * rate / 1000000000;
}

AudioTimeline::Placement AudioTimeline::place(int64_t measuredStart, int64_t frames) {
  int64_t start = measuredStart;
  int64_t skip = 0;
  const bool farEarlier = next_ && measuredStart < *next_ - tolerance_.restartFrames;
  if (!farEarlier) earlySince_.reset();
  if (farEarlier) {
    if (!earlySince_) earlySince_ = measuredStart;
    if (measuredStart - *earlySince_ < tolerance_.resyncFrames)
      start = *next_;
    else
      earlySince_.reset();
    disagreement_ = 0;
  } else if (next_ && measuredStart - *next_ <= tolerance_.restartFrames) {
    const double difference = static_cast<double>(measuredStart - *next_);
    disagreement_ += tolerance_.smoothing * (difference - disagreement_);
    start = *next_;
    if (std::fabs(disagreement_) > static_cast<double>(tolerance_.nudgeFrames)) {
      const auto nudge = static_cast<int64_t>(std::llround(disagreement_));
      start += nudge;
      disagreement_ -= static_cast<double>(nudge);
      if (nudge < 0) skip = std::min(-nudge, frames);
    }
  } else {
    disagreement_ = 0;
  }
  if (next_) skip = std::clamp(placedUntil_ - start, skip, frames);
  next_ = start + frames;
  placedUntil_ = std::max(placedUntil_, start + frames);
  return {start, skip};
}

void AudioTimeline::reset() {
  next_.reset();
  earlySince_.reset();
  placedUntil_ = 0;
  disagreement_ = 0;
}

}  // namespace platform::pulse

}  // namespace capture
