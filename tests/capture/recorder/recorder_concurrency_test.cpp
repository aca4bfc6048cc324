// Sample delivery on the capture queue racing pause, resume and stop from a
// control thread, many times over: every written frame must carry its
// captured time minus the paused time in effect when it was handled; audio,
// which arrives late, exactly the audio captured outside the pauses and
// before the end must be written, each buffer shifted by the pauses that had
// ended when it was captured; nothing may be written past the end.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "recorder_fixture.hpp"

namespace recorder_test {
namespace {

constexpr int32_t kTicksPerSecond = 1000000;
constexpr const char* kStampKey = "test.stamp";

// A host clock shared by the sample source and the recorder: every reading
// advances it by one tick. Readings taken on threads other than the sample
// source are the recorder's own (pause, resume, stop), kept in order.
struct TestClock {
  std::atomic<int64_t> ticks{1000};
  std::atomic<std::thread::id> source;
  std::mutex logMutex;
  std::vector<int64_t> recorderReadings;

  int64_t read() {
    const int64_t t = ticks.fetch_add(1) + 1;
    if (std::this_thread::get_id() != source) {
      std::lock_guard lock(logMutex);
      recorderReadings.push_back(t);
    }
    return t;
  }
};

platform::SampleBufferRef stampedSample(int64_t stamp, bool video) {
  auto buffer = std::make_shared<platform::SampleBuffer>();
  const CMTime at = CMTimeMake(stamp, kTicksPerSecond);
  buffer->timing = {{CMTimeMake(1, 60), at, video ? at : kCMTimeInvalid}};
  buffer->attachments = std::vector<platform::SampleAttachments>{{{kStampKey, stamp}}};
  if (video) buffer->attachments->front()[platform::kStreamFrameInfoStatus] = int64_t{0};
  return buffer;
}

int64_t stampOf(const platform::SampleBuffer& buffer) {
  return std::get<int64_t>(buffer.attachments->front().at(kStampKey));
}

int64_t ticksOf(CMTime t) {
  EXPECT_EQ(t.timescale, kTicksPerSecond);
  return t.value;
}

// One recording with random control operations; returns how many samples were written.
size_t raceOnce(uint32_t seed) {
  std::mt19937 random(seed);
  fake::reset();
  fake::state().content = oneDisplay(640, 480);
  auto clock = std::make_shared<TestClock>();
  fake::state().hostClock = [clock] { return CMTimeMake(clock->read(), kTicksPerSecond); };
  EventLog events;

  Options options = job();
  options.systemAudio = "/nonexistent-dir/audio.m4a";
  Recorder recorder(options, events);
  EXPECT_FALSE(recorder.start());
  auto& stream = *fake::state().streams.at(0);
  auto& video = *fake::state().inputs.at(0);
  auto& audio = *fake::state().inputs.at(1);

  std::atomic<bool> done{false};
  std::vector<int64_t> audioStamps;  // the source thread's until it is joined
  std::thread source([&] {
    clock->source = std::this_thread::get_id();
    for (int64_t n = 0; !done.load(); ++n) {
      const bool isVideo = n % 3 != 2;
      const int64_t stamp = clock->read();
      if (!isVideo) audioStamps.push_back(stamp);
      stream.deliver(stampedSample(stamp, isVideo),
                     isVideo ? platform::streamOutputTypeScreen : platform::streamOutputTypeAudio);
      if (n % 16 == 0) std::this_thread::yield();
    }
  });
  // The source ends while the capture stops, as a real one does: everything
  // it delivered is on the queue before the files are finished.
  stream.whileStopping = [&] {
    done = true;
    source.join();
  };

  // The offsets the recorder must have used, in order, rebuilt from the
  // clock readings its pause and resume took.
  std::vector<int64_t> offsets{0};
  struct Span {
    int64_t pausedAt, resumedAt;
  };
  std::vector<Span> spans;
  size_t readingsSeen = 0;
  bool paused = false;
  int64_t pausedAt = 0;
  auto nextReading = [&] {
    std::lock_guard lock(clock->logMutex);
    return clock->recorderReadings.at(readingsSeen++);
  };
  const int operations = 10 + static_cast<int>(random() % 30);
  for (int i = 0; i < operations; ++i) {
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 400));
    if (random() % 2) {
      recorder.pause();
      if (!paused) pausedAt = nextReading();
      paused = true;
    } else {
      recorder.resume();
      if (paused) {
        const int64_t resumedAt = nextReading();
        offsets.push_back(offsets.back() + resumedAt - pausedAt);
        spans.push_back({pausedAt, resumedAt});
      }
      paused = false;
    }
  }
  std::this_thread::sleep_for(std::chrono::microseconds(random() % 400));
  recorder.stop();
  const int64_t stoppedAt = nextReading();
  EXPECT_FALSE(source.joinable());

