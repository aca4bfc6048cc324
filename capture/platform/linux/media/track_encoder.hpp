#pragma once
// The media-specific half of a writer: checks samples as they are appended,
// then encodes them into the file on the writer's own thread.
#include <cstdint>
#include <optional>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "platform/linux/media/fragmented_file.hpp"
#include "platform/sample_buffer.hpp"

namespace capture {

namespace platform {

class TrackEncoder {
 public:
  virtual ~TrackEncoder() = default;

  // The opened encoder, for the file header.
  virtual const AVCodecContext& codec() const = 0;
  // Units per second of the positions below.
  virtual int32_t timescale() const = 0;

  // Longest stretch of the track, in positions, between two fragment cuts;
  // set before the first sample.
  int64_t fragmentLength = 0;

  // Caller's thread. Whether the sample can be taken, given its position on
  // the track (presentation time minus session start, in `timescale`): the
  // position to encode it at, or nothing. Refusing leaves no trace.
  virtual std::optional<int64_t> admit(const SampleBuffer& sample, int64_t position) = 0;

  // Writer's thread. Encodes an admitted sample. Throws PlatformError when
  // the file can no longer be written.
  virtual void encode(SampleBufferRef sample, int64_t position, FragmentedFile& file) = 0;
  // Writer's thread. While a fragment is open: the track time, in seconds,
  // from the last encoded sample to where that fragment is due to end.
  virtual std::optional<double> secondsUntilFragmentEnds() const { return std::nullopt; }
  // Writer's thread. Hands the open fragment to the file now (no sample has
  // come to start the next one); the next sample starts a fragment.
  virtual void endFragment(FragmentedFile&) {}
  // Writer's thread. Drains the encoder and closes the file, the track ending
  // at `end` (a position), or after its last sample when there is none.
  virtual void finish(std::optional<int64_t> end, FragmentedFile& file) = 0;
};

}  // namespace platform

}  // namespace capture
