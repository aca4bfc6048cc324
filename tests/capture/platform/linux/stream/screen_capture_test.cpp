#include "platform/linux/stream/screen_capture.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/clock.hpp"

using namespace platform;
using namespace platform::screen;
using namespace std::chrono_literals;

namespace {

// A frame source driven by the test: reports changes when told to, fills
// frames with a running number, fails when told to.
struct ScriptedSource : FrameSource {
  std::atomic<bool> changing{false};    // every frame changes
  std::atomic<bool> changeOnce{false};  // the next frame changes
  std::atomic<int> failAtGrab{-1};
  std::atomic<int> grabs{0};

  void grab(uint8_t* destination, size_t bytesPerRow) override {
    const int number = grabs.fetch_add(1);
    if (number == failAtGrab) throw PlatformError("The window has gone.");
    std::memset(destination, 0, bytesPerRow);
    std::memcpy(destination, &number, sizeof number);
  }
  bool contentChanged() override { return changing || changeOnce.exchange(false); }
};

struct Collector {
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<SampleBufferRef> samples;
  std::vector<std::string> failures;
  std::vector<std::chrono::steady_clock::time_point> arrivals;

  ScreenCapture::SampleHandler sampleHandler() {
    return [this](SampleBufferRef sample) {
      std::lock_guard lock(mutex);
      samples.push_back(std::move(sample));
      arrivals.push_back(std::chrono::steady_clock::now());
      arrived.notify_all();
    };
  }
  ScreenCapture::FailureHandler failureHandler() {
    return [this](const PlatformError& error) {
      std::lock_guard lock(mutex);
      failures.push_back(error.localizedDescription());
      arrived.notify_all();
    };
  }
  bool waitFor(size_t count, std::chrono::milliseconds timeout = 3000ms) {
    std::unique_lock lock(mutex);
    return arrived.wait_for(lock, timeout, [&] { return samples.size() >= count; });
  }
  size_t count() {
    std::lock_guard lock(mutex);
    return samples.size();
  }
};

int64_t statusOf(const SampleBuffer& sample) {
  return std::get<int64_t>(sample.attachments->at(0).at(kStreamFrameInfoStatus));
}

ScreenCaptureSettings settings(std::chrono::nanoseconds interval, size_t pool) {
  StreamConfiguration configuration;
  configuration.width = 64;
  configuration.height = 32;
  configuration.minimumFrameInterval = CMTimeMake(1, 60);
  configuration.queueDepth = static_cast<int64_t>(pool);
  ScreenCaptureSettings result = screenCaptureSettings(configuration);
  result.interval = interval;
  return result;
}

}  // namespace

TEST(ScreenCaptureSettings, FollowTheConfigurationAndRefuseWhatCannotBeCaptured) {
  StreamConfiguration configuration;
  configuration.width = 1001;
  configuration.height = 3;
  configuration.minimumFrameInterval = CMTimeMake(1, 30);
  configuration.queueDepth = 6;
  const ScreenCaptureSettings good = screenCaptureSettings(configuration);
  EXPECT_EQ(good.width, 1001);
  EXPECT_EQ(good.bytesPerRow % 64, 0u);
  EXPECT_GE(good.bytesPerRow, 1001u * 4);
  EXPECT_EQ(good.interval, std::chrono::nanoseconds(33'333'333));
  EXPECT_EQ(good.poolSize, 6u);

  configuration.minimumFrameInterval = kCMTimeInvalid;
  EXPECT_EQ(screenCaptureSettings(configuration).interval, std::chrono::nanoseconds(16'666'666));
  configuration.minimumFrameInterval = CMTimeMake(1, 1'000'000);  // faster than any display
  EXPECT_EQ(screenCaptureSettings(configuration).interval, std::chrono::nanoseconds(16'666'666));
  configuration.queueDepth = 0;
  EXPECT_EQ(screenCaptureSettings(configuration).poolSize, 1u);

  for (auto [w, h] : {std::pair<int64_t, int64_t>{0, 10}, {10, -1}, {20000, 10}}) {
    configuration.width = w;
    configuration.height = h;
    EXPECT_THROW(screenCaptureSettings(configuration), PlatformError) << w << "x" << h;
  }
  configuration.width = configuration.height = 16;
  configuration.pixelFormat = 0x34323076;  // '420v'
  EXPECT_THROW(screenCaptureSettings(configuration), PlatformError);
}

