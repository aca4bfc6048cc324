#include "platform/linux/stream/screen_capture.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/clock.hpp"

namespace capture {

using namespace platform;
using namespace platform::screen;
using namespace std::chrono_literals;

namespace {

// A frame source driven by the test: reports changes when told to, fills
// frames with a running number, fails when told to, and hands out frames of
// its own memory while `sharing` is on.
struct ScriptedSource : FrameSource {
  std::atomic<bool> changing{false};   // every frame changes
  std::atomic<bool> changeOnce{true};  // the next frame changes (the first is news)
  std::atomic<bool> sharing{false};
  std::atomic<int> failAtGrab{-1}, grabs{0}, shared{0};
  std::vector<std::weak_ptr<std::vector<uint8_t>>> given;  // written before the frame is out

  void grab(uint8_t* destination, size_t) override {
    const int number = grabs.fetch_add(1);
    if (number == failAtGrab) throw PlatformError("The window has gone.");
    std::memcpy(destination, &number, sizeof number);
  }
  SharedPixels grabShared() override {
    if (!sharing) return {};
    shared.fetch_add(1);
    auto frame = std::make_shared<std::vector<uint8_t>>(256 * 32);
    given.push_back(frame);
    return {frame->data(), 256, frame};
  }
  bool contentChanged() override { return changing || changeOnce.exchange(false); }
  std::atomic<int64_t> shownNs{0};  // when the content was shown; 0: not known
  std::optional<CMTime> shownAt() override {
    return shownNs ? std::optional(CMTimeMake(shownNs, 1'000'000'000)) : std::nullopt;
  }
};

struct Harness {
  ScriptedSource* source;
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<SampleBufferRef> samples;
  std::vector<std::string> failures;
  ScreenCapture capture;

  Harness(std::chrono::milliseconds interval, int64_t pool)
      : source(new ScriptedSource),
        capture(
            std::unique_ptr<FrameSource>(source), settings(interval, pool),
            [this](SampleBufferRef sample) {
              std::lock_guard lock(mutex);
              samples.push_back(std::move(sample));
              arrived.notify_all();
            },
            [this](const PlatformError& error) {
              std::lock_guard lock(mutex);
              failures.push_back(error.localizedDescription());
            }) {}
  static ScreenCaptureSettings settings(std::chrono::milliseconds interval, int64_t pool) {
    StreamConfiguration configuration;
    configuration.width = 64;
    configuration.height = 32;
    configuration.queueDepth = pool;
    ScreenCaptureSettings result = screenCaptureSettings(configuration);
    result.interval = interval;
    return result;
  }
  bool waitFor(size_t count) {
    std::unique_lock lock(mutex);
    return arrived.wait_for(lock, 3s, [&] { return samples.size() >= count; });
  }
};

int64_t statusOf(const SampleBuffer& sample) {
  return std::get<int64_t>(sample.attachments->at(0).at(kStreamFrameInfoStatus));
}

}  // namespace

TEST(ScreenCaptureSettings, FollowTheConfigurationAndRefuseWhatCannotBeCaptured) {
  StreamConfiguration c;
  c.width = 1001;
  c.height = 3;
  c.minimumFrameInterval = CMTimeMake(1, 30);
  c.queueDepth = 6;
  const ScreenCaptureSettings good = screenCaptureSettings(c);
  EXPECT_EQ(good.bytesPerRow % 64, 0u);
  EXPECT_GE(good.bytesPerRow, 1001u * 4);
  EXPECT_EQ(good.interval, 33'333'333ns);
  EXPECT_EQ(good.poolSize, 6u);
  c.queueDepth = 0;
  EXPECT_EQ(screenCaptureSettings(c).poolSize, 1u);
  for (CMTime interval : {kCMTimeInvalid, CMTimeMake(1, 1'000'000)}) {  // none, or too fast
    c.minimumFrameInterval = interval;
    EXPECT_EQ(screenCaptureSettings(c).interval, 16'666'666ns);
  }
  for (auto [w, h, format] : {std::tuple<int64_t, int64_t, uint32_t>{0, 10, c.pixelFormat},
                              {10, -1, c.pixelFormat},
                              {20000, 10, c.pixelFormat},
                              {16, 16, 0x34323076}}) {  // '420v'
    c.width = w, c.height = h, c.pixelFormat = format;
    EXPECT_THROW(screenCaptureSettings(c), PlatformError) << w << "x" << h;
  }
}

TEST(ScreenCapture, DeliversAtTheIntervalOnTheHostClockIdleUntilTheContentChanges) {
  Harness run(20ms, 6);
  run.capture.start();
  ASSERT_TRUE(run.waitFor(5));
  const int64_t shown = run.source->shownNs = hostClockNow().value;  // grabbed later
  run.source->changeOnce = true;
  ASSERT_TRUE(run.waitFor(25));
  run.capture.stop();

  // The first frame is complete; then idle frames without pixels until the
  // change, which gives exactly one more complete frame, and idle frames cost
  // no grab.
  const auto& samples = run.samples;
  EXPECT_EQ(statusOf(*samples[0]), frameStatusComplete);
  int complete = 0;
  for (const auto& sample : samples) {
    const bool full = statusOf(*sample) == frameStatusComplete;
    complete += full;
    EXPECT_EQ(statusOf(*sample), full ? frameStatusComplete : frameStatusIdle);
    ASSERT_EQ(bool(sample->imageBuffer), full);
    if (full) {
      EXPECT_EQ(sample->imageBuffer->width, 64);
      EXPECT_EQ(sample->imageBuffer->height, 32);
    }
  }
  EXPECT_EQ(complete, 2);
  EXPECT_EQ(run.source->grabs, 2);
  // The change carries the time it was shown (1 ns after an idle sample stamped meanwhile).
  for (size_t i = 1; i < samples.size(); ++i) {
    if (statusOf(*samples[i]) == frameStatusComplete) {
      EXPECT_EQ(presentationTimeStamp(*samples[i]).value,
                std::max(shown, presentationTimeStamp(*samples[i - 1]).value + 1));
    }
  }

  // Host-clock stamps that advance by the interval, kept to absolute
  // deadlines: n frames span (n - 1) intervals.
  const double first = CMTimeGetSeconds(presentationTimeStamp(*samples.front()));
  const double last = CMTimeGetSeconds(presentationTimeStamp(*samples.back()));
  EXPECT_NEAR(first, CMTimeGetSeconds(hostClockNow()), 2.0);
  const double span = 0.020 * static_cast<double>(samples.size() - 1);
  EXPECT_GE(last - first, span - 0.020);  // the first wake-up may be late
  EXPECT_LE(last - first, span + 0.250);  // a busy machine may skip a few deadlines
  for (size_t i = 1; i < samples.size(); ++i)
    EXPECT_GT(
        CMTimeCompare(presentationTimeStamp(*samples[i]), presentationTimeStamp(*samples[i - 1])),
        0);
}

TEST(NextDeadline, ALateGrabIsFollowedAtOnceAStallGivesUpWholeIntervals) {
  using namespace std::chrono;
  const steady_clock::time_point d{seconds(100)};
  const std::pair<milliseconds, milliseconds> cases[] = {
      {5ms, 20ms},    // on time: one interval on
      {39ms, 20ms},   // past the next deadline too: at once, its frame kept
      {40ms, 40ms},   // a whole interval behind that: one frame given up
      {95ms, 80ms}};  // three given up, the next at once
  for (const auto& [late, next] : cases)
    EXPECT_EQ(nextDeadline(d, d + late, 20ms) - d, next) << late.count();
}

TEST(ScreenCapture, SkipsFramesWhileEveryBufferIsHeldTheSourcesOwnIncludedAndCatchesUpAfter) {
  Harness run(10ms, 2);
  run.source->changing = true;
  run.capture.start();
  ASSERT_TRUE(run.waitFor(2));
  // The test holds both pooled buffers: the capture delivers and grabs
  // nothing more, but keeps its pace.
  std::this_thread::sleep_for(150ms);
  const auto release = [&](bool changing, bool sharing) {
    std::lock_guard lock(run.mutex);
    EXPECT_EQ(run.samples.size(), 2u);
    run.source->changing = changing;
    run.source->sharing = sharing;
    run.samples.erase(run.samples.begin());
  };
  EXPECT_EQ(run.source->grabs, 2);
  // With one buffer back and the content still, the change seen while
  // skipping is not lost: the next frame is complete, in the returned buffer.
  release(false, false);
  ASSERT_TRUE(run.waitFor(2));
  EXPECT_EQ(statusOf(*run.samples[1]), frameStatusComplete);
  const PixelBuffer& pooled = *run.samples[1]->imageBuffer;
  EXPECT_EQ(*reinterpret_cast<const int*>(pooled.baseAddress), 2);
  EXPECT_EQ(pooled.baseAddress, pooled.storage.get());

  // The source's own frames are held to the same limit: two more are taken.
  release(true, true);
  ASSERT_TRUE(run.waitFor(3));
  std::this_thread::sleep_for(100ms);
  const auto own = run.source->given.at(0);
  {
    std::lock_guard lock(run.mutex);
    EXPECT_EQ(run.samples.size(), 3u);
    EXPECT_EQ(run.source->shared, 2);
    EXPECT_EQ(run.samples[1]->imageBuffer->baseAddress, own.lock()->data());
    EXPECT_EQ(run.samples[1]->imageBuffer->bytesPerRow, 256u);
    run.samples.clear();  // letting the sample go lets the source's frame go
  }
  EXPECT_TRUE(own.expired());
  const auto start = std::chrono::steady_clock::now();
  run.capture.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);  // never blocked on the consumer
}

TEST(ScreenCapture, ReportsAFailingSourceOnceAndEndsTheThread) {
  Harness run(5ms, 6);
  run.source->changing = true;
  run.source->failAtGrab = 3;
  run.capture.start();
  std::this_thread::sleep_for(200ms);
  {
    std::lock_guard lock(run.mutex);
    EXPECT_EQ(run.failures, std::vector<std::string>{"The window has gone."});
    EXPECT_EQ(run.samples.size(), 3u);  // frames 0..2, then nothing
  }
  EXPECT_EQ(run.source->grabs, 4);
  run.capture.stop();
}

}  // namespace capture
