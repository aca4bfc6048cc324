#pragma once
// Rational media time: value / timescale seconds. Mirrors the semantics the
// recording timeline relies on: exact arithmetic for times of one clock, and
// equality meaning "the same instant" whatever the timescales.
#include <cstdint>

namespace capture {

struct CMTime {
  int64_t value = 0;
  int32_t timescale = 0;
  uint32_t flags = 0;
  int64_t epoch = 0;
};

inline constexpr uint32_t kCMTimeFlags_Valid = 1u << 0;
inline constexpr uint32_t kCMTimeFlags_HasBeenRounded = 1u << 1;
inline constexpr uint32_t kCMTimeFlags_PositiveInfinity = 1u << 2;
inline constexpr uint32_t kCMTimeFlags_NegativeInfinity = 1u << 3;
inline constexpr uint32_t kCMTimeFlags_Indefinite = 1u << 4;

inline constexpr CMTime kCMTimeZero{0, 1, kCMTimeFlags_Valid, 0};
inline constexpr CMTime kCMTimeInvalid{0, 0, 0, 0};

CMTime CMTimeMake(int64_t value, int32_t timescale);
bool CMTimeIsValid(CMTime t);
bool CMTimeIsNumeric(CMTime t);
// Sum and difference (lhs - rhs). Same timescale: exact. Different timescales:
// exact in the least common multiple when it fits, else rounded to the larger
// timescale (and flagged as rounded). An invalid operand gives invalid.
CMTime CMTimeAdd(CMTime lhs, CMTime rhs);
CMTime CMTimeSubtract(CMTime lhs, CMTime rhs);
double CMTimeGetSeconds(CMTime t);
// Three-way comparison of the instants; invalid times sort before valid ones.
int32_t CMTimeCompare(CMTime a, CMTime b);
// Re-expresses t in another timescale, rounding half away from zero.
CMTime CMTimeConvertScale(CMTime t, int32_t timescale);

bool operator==(CMTime a, CMTime b);

}  // namespace capture
