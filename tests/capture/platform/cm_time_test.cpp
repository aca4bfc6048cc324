#include "platform/cm_time.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace capture {

namespace {

constexpr int32_t kNanos = 1000000000;
constexpr int64_t kDay = 86400LL * kNanos;
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
bool rounded(CMTime t) { return t.flags & kCMTimeFlags_HasBeenRounded; }

TEST(CMTime, ArithmeticKeepsEveryNanosecondOrSaysItRounded) {
  // Host times days into an uptime, and a thousand small offsets summed.
  const CMTime t1 = CMTimeMake(3 * kDay + 123456789, kNanos);
  const CMTime t2 = CMTimeMake(5 * kDay + 987654321, kNanos);
  EXPECT_EQ(CMTimeSubtract(t2, t1), CMTimeMake(2 * kDay + 864197532, kNanos));
  EXPECT_EQ(CMTimeAdd(t1, CMTimeSubtract(t2, t1)).value, t2.value);
  CMTime offset = kCMTimeZero;
  for (int i = 0; i < 1000; ++i) offset = CMTimeAdd(offset, CMTimeMake(1000001, kNanos));
  EXPECT_EQ(offset.value, 1000001000);
  EXPECT_EQ(offset.timescale, kNanos);
  EXPECT_FALSE(rounded(offset));
  EXPECT_EQ(CMTimeGetSeconds(CMTimeMake(40 * kDay + 500000000, kNanos)), 40 * 86400 + 0.5);

  // Mixed timescales meet on the common one when it fits 32 bits, else on
  // the larger one with the rounding flagged.
  struct Case {
    CMTime sum, expected;
    bool rounded;
  };
  for (const auto& [sum, expected, wasRounded] : std::vector<Case>{
           {CMTimeAdd(CMTimeMake(1, 3), CMTimeMake(1, 600)), CMTimeMake(201, 600), false},
           {CMTimeAdd(kCMTimeZero, CMTimeMake(7, kNanos)), CMTimeMake(7, kNanos), false},
           {CMTimeSubtract(CMTimeMake(1, 48000), CMTimeMake(1, 44100)), CMTimeMake(-13, 7056000),
            false},
           {CMTimeAdd(CMTimeMake(1, kNanos), CMTimeMake(1, 999999937)), CMTimeMake(2, kNanos),
            true},
           {CMTimeConvertScale(CMTimeMake(1, 2), 1), CMTimeMake(1, 1), true},  // halves away from 0
           {CMTimeConvertScale(CMTimeMake(-1, 2), 1), CMTimeMake(-1, 1), true},
           {CMTimeConvertScale(CMTimeMake(1, 3), 1), CMTimeMake(0, 1), true},
           {CMTimeConvertScale(CMTimeMake(3, 6), 2), CMTimeMake(1, 2), false}}) {
    EXPECT_EQ(sum.value, expected.value);
    EXPECT_EQ(sum.timescale, expected.timescale);
    EXPECT_EQ(rounded(sum), wasRounded) << sum.value << "/" << sum.timescale;
  }

  // Overflow becomes infinite rather than wrapping.
  const CMTime over = CMTimeAdd(CMTimeMake(kMax, 1), CMTimeMake(1, 1));
  EXPECT_TRUE(CMTimeIsValid(over));
  EXPECT_FALSE(CMTimeIsNumeric(over));
  EXPECT_EQ(CMTimeGetSeconds(over), std::numeric_limits<double>::infinity());
  EXPECT_EQ(CMTimeGetSeconds(CMTimeSubtract(CMTimeMake(-kMax - 1, 1), CMTimeMake(1, 1))),
            -std::numeric_limits<double>::infinity());
}

TEST(CMTime, EqualityIsOfTheInstantAndInvalidTimesStayInvalid) {
  EXPECT_EQ(CMTimeMake(1, 2), CMTimeMake(500000000, kNanos));
  EXPECT_EQ(kCMTimeZero, CMTimeMake(0, kNanos));
  EXPECT_FALSE(CMTimeMake(1, 3) == CMTimeMake(333333333, kNanos));
  EXPECT_LT(CMTimeCompare(CMTimeMake(333333333, kNanos), CMTimeMake(1, 3)), 0);
  EXPECT_EQ(CMTimeCompare(CMTimeMake(2, 1), CMTimeMake(1, 1)), 1);
  for (CMTime invalid :
       {kCMTimeInvalid, CMTimeMake(1, 0), CMTimeMake(1, -5), CMTimeAdd(kCMTimeInvalid, kCMTimeZero),
        CMTimeSubtract(CMTimeMake(5, 1), kCMTimeInvalid), CMTimeConvertScale(kCMTimeInvalid, 600)})
    EXPECT_FALSE(CMTimeIsValid(invalid));
  EXPECT_TRUE(std::isnan(CMTimeGetSeconds(kCMTimeInvalid)));
  EXPECT_FALSE(kCMTimeInvalid == kCMTimeZero);
  EXPECT_TRUE(kCMTimeInvalid == kCMTimeInvalid);
  EXPECT_LT(CMTimeCompare(kCMTimeInvalid, CMTimeMake(-100, 1)), 0);
}

}  // namespace

}  // namespace capture
