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
  if (next_ && measuredStart < *next_ - tolerance_.restartFrames) {
    start = *next_;
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
  next_ = start + frames;
  return {start, skip};
}

void AudioTimeline::reset() {
  next_.reset();
  disagreement_ = 0;
}

}  // namespace platform::pulse

}  // namespace capture
