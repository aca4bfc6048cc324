// Set-up of a recording: what the streams and writers are asked for, how
// audio is routed, and failures that end the start.
#include <gmock/gmock.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "platform/error.hpp"
#include "recorder_fixture.hpp"

namespace recorder_test {
namespace {

using platform::PlatformError;
using ::testing::ElementsAre;

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
  EXPECT_EQ(fake::state().contentQueryArguments,
            (std::vector<std::pair<bool, bool>>{{false, true}}));
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

// A job that cannot be recorded is refused with nothing started or
// announced; earlier files are gone before the audio applications are looked for.
TEST_F(RecorderTest, RefusedJobsReturnTheirErrorAfterRemovingEarlierFiles) {
  const auto dir = std::filesystem::temp_directory_path() / ("orvik-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  Options options = job((dir / "movie.mov").string());
  options.systemAudio = (dir / "audio.m4a").string();
  options.audioApps = std::vector<std::string>{"org.example.gone"};
  for (const auto& path : {*options.systemAudio, options.output}) std::ofstream(path) << "old";
  Recorder r(options, events);
  const auto refused = r.start();
  ASSERT_TRUE(refused);
  EXPECT_EQ(startErrorMessage(*refused), "audio-apps-not-running");
  EXPECT_FALSE(std::filesystem::exists(options.output));
  EXPECT_FALSE(std::filesystem::exists(*options.systemAudio));
  std::filesystem::remove_all(dir);

  fake::reset();
  fake::state().content = oneDisplay(1920, 1080);
  options = job();
  options.display = 2;
  const auto notFound = Recorder(options, events).start();
  ASSERT_TRUE(notFound);
  EXPECT_EQ(startErrorMessage(*notFound), "display-not-found");
  EXPECT_TRUE(fake::state().writers.empty());
  EXPECT_THAT(events.names(), ElementsAre());
}

// Failures of the platform services are thrown from start(), before "started".
TEST_F(RecorderTest, PlatformFailuresAreThrownFromStart) {
  using Script = std::function<void(fake::State&, std::vector<std::string>&)>;
  const auto failure = [&](const Script& script) {
    fake::reset();
    fake::state().content = oneDisplay(1920, 1080);
    fake::state().content.applications = {app(5, "org.example.player")};
    std::vector<std::string> streamErrors(4);  // add-output and start, per stream
    script(fake::state(), streamErrors);
    fake::state().prepareStream = [streamErrors](fake::FakeStream& s) {
      std::lock_guard lock(fake::stateMutex());
      const size_t i = 2 * (fake::state().streams.size() - 1);
      if (!streamErrors[i].empty()) s.addOutputError = streamErrors[i];
      if (!streamErrors[i + 1].empty()) s.startError = streamErrors[i + 1];
    };
    Options options = job();
    options.systemAudio = "/nonexistent-dir/audio.m4a";
    options.audioApps = std::vector<std::string>{"org.example.player"};
    try {
      Recorder(options, events).start();
    } catch (const PlatformError& error) {
      return error.localizedDescription();
    }
    return std::string("started");
  };
  const std::pair<Script, std::string> cases[] = {
      {[](fake::State& s, auto&) { s.contentError = "No display."; }, "No display."},
      {[](fake::State& s, auto&) { s.writerError = "Cannot create."; }, "Cannot create."},
      {[](fake::State& s, auto&) {
         s.refuseSettings = [](const platform::OutputSettings&) -> std::optional<std::string> {
           return "Settings refused.";
         };
       },
       "Settings refused."},
      {[](fake::State& s, auto&) { s.content.displays = oneDisplay(4e9, 4e9).displays; },
       "The output size 4000000000 x 4000000000 is too large to encode."},
      {[](fake::State& s, auto&) {
         s.nextContentErrors = {std::nullopt, "No list."};
       },
       "No list."},
      {[](fake::State&, auto& e) { e[0] = "No screen output."; }, "No screen output."},
      {[](fake::State&, auto& e) { e[1] = "Capture refused."; }, "Capture refused."},
      {[](fake::State&, auto& e) { e[2] = "No audio output."; }, "No audio output."},
      {[](fake::State&, auto& e) { e[3] = "Audio refused."; }, "Audio refused."}};
  for (const auto& [script, message] : cases) EXPECT_EQ(failure(script), message);
  EXPECT_THAT(events.names(), ElementsAre());
}

}  // namespace
}  // namespace recorder_test
