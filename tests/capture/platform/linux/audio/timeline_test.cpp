#include "platform/linux/audio/timeline.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <random>

namespace capture {

using platform::pulse::AudioTimeline;
using platform::pulse::hostFrameAt;

TEST(HostFrames, CountFramesOfTheHostClockWithoutOverflow) {
  EXPECT_EQ(hostFrameAt(0, 48000), 0);
  EXPECT_EQ(hostFrameAt(1'000'000'000, 48000), 48000);
  EXPECT_EQ(hostFrameAt(999'999'999, 48000), 47999);
  EXPECT_EQ(hostFrameAt(20'833, 48000), 0);  // just under one frame
  EXPECT_EQ(hostFrameAt(20'834, 48000), 1);
  // A year of uptime in nanoseconds times the rate does not fit 64 bits.
  const int64_t year = 365LL * 24 * 3600 * 1'000'000'000;
  EXPECT_EQ(hostFrameAt(year, 48000), 365LL * 24 * 3600 * 48000);
  EXPECT_EQ(hostFrameAt(-1, 48000), -1);
}

namespace {

// Feeds `chunks` chunks of `frames` frames from a source whose clock runs
// `ratio` times as fast as the host clock, with readings jittered by up to
// `jitter` frames; checks that no chunk overlaps the previous one and returns
// the largest distance between placement and truth, and how many chunks were
// not contiguous.
struct Outcome {
  int64_t worstError = 0;
  int discontinuities = 0;
};

Outcome feed(int chunks, int64_t frames, double ratio, int64_t jitter, unsigned seed) {
  AudioTimeline timeline;
  std::mt19937 random(seed);
  std::uniform_int_distribution<int64_t> noise(-jitter, jitter);
  const int64_t origin = 123'456'789;
  Outcome run;
  std::optional<int64_t> previousEnd;
  for (int k = 0; k < chunks; ++k) {
    const auto truth = origin + static_cast<int64_t>(static_cast<double>(k * frames) / ratio);
    const auto placement = timeline.place(truth + noise(random), frames);
    const int64_t first = placement.start + placement.skip;
    if (previousEnd) {
      EXPECT_GE(first, *previousEnd) << "chunk " << k << " overlaps its predecessor";
      if (placement.start != *previousEnd) ++run.discontinuities;
    }
    previousEnd = placement.start + frames;
    run.worstError = std::max<int64_t>(run.worstError, std::llabs(placement.start - truth));
  }
  return run;
}

}  // namespace

TEST(AudioTimeline, KeepsJitteredChunksContiguousAndFollowsAFastOrSlowSourceClock) {
  // 30 s of 10 ms chunks with 1 ms of jitter; then 100 s from a source 500 ppm
  // fast or slow (a poor sound card: 50 ms of drift if chunks were merely
  // counted), followed with small nudges, not constant corrections.
  for (auto [ratio, jitter, chunks] :
       {std::tuple{1.0, 48, 3000}, {1.0005, 24, 10000}, {0.9995, 24, 10000}}) {
    const Outcome run = feed(chunks, 480, ratio, jitter, 1);
    EXPECT_LE(run.worstError, 192 + 48) << ratio;  // within the 4 ms tolerance and the jitter
    EXPECT_EQ(run.discontinuities > 0, ratio != 1.0) << ratio;
    EXPECT_LT(run.discontinuities, 100) << ratio;
  }
}

TEST(AudioTimeline, StartsAfreshAfterAGapAndContinuesWithoutReadings) {
  AudioTimeline timeline;
  EXPECT_FALSE(timeline.continuation());
  EXPECT_EQ(timeline.place(1000, 480).start, 1000);
  EXPECT_EQ(timeline.place(1480 + 30, 480).start, 1480);  // within tolerance: contiguous
  ASSERT_TRUE(timeline.continuation());
  EXPECT_EQ(*timeline.continuation(), 1960);
  EXPECT_EQ(timeline.place(1960 + 48000, 480).start, 1960 + 48000);  // a second later: restart
  // A reading a second early is not followed over the previous chunk.
  const auto early = timeline.place(1960 + 480, 480);
  EXPECT_EQ(early.start, 1960 + 48000 + 480);
  EXPECT_EQ(early.skip, 0);
  timeline.reset();
  EXPECT_FALSE(timeline.continuation());
  EXPECT_EQ(timeline.place(5, 480).start, 5);
}

TEST(AudioTimeline, MovesBackWhenReadingsStayEarlierThanALateRestart) {
  // A reading that came 0.3 s late restarts the placement there; the readings
  // that follow are on time. Within a second the placement is back on them,
  // and nothing is ever placed over what was placed before.
  AudioTimeline timeline;
  timeline.place(0, 480);
  int64_t placedUntil = timeline.place(480 + 14400, 480).start + 480;
  int64_t lastError = 0;
  for (int64_t k = 2; k < 100; ++k) {
    const auto placement = timeline.place(k * 480, 480);
    EXPECT_GE(placement.start + placement.skip, std::min(placedUntil, placement.start + 480));
    placedUntil = std::max(placedUntil, placement.start + 480);
    lastError = placement.start - k * 480;
  }
  EXPECT_EQ(lastError, 0);
}

}  // namespace capture
