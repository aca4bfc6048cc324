#pragma once
// Placing captured audio on the host-clock timeline, counted in frames at the
// capture rate (frame n covers host time n / rate seconds).
//
// The sound server tells, for each chunk it hands over, roughly when its first
// frame was captured. Those readings jitter by a millisecond or so, while the
// chunks themselves follow each other without gaps. `AudioTimeline` keeps
// consecutive chunks contiguous as long as the (smoothed) readings agree with
// that, nudges the placement by the smoothed difference once it exceeds a
// small tolerance (so a sound card clock that runs slightly fast or slow never
// drifts away from the host clock), and starts afresh when a reading is far
// later (the source paused, or data was lost). A reading far earlier than
// the previous chunk's end is not followed at once: a burst of audio
// delivered faster than it plays looks like that. But readings that stay far
// earlier for half a second mean the placement itself is late (a restart
// taken on a reading that came late, on a starved machine), and the
// placement moves back to them. Nothing is ever placed over audio already
// placed: what would overlap is skipped.
#include <cstdint>
#include <optional>

namespace capture {

namespace platform::pulse {

// Frames on the host clock: floor(nanoseconds × rate / 1e9).
int64_t hostFrameAt(int64_t hostNanoseconds, int32_t rate);

struct TimelineTolerance {
  int64_t nudgeFrames = 192;     // 4 ms at 48 kHz: smoothed disagreement that moves the placement
  int64_t restartFrames = 2400;  // 50 ms: a reading this much later starts afresh
  int64_t resyncFrames = 24000;  // 0.5 s of readings this much earlier moves the placement back
  double smoothing = 0.05;       // weight of each new reading in the smoothed disagreement
};

class AudioTimeline {
 public:
  explicit AudioTimeline(TimelineTolerance tolerance = {}) : tolerance_(tolerance) {}

  // Where a chunk goes: its frames from `skip` on are placed from frame
  // `start + skip`. A placement moved back by a nudge skips the head that
  // would overlap the previous chunk rather than play it twice.
  struct Placement {
    int64_t start = 0;
    int64_t skip = 0;
  };
  // Places a chunk of `frames` frames measured to start at `measuredStart`.
  Placement place(int64_t measuredStart, int64_t frames);
  // The frame at which a chunk is placed when no reading is available: right
  // after the previous one, or nothing when there was none.
  std::optional<int64_t> continuation() const { return next_; }
  // Forgets the previous chunks (the source was re-attached).
  void reset();

 private:
  TimelineTolerance tolerance_;
  std::optional<int64_t> next_;
  int64_t placedUntil_ = 0;            // the end of what was placed, while next_ is set
  std::optional<int64_t> earlySince_;  // the first of consecutive far earlier readings
  double disagreement_ = 0;
};

}  // namespace platform::pulse

}  // namespace capture
