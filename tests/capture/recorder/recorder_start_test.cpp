// Set-up of a recording: what the streams and writers are asked for, how
// audio is routed, and failures that end the start.
#include <gmock/gmock.h>

#include <filesystem>
#include <fstream>

#include "platform/error.hpp"
#include "recorder_fixture.hpp"

namespace recorder_test {
namespace {

using ::testing::ElementsAre;
using platform::PlatformError;

platform::RunningApplication app(int32_t pid, const std::string& bundle) {
  return {pid, bundle, bundle};
}

TEST_F(RecorderTest, AVideoOnlyRecordingConfiguresOneStreamAndOneWriter) {
  fake::state().content = oneDisplay(1501, 1001);
  fake::state().wallNow = 1234.5;
  Options options = job();
  options.audioApps = std::vector<std::string>{"org.example.player"};  // ignored without audio
  start(options);

  ASSERT_EQ(fake::state().streams.size(), 1u);
  EXPECT_EQ(fake::state().contentQueryArguments, (std::vector<std::pair<bool, bool>>{{false, true}}));
  const auto& c = mainStream().configuration;
  EXPECT_EQ(c.width, 1500);
  EXPECT_EQ(c.height, 1000);
  EXPECT_EQ(c.minimumFrameInterval, CMTimeMake(1, 30));
  EXPECT_FALSE(c.sourceRect);
  EXPECT_FALSE(c.showsCursor);
  EXPECT_EQ(c.pixelFormat, platform::kPixelFormatBGRA);
  EXPECT_EQ(c.queueDepth, 6);
  EXPECT_FALSE(c.capturesAudio);
  EXPECT_EQ(c.sampleRate, 48000);
  EXPECT_EQ(c.channelCount, 2);
  EXPECT_TRUE(c.excludesCurrentProcessAudio);
  ASSERT_EQ(mainStream().outputs.size(), 1u);
  EXPECT_EQ(mainStream().outputs[0].type, platform::streamOutputTypeScreen);
  EXPECT_EQ(mainStream().outputs[0].queue->label(), "orvik.capture");
  EXPECT_EQ(mainStream().delegate, recorder.get());
  EXPECT_TRUE(mainStream().started);

  ASSERT_EQ(fake::state().writers.size(), 1u);
  EXPECT_EQ(movie().path, "/nonexistent-dir/movie.mov");
  EXPECT_EQ(movie().fileType, platform::FileType::quickTimeMovie);
  EXPECT_EQ(movie().fragmentInterval.value, 1200);
  EXPECT_EQ(movie().fragmentInterval.timescale, 600);
  EXPECT_EQ(movie().startWritingCalls, 0);
  ASSERT_EQ(movie().inputs.size(), 1u);
  EXPECT_EQ(movie().inputs[0].get(), &videoInput());
  EXPECT_TRUE(videoInput().expectsRealTime);
  const auto& v = std::get<platform::VideoSettings>(videoInput().settings);
  EXPECT_EQ(v.codec, platform::kVideoCodecTypeH264);
  EXPECT_EQ(v.width, 1500);
  EXPECT_EQ(v.height, 1000);
  EXPECT_EQ(v.averageBitRate, 6000000);
  EXPECT_EQ(v.expectedSourceFrameRate, 30);

  EXPECT_THAT(events.names(), ElementsAre("started"));
  EXPECT_EQ(events.last("started"),
            Event({{"event", "started"}, {"width", 1500}, {"height", 1000}, {"time", 1234.5}}));
}

TEST_F(RecorderTest, FrameRateCursorAreaAndMaxWidthReachTheConfigurationAndSettings) {
  fake::state().content = oneDisplay(3024, 1964);
  Options options = job();
  options.fps = 120;
  options.showsCursor = true;
  options.maxWidth = 1920;
  options.area = std::vector<double>{0, 0, 1, 1};
  start(options);

  const auto& c = mainStream().configuration;
  EXPECT_EQ(c.minimumFrameInterval, CMTimeMake(1, 60));
  EXPECT_TRUE(c.showsCursor);
  EXPECT_EQ(c.sourceRect, (platform::Rect{0, 0, 3024, 1964}));
  EXPECT_EQ(c.width, 1920);
  EXPECT_EQ(c.height, 1246);
  const auto& v = std::get<platform::VideoSettings>(videoInput().settings);
  EXPECT_EQ(v.expectedSourceFrameRate, 120);
  EXPECT_EQ(v.averageBitRate, 4 * 1920 * 1246);
  EXPECT_EQ(events.last("started")["width"], 1920);
  EXPECT_EQ(events.last("started")["height"], 1246);
}

TEST_F(RecorderTest, SystemAudioGoesThroughTheMainStreamIntoAnM4AFile) {
  Options options = job();
  options.systemAudio = "/nonexistent-dir/audio.m4a";
  options.audioApps = std::vector<std::string>{};
  start(options);

  EXPECT_EQ(fake::state().contentQueries, 1);
  ASSERT_EQ(fake::state().streams.size(), 1u);
  EXPECT_TRUE(mainStream().configuration.capturesAudio);
  ASSERT_EQ(mainStream().outputs.size(), 2u);
  EXPECT_EQ(mainStream().outputs[1].type, platform::streamOutputTypeAudio);
  ASSERT_EQ(fake::state().writers.size(), 2u);
  EXPECT_EQ(audioFile().path, "/nonexistent-dir/audio.m4a");
  EXPECT_EQ(audioFile().fileType, platform::FileType::appleM4A);
  EXPECT_EQ(audioFile().fragmentInterval, CMTimeMake(2, 1));
  EXPECT_TRUE(audioInput().expectsRealTime);
  EXPECT_EQ(audioFile().inputs.at(0).get(), &audioInput());
  const auto& a = std::get<platform::AudioSettings>(audioInput().settings);
  EXPECT_EQ(a.formatID, 0x61616320u);
  EXPECT_EQ(a.sampleRate, 48000);
  EXPECT_EQ(a.numberOfChannels, 2);
  EXPECT_EQ(a.encoderBitRate, 192000);
}

TEST_F(RecorderTest, ChosenApplicationsGetASecondAudioOnlyStreamOnTheFirstDisplay) {
  auto everything = oneDisplay(800, 600);
  everything.applications = {app(10, "org.example.player"), app(11, "org.example.Player"),
                             app(12, "org.example.browser"), app(13, "org.example.player")};
  platform::Window window;
  window.windowID = 77;
  window.frame = {10, 10, 400, 300};
  window.onScreen = true;
  fake::state().content = everything;
  fake::state().content.windows = {window};
  Options options = job();
  options.window = 77;
  options.systemAudio = "/nonexistent-dir/audio.m4a";
  options.audioApps = std::vector<std::string>{"org.example.player", "org.example.gone"};
  start(options);

  EXPECT_EQ(fake::state().contentQueryArguments,
            (std::vector<std::pair<bool, bool>>{{false, true}, {false, false}}));
  ASSERT_EQ(fake::state().streams.size(), 2u);
  EXPECT_FALSE(mainStream().configuration.capturesAudio);
  ASSERT_EQ(mainStream().outputs.size(), 1u);
  auto& second = *fake::state().streams[1];
  EXPECT_TRUE(second.started);
  const auto& c = second.configuration;
  EXPECT_EQ(c.width, 2);
  EXPECT_EQ(c.height, 2);
  EXPECT_EQ(c.minimumFrameInterval, CMTimeMake(1, 1));
  EXPECT_TRUE(c.capturesAudio);
  EXPECT_TRUE(c.excludesCurrentProcessAudio);
  ASSERT_EQ(second.outputs.size(), 1u);
  EXPECT_EQ(second.outputs[0].type, platform::streamOutputTypeAudio);
  EXPECT_EQ(second.filter->kind, platform::ContentFilter::Kind::displayIncludingApplications);
  EXPECT_EQ(second.filter->display.displayID, 1u);
  EXPECT_EQ(second.filter->applications,
            (std::vector<platform::RunningApplication>{app(10, "org.example.player"),
                                                       app(13, "org.example.player")}));
  EXPECT_TRUE(second.filter->exceptingWindows.empty());

  // Audio of that stream is recorded; stop stops both streams.
  frame(1.0);
  audio(1.5, &second);
  clockReads(2.0);
  recorder->stop();
  EXPECT_THAT(writtenTimes(audioInput()), ElementsAre(1.5));
  EXPECT_TRUE(mainStream().stopped);
  EXPECT_TRUE(second.stopped);
}

TEST_F(RecorderTest, EarlierFilesAreRemovedBeforeTheWritersAreMade) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("orvik-recorder-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const auto moviePath = dir / "movie.mov";
  const auto audioPath = dir / "audio.m4a";
  std::ofstream(moviePath) << "old";
  std::ofstream(audioPath) << "old";
  Options options = job(moviePath.string());
  options.systemAudio = audioPath.string();
  start(options);
  EXPECT_FALSE(std::filesystem::exists(moviePath));
  EXPECT_FALSE(std::filesystem::exists(audioPath));
  std::filesystem::remove_all(dir);
}

TEST_F(RecorderTest, PlatformRefusalsAreThrownFromStart) {
  const auto refusedStart = [&](auto&& script) {
    fake::reset();
    fake::state().content = oneDisplay(1920, 1080);
    script();
    Recorder r(job(), events);
    try {
      r.start();
    } catch (const PlatformError& error) {
      return error.localizedDescription();
    }
    return std::string("started");
  };
  EXPECT_EQ(refusedStart([] { fake::state().contentError = "No display."; }), "No display.");
  EXPECT_EQ(refusedStart([] { fake::state().writerError = "Cannot create."; }), "Cannot create.");

  EXPECT_EQ(refusedStart([] {
              fake::state().refuseSettings =
                  [](const platform::OutputSettings&) -> std::optional<std::string> {
                return "Settings refused.";
              };
            }),
            "Settings refused.");
  EXPECT_EQ(refusedStart([] { fake::state().content = oneDisplay(4000000000LL, 4000000000LL); }),
            "The output size 4000000000 x 4000000000 is too large to encode.");
  EXPECT_THAT(events.names(), ElementsAre());
}

TEST_F(RecorderTest, StreamFailuresAreThrownFromStartWithoutAnnouncement) {
  const auto failingStream = [&](std::function<void(fake::FakeStream&, size_t)> script,
                                 std::optional<std::string> secondFetchError = std::nullopt) {
    fake::reset();
    auto content = oneDisplay(1920, 1080);
    content.applications = {app(5, "org.example.player")};
    fake::state().content = content;
    fake::state().nextContentErrors = {std::nullopt, secondFetchError};
    fake::state().prepareStream = [script](fake::FakeStream& s) {
      std::lock_guard lock(fake::stateMutex());
      script(s, fake::state().streams.size() - 1);
    };
    Options options = job();
    options.systemAudio = "/nonexistent-dir/audio.m4a";
    options.audioApps = std::vector<std::string>{"org.example.player"};
    Recorder r(options, events);
    try {
      r.start();
    } catch (const PlatformError& error) {
      return error.localizedDescription();
    }
    return std::string("started");
  };
  EXPECT_EQ(failingStream([](fake::FakeStream& s, size_t i) {
              if (i == 0) s.addOutputError = "No screen output.";
            }),
            "No screen output.");
  EXPECT_EQ(failingStream([](fake::FakeStream& s, size_t i) {
              if (i == 1) s.addOutputError = "No audio output.";
            }),
            "No audio output.");
  EXPECT_EQ(failingStream([](fake::FakeStream& s, size_t i) {
              if (i == 0) s.startError = "Capture refused.";
            }),
            "Capture refused.");
  // The main capture has started when the application audio fails; it is left as it is.
  EXPECT_EQ(failingStream([](fake::FakeStream& s, size_t i) {
              if (i == 1) s.startError = "Audio capture refused.";
            }),
            "Audio capture refused.");
  EXPECT_TRUE(fake::state().streams.at(0)->started);
  EXPECT_EQ(failingStream([](fake::FakeStream&, size_t) {}, "No application list."),
            "No application list.");
  EXPECT_EQ(fake::state().streams.size(), 1u);
  EXPECT_FALSE(fake::state().streams.at(0)->started);
  EXPECT_THAT(events.names(), ElementsAre());
}

}  // namespace
}  // namespace recorder_test
