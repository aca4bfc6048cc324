// Samples delivered while a control thread pauses, resumes and stops, many times over: each
// frame is written at its captured time minus one of the offsets the pauses added up to, in the
// order they grew; exactly the audio captured outside the pauses and before the end is written,
// shifted by the pauses that had ended by its capture; nothing past the end or the files' finish.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <random>
#include <thread>

#include "capture/recorder/recorder_fixture.hpp"

namespace capture {

namespace recorder_test {
namespace {

// The tick (a microsecond) a sample was captured at: its duration carries it into retimed copies.
int64_t stamp(const platform::SampleBufferRef& b) { return b->timing.at(0).duration.value; }

// One recording with random control operations; returns how many samples were written.
size_t raceOnce(std::mt19937 random) {
  fake::reset();
  fake::state().content = oneDisplay(640, 480);
  // One clock for the source's stamps and the recorder's readings; each takes a new tick.
  std::atomic<int64_t> clock{1000};
  std::vector<int64_t> readings;  // the recorder's, taken on its queue
  fake::state().hostClock = [&] { return CMTimeMake(readings.emplace_back(++clock), 1000000); };
  EventLog events;
  Recorder recorder(job("/nonexistent-dir/audio.m4a"), events);
  EXPECT_FALSE(recorder.start());
  auto& stream = mainStream();
  std::atomic<bool> done{false};
  std::vector<int64_t> audioStamps;
  std::thread source([&] {
    for (int64_t n = 0; !done; ++n) {
      const bool video = n % 3 != 2;
      const CMTime at = CMTimeMake(++clock, 1000000);
      auto sample = sampleAt(0, video);
      sample->timing = {{at, at, video ? at : kCMTimeInvalid}};
      if (!video) audioStamps.push_back(at.value);
      stream.deliver(sample,
                     video ? platform::streamOutputTypeScreen : platform::streamOutputTypeAudio);
      if (n % 16 == 0) std::this_thread::yield();
    }
  });
  // The source ends while the capture stops, as a real one does.
  stream.whileStopping = [&] { done = true, source.join(); };

  std::vector<std::pair<int64_t, int64_t>> pauses;  // as the recorder took them; -1: still open
  for (int i = 0, n = 10 + random() % 30; i < n; ++i) {
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 400));
    if (i % 2 == 0) recorder.pause(), pauses.emplace_back(readings.back(), -1);
    if (i % 2 == 1) recorder.resume(), pauses.back().second = readings.back();
  }
  recorder.stop();
  const bool open = pauses.size() && pauses.back().second < 0;
  const int64_t end = open ? pauses.back().first : readings.back();  // in captured time
  if (open) pauses.pop_back();
  std::vector<int64_t> offsets{0};
  for (const auto& [from, to] : pauses) offsets.push_back(offsets.back() + to - from);
  const int64_t movieEnd = end - offsets.back();

  const auto& video = videoInput().appended;
  const auto& audio = audioInput().appended;
  EXPECT_TRUE(video.empty() || movie().sessionEnd->value == movieEnd);
  auto offset = offsets.begin();
  for (const auto& frame : video) {
    const int64_t at = presentationTimeStamp(*frame).value;
    offset = std::find(offset, offsets.end(), stamp(frame) - at);
    EXPECT_TRUE(offset != offsets.end() && at <= movieEnd) << stamp(frame) << " at " << at;
  }
  std::map<int64_t, int64_t> expected, written;  // captured -> written time
  for (const int64_t t : audioStamps) {
    int64_t shift = 0;
    bool inPause = video.empty() || t < stamp(video.front()) || t >= end;
    for (const auto& [from, to] : pauses) {
      if (to <= t) shift += to - from;
      inPause = inPause || (from <= t && t < to);
    }
    if (!inPause) expected[t] = t - shift;
  }
  for (const auto& b : audio) written[stamp(b)] = presentationTimeStamp(*b).value;
  EXPECT_EQ(written, expected);
  EXPECT_EQ(audio.size(), written.size()) << "audio written twice";
  EXPECT_EQ(videoInput().appendsAfterFinished + audioInput().appendsAfterFinished, 0);
  EXPECT_EQ(events.last("stopped")["frames"], video.size());
  return video.size() + audio.size();
}

TEST(RecorderConcurrency, ControlRacingDeliveryKeepsEveryWrittenTimeExact) {
  // Bounded by time, so that slow sanitizer builds still finish in seconds.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  size_t written = 0;
  for (uint32_t run = 0;
       run < 60 && !HasFailure() && (run < 8 || std::chrono::steady_clock::now() < until); ++run)
    written += raceOnce(std::mt19937(run));
  EXPECT_GT(written, 0u);
}

}  // namespace
}  // namespace recorder_test

}  // namespace capture
