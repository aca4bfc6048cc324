#pragma once
// AAC-LC audio for the M4A file. Buffers are laid on the track by their
// presentation times: gaps become silence and overlaps are trimmed, so the
// audio stays in step with the movie whatever the capture jitter.
#include <memory>

#include "platform/linux/media/track_encoder.hpp"
#include "platform/writer.hpp"

namespace capture {

namespace platform {

// Opens the encoder; throws PlatformError when it cannot be opened.
std::unique_ptr<TrackEncoder> makeAudioTrackEncoder(const AudioSettings& settings);

}  // namespace platform

}  // namespace capture
