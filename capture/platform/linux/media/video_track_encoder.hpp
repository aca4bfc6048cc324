#pragma once
// H.264 video for the QuickTime movie: BGRA frames converted to BT.709
// limited-range 4:2:0 and encoded by libx264, each frame at its own
// presentation time (variable frame rate).
#include <memory>

#include "platform/linux/media/track_encoder.hpp"
#include "platform/writer.hpp"

namespace capture {

namespace platform {

// Track timescale of the movie's video: fine enough for any capture timing.
inline constexpr int32_t kVideoTimescale = 90000;

// Opens the encoder; throws PlatformError when it cannot be opened.
std::unique_ptr<TrackEncoder> makeVideoTrackEncoder(const VideoSettings& settings);

}  // namespace platform

}  // namespace capture