  const int64_t gap = paused ? stoppedAt - pausedAt : 0;
  const int64_t endTime = stoppedAt - offsets.back() - gap;
  auto& movie = *fake::state().writers.at(0);
  if (!video.appended.empty()) {
    EXPECT_EQ(ticksOf(*movie.sessionEnd), endTime);
  }

  size_t lastOffset = 0;
  for (const auto& written : video.appended) {
    const int64_t shift = stampOf(*written) - ticksOf(presentationTimeStamp(*written));
    const auto at = std::find(offsets.begin(), offsets.end(), shift);
    EXPECT_NE(at, offsets.end()) << "shifted by " << shift << ", which no pause added up to";
    if (at == offsets.end()) break;
    // Offsets only grow along the queue's order.
    EXPECT_GE(static_cast<size_t>(at - offsets.begin()), lastOffset);
    lastOffset = std::max(lastOffset, static_cast<size_t>(at - offsets.begin()));
    EXPECT_LE(ticksOf(presentationTimeStamp(*written)), endTime);
  }

  // Audio by its captured time: from the first frame's, outside every pause,
  // before the end (an open pause's start, else the stop).
  const int64_t audioEnd = paused ? pausedAt : stoppedAt;
  std::map<int64_t, int64_t> expectedAudio;  // captured -> written
  if (!video.appended.empty()) {
    const int64_t firstFrame = stampOf(*video.appended.front());
    for (const int64_t t : audioStamps) {
      if (t < firstFrame || t >= audioEnd) continue;
      int64_t shift = 0;
      bool inPause = false;
      for (const auto& span : spans) {
        if (span.resumedAt <= t) shift += span.resumedAt - span.pausedAt;
        if (span.pausedAt <= t && t < span.resumedAt) inPause = true;
      }
      if (!inPause) expectedAudio[t] = t - shift;
    }
  }
  std::map<int64_t, int64_t> writtenAudio;
  for (const auto& written : audio.appended)
    writtenAudio[stampOf(*written)] = ticksOf(presentationTimeStamp(*written));
  EXPECT_EQ(writtenAudio.size(), audio.appended.size()) << "audio written twice";
  EXPECT_EQ(writtenAudio, expectedAudio);
  for (const auto& [captured, at] : writtenAudio) EXPECT_LT(at, endTime);
  EXPECT_EQ(video.appendsAfterFinished, 0);
  EXPECT_EQ(audio.appendsAfterFinished, 0);
  EXPECT_EQ(events.last("stopped")["frames"], static_cast<int64_t>(video.appended.size()));
  return video.appended.size() + audio.appended.size();
}

TEST(RecorderConcurrency, ControlRacingDeliveryKeepsEveryWrittenTimeExact) {
  const auto began = std::chrono::steady_clock::now();
  size_t written = 0;
  int runs = 0;
  // Bounded by time, so that slow sanitizer builds still finish in seconds.
  while (runs < 60 &&
         (runs < 8 || std::chrono::steady_clock::now() - began < std::chrono::seconds(3))) {
    written += raceOnce(static_cast<uint32_t>(runs) * 7919u + 1u);
    ++runs;
    if (HasFailure()) break;
  }
  EXPECT_GT(written, 0u);
}

}  // namespace
}  // namespace recorder_test
