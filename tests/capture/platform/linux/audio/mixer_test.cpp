#include "platform/linux/audio/mixer.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <vector>

namespace capture {

using platform::pulse::AudioMixer;

TEST(AudioMixer, HandsOutNothingBeforeItStarts) {
  AudioMixer mixer(2, 48000);
  const std::vector<float> samples(20, 0.5f);
  mixer.add(0, samples);
  EXPECT_FALSE(mixer.take(100));
  mixer.startAt(0);
  const auto chunk = mixer.take(10);
  ASSERT_TRUE(chunk);
  for (float value : chunk->samples) EXPECT_EQ(value, 0.0f);  // the early add was dropped
}

TEST(AudioMixer, SumsSourcesInPlaceWithSilenceBetweenAndContiguousChunks) {
  AudioMixer mixer(2, 48000);
  mixer.startAt(100);
  mixer.add(102, std::vector<float>{0.25f, -0.25f, 0.25f, -0.25f});  // frames 102, 103
  mixer.add(103, std::vector<float>{0.5f, 0.5f, 0.5f, 0.5f});        // frames 103, 104
  auto first = mixer.take(104);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->startFrame, 100);
  EXPECT_EQ(first->samples, (std::vector<float>{0, 0, 0, 0, 0.25f, -0.25f, 0.75f, 0.25f}));
  auto second = mixer.take(106);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->startFrame, 104);
  EXPECT_EQ(second->samples, (std::vector<float>{0.5f, 0.5f, 0, 0}));
  EXPECT_FALSE(mixer.take(106));
  EXPECT_FALSE(mixer.take(50));
}

TEST(AudioMixer, DropsLateAudioAndAudioBeyondItsHorizon) {
  AudioMixer mixer(1, 4);
  mixer.startAt(10);
  ASSERT_TRUE(mixer.take(12));
  mixer.add(10, std::vector<float>{1, 1, 0.5f, 0.5f});  // frames 10, 11 are already out
  mixer.add(15, std::vector<float>{0.1f, 0.2f, 0.3f});  // frame 16, 17 lie past 12 + 4
  const auto chunk = mixer.take(20);
  ASSERT_TRUE(chunk);
  EXPECT_EQ(chunk->samples, (std::vector<float>{0.5f, 0.5f, 0, 0.1f, 0, 0, 0, 0}));
}

TEST(AudioMixer, ClipsTheSumAndSilencesInvalidSamples) {
  AudioMixer mixer(2, 100);
  mixer.startAt(0);
  mixer.add(0, std::vector<float>{0.8f, -0.8f, std::numeric_limits<float>::quiet_NaN(),
                                  std::numeric_limits<float>::infinity(), 0.1f});  // odd count
  mixer.add(0, std::vector<float>{0.8f, -0.8f});
  const auto chunk = mixer.take(3);
  ASSERT_TRUE(chunk);
  EXPECT_EQ(chunk->samples, (std::vector<float>{1.0f, -1.0f, 0, 0, 0, 0}));
}

TEST(MixReadyUntil, HandsOutWhatEverySourceDeliveredAtOnceOtherwiseWaitsBehindThePresent) {
  using platform::pulse::mixReadyUntil;
  using Delivered = std::vector<std::optional<int64_t>>;
  const int64_t now = 48000, holdback = 2880;  // 60 ms behind
  // A lone monitor that has delivered up to 5 ms ago is not held back 60 ms:
  // at the stop of a recording its last audio has already gone out.
  EXPECT_EQ(mixReadyUntil(now, holdback, Delivered{now - 240}), now - 240);
  // Several sources: only what all of them delivered is complete.
  EXPECT_EQ(mixReadyUntil(now, holdback, Delivered{now - 240, now - 960, now - 10}), now - 960);
  // A source far behind, one that has delivered nothing yet, or none at all:
  // the output waits no longer than the hold-back.
  EXPECT_EQ(mixReadyUntil(now, holdback, Delivered{now - 240, now - 48000}), now - holdback);
  EXPECT_EQ(mixReadyUntil(now, holdback, Delivered{now - 240, std::nullopt}), now - holdback);
  EXPECT_EQ(mixReadyUntil(now, holdback, Delivered{}), now - holdback);
  // Audio placed past the present is not handed out ahead of time.
  EXPECT_EQ(mixReadyUntil(now, holdback, Delivered{now + 480}), now);
}

}  // namespace capture
