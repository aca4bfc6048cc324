#include "platform/cm_time.hpp"

#include <cmath>
#include <limits>
#include <numeric>

namespace capture {

namespace {

__extension__ using i128 = __int128;

bool fitsInt64(i128 v) {
  return v >= std::numeric_limits<int64_t>::min() && v <= std::numeric_limits<int64_t>::max();
}

// Rounds num / den to the nearest integer, halves away from zero (den > 0).
i128 roundedDivide(i128 num, i128 den) {
  i128 q = num / den;
  i128 r = num % den;
  if (r < 0) r = -r;
  if (2 * r >= den) q += (num < 0) ? -1 : 1;
  return q;
}

CMTime overflowed(bool positive) {
  return CMTime{0, 0,
                kCMTimeFlags_Valid |
                    (positive ? kCMTimeFlags_PositiveInfinity : kCMTimeFlags_NegativeInfinity),
                0};
}

// a + sign * b for two numeric times.
CMTime combine(CMTime a, CMTime b, int sign) {
  if (!CMTimeIsNumeric(a) || !CMTimeIsNumeric(b)) return kCMTimeInvalid;
  const int64_t epoch = a.epoch;
  if (a.timescale == b.timescale) {
    i128 v = static_cast<i128>(a.value) + sign * static_cast<i128>(b.value);
    if (!fitsInt64(v)) return overflowed(v > 0);
    return CMTime{static_cast<int64_t>(v), a.timescale,
                  kCMTimeFlags_Valid | ((a.flags | b.flags) & kCMTimeFlags_HasBeenRounded), epoch};
  }
  // Exact sum over ta * tb, then expressed in the least common multiple when
  // that is a valid timescale, else rounded to the larger of the two.
  const i128 ta = a.timescale, tb = b.timescale;
  const i128 num = static_cast<i128>(a.value) * tb + sign * static_cast<i128>(b.value) * ta;
  const i128 den = ta * tb;
  const i128 lcm = std::lcm(static_cast<int64_t>(ta), static_cast<int64_t>(tb));
  uint32_t rounded = (a.flags | b.flags) & kCMTimeFlags_HasBeenRounded;
  i128 scale;
  i128 value;
  if (lcm <= std::numeric_limits<int32_t>::max()) {
    scale = lcm;
    value = num / (den / lcm);  // exact: den / lcm divides num's terms
  } else {
    scale = ta > tb ? ta : tb;
    const i128 scaled = num * scale;
    value = roundedDivide(scaled, den);
    if (value * den != scaled) rounded = kCMTimeFlags_HasBeenRounded;
  }
  if (!fitsInt64(value)) return overflowed(value > 0);
  return CMTime{static_cast<int64_t>(value), static_cast<int32_t>(scale),
                kCMTimeFlags_Valid | rounded, epoch};
}

}  // namespace

CMTime CMTimeMake(int64_t value, int32_t timescale) {
  if (timescale <= 0) return kCMTimeInvalid;
  return CMTime{value, timescale, kCMTimeFlags_Valid, 0};
}

bool CMTimeIsValid(CMTime t) { return (t.flags & kCMTimeFlags_Valid) != 0; }

bool CMTimeIsNumeric(CMTime t) {
  return CMTimeIsValid(t) && t.timescale > 0 &&
         (t.flags & (kCMTimeFlags_PositiveInfinity | kCMTimeFlags_NegativeInfinity |
                     kCMTimeFlags_Indefinite)) == 0;
}

CMTime CMTimeAdd(CMTime lhs, CMTime rhs) { return combine(lhs, rhs, +1); }
CMTime CMTimeSubtract(CMTime lhs, CMTime rhs) { return combine(lhs, rhs, -1); }

double CMTimeGetSeconds(CMTime t) {
  if (!CMTimeIsValid(t)) return std::numeric_limits<double>::quiet_NaN();
  if (t.flags & kCMTimeFlags_PositiveInfinity) return std::numeric_limits<double>::infinity();
  if (t.flags & kCMTimeFlags_NegativeInfinity) return -std::numeric_limits<double>::infinity();
  if (!CMTimeIsNumeric(t)) return std::numeric_limits<double>::quiet_NaN();
  // Split into whole seconds and remainder so large values keep their precision.
  const int64_t whole = t.value / t.timescale;
  const int64_t rest = t.value % t.timescale;
  return static_cast<double>(whole) + static_cast<double>(rest) / t.timescale;
}

int32_t CMTimeCompare(CMTime a, CMTime b) {
  const bool va = CMTimeIsValid(a), vb = CMTimeIsValid(b);
  if (!va || !vb) return va == vb ? 0 : (va ? 1 : -1);
  auto rank = [](CMTime t) {
    if (t.flags & kCMTimeFlags_NegativeInfinity) return -1;
    if (t.flags & (kCMTimeFlags_PositiveInfinity | kCMTimeFlags_Indefinite)) return 1;
    return 0;
  };
  if (rank(a) != rank(b)) return rank(a) < rank(b) ? -1 : 1;
  if (rank(a) != 0) return 0;
  if (a.epoch != b.epoch) return a.epoch < b.epoch ? -1 : 1;
  const i128 l = static_cast<i128>(a.value) * b.timescale;
  const i128 r = static_cast<i128>(b.value) * a.timescale;
  return l == r ? 0 : (l < r ? -1 : 1);
}

CMTime CMTimeConvertScale(CMTime t, int32_t timescale) {
  if (!CMTimeIsNumeric(t) || timescale <= 0) return kCMTimeInvalid;
  if (t.timescale == timescale) return t;
  const i128 scaled = static_cast<i128>(t.value) * timescale;
  const i128 value = roundedDivide(scaled, t.timescale);
  if (!fitsInt64(value)) return overflowed(value > 0);
  uint32_t flags = kCMTimeFlags_Valid | (t.flags & kCMTimeFlags_HasBeenRounded);
  if (value * t.timescale != scaled) flags |= kCMTimeFlags_HasBeenRounded;
  return CMTime{static_cast<int64_t>(value), timescale, flags, t.epoch};
}

bool operator==(CMTime a, CMTime b) { return CMTimeCompare(a, b) == 0; }

}  // namespace capture
