#pragma once
// The arithmetic of a recording's output: the final frame size, the capture
// frame rate, the rate the encoder is told to expect and the video bit rate.
#include <cstdint>
#include <optional>

namespace capture {

struct OutputSize {
  int64_t width = 0;
  int64_t height = 0;
  bool operator==(const OutputSize&) const = default;
};

// Narrows the target's size to `maxWidth` (only from 320 up and only when it
// is smaller than the width; the height follows in proportion, fraction
// dropped), then makes both sides even by dropping an odd pixel.
OutputSize recordingSize(int64_t width, int64_t height, std::optional<int64_t> maxWidth);

// Frames per second of the capture interval: `fps` held to 1..60, 30 when absent.
int32_t captureFrameRate(std::optional<int64_t> fps);

// The rate the encoder is told to expect: `fps` as asked, 30 when absent, held
// down to the most a writer takes (platform::kMaxExpectedSourceFrameRate).
// Above 60 it exceeds the capture rate: the encoder is tuned for the rate
// asked for. A rate of zero or below goes through as it is, and the writer
// refuses it (a failed start), as it always has.
int64_t expectedSourceFrameRate(std::optional<int64_t> fps);

// The larger of 4 × width × height and 6000000 bit/s; nothing when the
// product does not fit a signed 64-bit integer.
std::optional<int64_t> videoAverageBitRate(int64_t width, int64_t height);

}  // namespace capture
