#pragma once
// What the Linux media writers accept as settings, and how they tune the
// H.264 encoder for live capture on the machine at hand.
#include <cstdint>
#include <string>

#include "platform/writer.hpp"

namespace capture {

namespace platform {

inline constexpr int64_t kMaxVideoDimension = 16384;
inline constexpr int64_t kMaxVideoFrameRate = kMaxExpectedSourceFrameRate;
inline constexpr int64_t kMaxVideoBitRate = 2'000'000'000;

// Throw PlatformError naming the first refused value.
void checkVideoSettings(const VideoSettings& settings);
void checkAudioSettings(const AudioSettings& settings);

// The slowest libx264 preset that keeps up with width × height × rate on two
// cores with room left for capture and colour conversion.
std::string x264PresetFor(int64_t width, int64_t height, int64_t frameRate);

}  // namespace platform

}  // namespace capture