TEST(ScreenCapture, DeliversAtTheIntervalOnTheHostClockIdleUntilTheContentChanges) {
  auto owned = std::make_unique<ScriptedSource>();
  ScriptedSource& source = *owned;
  source.changeOnce = true;  // like the grabber: the first frame is news
  Collector collector;
  ScreenCapture capture(std::move(owned), settings(20ms, 6), collector.sampleHandler(),
                        collector.failureHandler());
  capture.start();
  ASSERT_TRUE(collector.waitFor(5));
  source.changeOnce = true;
  ASSERT_TRUE(collector.waitFor(25));
  capture.stop();

  std::lock_guard lock(collector.mutex);
  const auto& samples = collector.samples;
  // The first frame is complete (nothing has been delivered yet); then idle
  // frames without pixels until the change, which gives exactly one more
  // complete frame.
  ASSERT_TRUE(samples[0]->imageBuffer);
  EXPECT_EQ(statusOf(*samples[0]), frameStatusComplete);
  int complete = 0;
  for (const auto& sample : samples) {
    if (statusOf(*sample) == frameStatusComplete) {
      ++complete;
      ASSERT_TRUE(sample->imageBuffer);
      EXPECT_EQ(sample->imageBuffer->width, 64);
      EXPECT_EQ(sample->imageBuffer->height, 32);
    } else {
      EXPECT_EQ(statusOf(*sample), frameStatusIdle);
      EXPECT_FALSE(sample->imageBuffer);
    }
  }
  EXPECT_EQ(complete, 2);
  EXPECT_EQ(source.grabs, 2);  // idle frames cost no grab

  // Stamps are host-clock times that advance by about the interval, and the
  // pace keeps to absolute deadlines: n frames span (n - 1) intervals.
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

TEST(ScreenCapture, SkipsFramesWhileEveryBufferIsHeldAndCatchesUpAfter) {
  auto owned = std::make_unique<ScriptedSource>();
  ScriptedSource& source = *owned;
  source.changing = true;
  Collector collector;
  ScreenCapture capture(std::move(owned), settings(10ms, 2), collector.sampleHandler(),
                        collector.failureHandler());
  capture.start();
  ASSERT_TRUE(collector.waitFor(2));
  // The collector holds both buffers: the capture delivers nothing and grabs
  // nothing more, but keeps its pace.
  std::this_thread::sleep_for(150ms);
  EXPECT_EQ(collector.count(), 2u);
  EXPECT_EQ(source.grabs, 2);

  // A change seen while skipping is not lost: with one buffer back and the
  // content still, the next frame is complete.
  source.changing = false;
  {
    std::lock_guard lock(collector.mutex);
    collector.samples.erase(collector.samples.begin());
  }
  ASSERT_TRUE(collector.waitFor(3, 500ms));
  const auto start = std::chrono::steady_clock::now();
  capture.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);  // never blocked on the consumer
  std::lock_guard lock(collector.mutex);
  EXPECT_EQ(statusOf(*collector.samples[1]), frameStatusComplete);
  int number = -1;
  std::memcpy(&number, collector.samples[1]->imageBuffer->baseAddress, sizeof number);
  EXPECT_EQ(number, 2);
  EXPECT_EQ(collector.samples[1]->imageBuffer->baseAddress,
            collector.samples[1]->imageBuffer->storage.get());
}

// A source with frames of its own memory, handed out while `sharing` is on.
struct SharingSource : ScriptedSource {
  std::atomic<bool> sharing{true};
  std::atomic<int> shared{0};
  std::mutex mutex;
  std::vector<std::weak_ptr<std::vector<uint8_t>>> given;

  SharedPixels grabShared() override {
    if (!sharing) return {};
    shared.fetch_add(1);
    auto frame = std::make_shared<std::vector<uint8_t>>(256 * 32);
    std::lock_guard lock(mutex);
    given.push_back(frame);
    return {frame->data(), 256, frame};
  }
  std::weak_ptr<std::vector<uint8_t>> frame(size_t i) {
    std::lock_guard lock(mutex);
    return given.at(i);
  }
};

TEST(ScreenCapture, HandsOutTheSourcesOwnFramesWithinTheSameLimitAndFallsBackToThePool) {
  auto owned = std::make_unique<SharingSource>();
  SharingSource& source = *owned;
  source.changing = true;
  Collector collector;
  ScreenCapture capture(std::move(owned), settings(10ms, 2), collector.sampleHandler(),
                        collector.failureHandler());
  capture.start();
  ASSERT_TRUE(collector.waitFor(2));
  // Two of the source's frames held downstream: nothing more is taken.
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(collector.count(), 2u);
  EXPECT_EQ(source.shared, 2);
  EXPECT_EQ(source.grabs, 0);
  const std::weak_ptr<std::vector<uint8_t>> first = source.frame(0);
  {
    std::lock_guard lock(collector.mutex);
    const PixelBuffer& pixels = *collector.samples[0]->imageBuffer;
    EXPECT_EQ(pixels.baseAddress, first.lock()->data());
    EXPECT_EQ(pixels.bytesPerRow, 256u);
    // Letting the sample go lets the source's frame go.
    collector.samples.erase(collector.samples.begin());
    EXPECT_TRUE(first.expired());
  }
  ASSERT_TRUE(collector.waitFor(2, 500ms));  // and one more is taken

  // The source has none to give: the frame is grabbed into a pooled buffer.
  source.sharing = false;
  {
    std::lock_guard lock(collector.mutex);
    collector.samples.clear();
  }
  // (A frame taken just before may still come in first.)
  ASSERT_TRUE(collector.waitFor(2, 500ms));
  capture.stop();
  EXPECT_GE(source.grabs, 1);
  std::lock_guard lock(collector.mutex);
  EXPECT_EQ(collector.samples.back()->imageBuffer->bytesPerRow, settings(10ms, 2).bytesPerRow);
}

TEST(ScreenCapture, ReportsAFailingSourceOnceAndEndsTheThread) {
  auto owned = std::make_unique<ScriptedSource>();
  ScriptedSource& source = *owned;
  source.changing = true;
  source.failAtGrab = 3;
  Collector collector;
  ScreenCapture capture(std::move(owned), settings(5ms, 6), collector.sampleHandler(),
                        collector.failureHandler());
  capture.start();
  std::this_thread::sleep_for(200ms);
  {
    std::lock_guard lock(collector.mutex);
    EXPECT_EQ(collector.failures, std::vector<std::string>{"The window has gone."});
    // Frames 0..2 were delivered, then nothing.
    EXPECT_EQ(collector.samples.size(), 3u);
  }
  EXPECT_EQ(source.grabs, 4);
  capture.stop();
}
