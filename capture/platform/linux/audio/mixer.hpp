#pragma once
// Sums the audio of several sources on one frame timeline and hands it out in
// order, silence where no source played. Chunks are added at the frame where
// they belong; `take` hands out everything before a given frame, after which
// late audio for those frames is dropped.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace capture {

namespace platform::pulse {

struct MixedChunk {
  int64_t startFrame = 0;
  std::vector<float> samples;  // interleaved, frames × channels
};

// The frame before which the mix may be handed out at `nowFrame`. `sources`
// holds, for every source being captured, the frame after the last audio it
// delivered (none before its first delivery). What every source has
// delivered is complete and goes out at once: a lone source (the default
// output's monitor) is never held back, so its audio reaches the writer
// while the recording is still running, up to its last moments. Otherwise
// the mix waits `holdbackFrames` behind the present for slower sources, and
// a source that delivers nothing (gone quiet, just attached) holds it no
// longer than that. Never past the present.
int64_t mixReadyUntil(int64_t nowFrame, int64_t holdbackFrames,
                      std::span<const std::optional<int64_t>> sources);

class AudioMixer {
 public:
  // `horizonFrames` bounds how far past the next frame to hand out audio is
  // kept; audio placed beyond it is dropped (a wild time must not grow the
  // buffer without limit).
  AudioMixer(int channels, int64_t horizonFrames);

  // Where the output begins; frames before it are never handed out. Until
  // this is called, `add` drops everything.
  void startAt(int64_t frame);
  bool started() const { return next_.has_value(); }
  // The first frame not yet handed out.
  std::optional<int64_t> nextFrame() const { return next_; }

  // Adds interleaved samples whose first frame is `frame`. A trailing partial
  // frame is ignored.
  void add(int64_t frame, std::span<const float> samples);
  // The mix of frames [nextFrame, until), clipped to [-1, 1]; nothing when
  // that range is empty or the output has not begun.
  std::optional<MixedChunk> take(int64_t until);

 private:
  int channels_;
  int64_t horizonFrames_;
  std::optional<int64_t> next_;
  std::vector<float> pending_;  // frames from next_ on that hold audio
};

}  // namespace platform::pulse

}  // namespace capture
