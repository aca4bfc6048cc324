#include "platform/cm_time.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

constexpr int32_t kNanos = 1000000000;
constexpr int64_t kDay = 86400LL * kNanos;

TEST(CMTimeArithmetic, NanosecondHostTimesStayExactOverDays) {
  // Host times days into an uptime, with pauses measured in odd nanoseconds.
  const CMTime t1 = CMTimeMake(3 * kDay + 123456789, kNanos);
  const CMTime t2 = CMTimeMake(5 * kDay + 987654321, kNanos);
  const CMTime gap = CMTimeSubtract(t2, t1);
  EXPECT_EQ(gap.value, 2 * kDay + 864197532);
  EXPECT_EQ(gap.timescale, kNanos);
  EXPECT_EQ(CMTimeAdd(t1, gap).value, t2.value);
  // Many small offsets summed keep every nanosecond.
  CMTime offset = kCMTimeZero;
  for (int i = 0; i < 1000; ++i) offset = CMTimeAdd(offset, CMTimeMake(1000001, kNanos));
  EXPECT_EQ(offset, CMTimeMake(1000001000, kNanos));
  EXPECT_EQ(offset.flags & kCMTimeFlags_HasBeenRounded, 0u);
  const CMTime shifted = CMTimeSubtract(CMTimeMake(40 * kDay + 1, kNanos), offset);
  EXPECT_EQ(shifted.value, 40 * kDay + 1 - 1000001000);
  EXPECT_EQ(CMTimeGetSeconds(CMTimeMake(40 * kDay + 500000000, kNanos)), 40 * 86400 + 0.5);
}

TEST(CMTimeArithmetic, MixedTimescalesAreExactWhenTheCommonScaleFits) {
  const CMTime sum = CMTimeAdd(CMTimeMake(1, 3), CMTimeMake(1, 600));
  EXPECT_EQ(sum.timescale, 600);
  EXPECT_EQ(sum.value, 201);
  const CMTime zeroPlusHost = CMTimeAdd(kCMTimeZero, CMTimeMake(7, kNanos));
  EXPECT_EQ(zeroPlusHost.value, 7);
  EXPECT_EQ(zeroPlusHost.timescale, kNanos);
  EXPECT_EQ(CMTimeSubtract(CMTimeMake(1, 48000), CMTimeMake(1, 44100)),
            CMTimeMake(147 - 160, 7056000));
}

TEST(CMTimeArithmetic, UnrepresentableMixesRoundToTheLargerScaleAndSaySo) {
  // lcm(1e9, 999999937) does not fit 32 bits.
  const CMTime sum = CMTimeAdd(CMTimeMake(1, kNanos), CMTimeMake(1, 999999937));
  EXPECT_EQ(sum.timescale, kNanos);
  EXPECT_EQ(sum.value, 2);
  EXPECT_NE(sum.flags & kCMTimeFlags_HasBeenRounded, 0u);
  // Halves round away from zero.
  EXPECT_EQ(CMTimeConvertScale(CMTimeMake(1, 2), 1).value, 1);
  EXPECT_EQ(CMTimeConvertScale(CMTimeMake(-1, 2), 1).value, -1);
  EXPECT_EQ(CMTimeConvertScale(CMTimeMake(1, 3), 1).value, 0);
  EXPECT_NE(CMTimeConvertScale(CMTimeMake(1, 3), 1).flags & kCMTimeFlags_HasBeenRounded, 0u);
  EXPECT_EQ(CMTimeConvertScale(CMTimeMake(3, 6), 2).flags & kCMTimeFlags_HasBeenRounded, 0u);
}

TEST(CMTimeArithmetic, OverflowBecomesInfiniteRatherThanWrapping) {
  const CMTime big = CMTimeMake(std::numeric_limits<int64_t>::max(), 1);
  const CMTime over = CMTimeAdd(big, CMTimeMake(1, 1));
  EXPECT_TRUE(CMTimeIsValid(over));
  EXPECT_FALSE(CMTimeIsNumeric(over));
  EXPECT_EQ(CMTimeGetSeconds(over), std::numeric_limits<double>::infinity());
  const CMTime under =
      CMTimeSubtract(CMTimeMake(std::numeric_limits<int64_t>::min(), 1), CMTimeMake(1, 1));
  EXPECT_EQ(CMTimeGetSeconds(under), -std::numeric_limits<double>::infinity());
}

TEST(CMTimeEquality, SameInstantWhateverTheTimescale) {
  EXPECT_EQ(CMTimeMake(1, 2), CMTimeMake(500000000, kNanos));
  EXPECT_EQ(kCMTimeZero, CMTimeMake(0, kNanos));
  EXPECT_FALSE(CMTimeMake(1, 3) == CMTimeMake(333333333, kNanos));
  EXPECT_LT(CMTimeCompare(CMTimeMake(333333333, kNanos), CMTimeMake(1, 3)), 0);
  EXPECT_EQ(CMTimeCompare(CMTimeMake(2, 1), CMTimeMake(1, 1)), 1);
}

TEST(CMTimeInvalid, InvalidTimesPropagateAndNeverEqualValidOnes) {
  EXPECT_FALSE(CMTimeIsValid(kCMTimeInvalid));
  EXPECT_FALSE(CMTimeIsValid(CMTimeMake(1, 0)));
  EXPECT_FALSE(CMTimeIsValid(CMTimeMake(1, -5)));
  EXPECT_FALSE(CMTimeIsValid(CMTimeAdd(kCMTimeInvalid, kCMTimeZero)));
  EXPECT_FALSE(CMTimeIsValid(CMTimeSubtract(CMTimeMake(5, 1), kCMTimeInvalid)));
  EXPECT_TRUE(std::isnan(CMTimeGetSeconds(kCMTimeInvalid)));
  EXPECT_FALSE(kCMTimeInvalid == kCMTimeZero);
  EXPECT_TRUE(kCMTimeInvalid == kCMTimeInvalid);
  EXPECT_LT(CMTimeCompare(kCMTimeInvalid, CMTimeMake(-100, 1)), 0);
  EXPECT_FALSE(CMTimeIsValid(CMTimeConvertScale(kCMTimeInvalid, 600)));
}

}  // namespace
