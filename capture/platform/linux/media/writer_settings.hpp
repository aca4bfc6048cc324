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

// The libx264 preset of every recording. Measured on screen content
// (terminal, dragged windows, a video in part of the screen) at the
// recording's bit rate, 1280x720 to 2560x1440 at 30 and 60 frames/s:
// ultrafast's pictures are as close to the screen as superfast's and
// veryfast's (SSIM within 0.0005) for 60 to 70 % of their CPU, and it is
// the only preset that keeps every frame at 1080p60 on two cores.
inline constexpr const char* kX264Preset = "ultrafast";

}  // namespace platform

}  // namespace capture
