// Set-up of a recording: what the streams and writers are asked for, how
// audio is routed, and the failures that end the start.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "capture/recorder/recorder_fixture.hpp"
#include "platform/error.hpp"

namespace capture {

namespace recorder_test {
namespace {

const platform::RunningApplication kPlayer{10, "org.example.player", "player"};
using Script = std::function<void(fake::State&, Options&)>;

// A stream in one line: configuration, filter and outputs.
std::string describe(const fake::FakeStream& s) {
  const auto& c = s.configuration;
  std::ostringstream o;
  o << c.width << "x" << c.height << " every " << c.minimumFrameInterval.value << "/"
    << c.minimumFrameInterval.timescale << (c.sourceRect ? " area" : "")
    << (c.showsCursor ? " cursor" : "") << (c.pixelFormat == platform::kPixelFormatBGRA ? "" : " ?")
    << " depth " << c.queueDepth << (c.capturesAudio ? " audio " : " ") << c.sampleRate << "/"
    << c.channelCount << (c.excludesCurrentProcessAudio ? "" : " own-audio") << " filter "
    << static_cast<int>(s.filter->kind) << ":" << s.filter->display.displayID;
  for (const auto& a : s.filter->applications) o << "+" << a.processID;
  for (const auto& output : s.outputs)
    o << (output.type == platform::streamOutputTypeScreen ? " screen" : " audio")
      << (output.queue->label() == "orvik.capture" ? "" : " elsewhere");
  return o.str() + (s.started ? "\n" : " unstarted\n");
}

// A writer in one line: its file, fragment interval and what its input is told.
std::string describe(const fake::FakeWriter& w) {
  std::ostringstream o;
  o << w.path << " " << static_cast<int>(w.fileType) << " " << w.fragmentInterval.value << "/"
    << w.fragmentInterval.timescale << (w.startWritingCalls ? " begun" : "");
  for (const auto& input : w.inputs) {
    const auto& i = static_cast<const fake::FakeInput&>(*input);
    o << (i.expectsRealTime ? " live" : " offline");
    if (const auto* v = std::get_if<platform::VideoSettings>(&i.settings))
      o << " " << v->codec << " " << v->width << "x" << v->height << " " << v->averageBitRate << " "
        << v->expectedSourceFrameRate;
    if (const auto* a = std::get_if<platform::AudioSettings>(&i.settings))
      o << " " << a->formatID << " " << a->sampleRate << "/" << a->numberOfChannels << " "
        << a->encoderBitRate;
  }
  return o.str() + "\n";
}

// A job with system audio that the application's audio replaces.
void withApplicationAudio(Options& o) {
  o.systemAudio = "/nonexistent-dir/audio.m4a", o.audioApps = {{kPlayer.bundleIdentifier}};
}

// Starts a job on a 1501 x 1001 display after `script` set up the job and the
// platform. Returns what was asked for, a line for each stream and writer and
// one for the content queries (or the refusal and how many writers were
// made), then the events reported.
std::string startWith(const Script& script, std::unique_ptr<Recorder>& recorder) {
  static EventLog events;
  fake::reset();
  auto& s = fake::state();
  s.content = oneDisplay(1501, 1001);
  s.content.applications = {
      kPlayer, {11, "org.example.Player", "P"}, {13, kPlayer.bundleIdentifier, "p"}};
  s.content.windows = {{77, {10, 10, 400, 300}, 0, true, "w", kPlayer}};
  s.wallNow = 1234.5;
  Options options = job();
  script(s, options);
  std::string failure, outcome;
  const size_t seen = events.all().size();  // those of earlier starts
  try {
    recorder = std::make_unique<Recorder>(options, events);
    if (const auto refused = recorder->start()) failure = "refused: " + startErrorMessage(*refused);
  } catch (const platform::PlatformError& error) {
    failure = "thrown: " + error.localizedDescription();
  }
  if (!failure.empty()) {
    outcome = failure + ", " + std::to_string(s.writers.size()) + " writers\n";
  } else {
    for (const auto& stream : s.streams) outcome += describe(*stream);
    for (const auto& writer : s.writers) outcome += describe(*writer);
    for (const auto& [desktop, onScreen] : s.contentQueryArguments)
      outcome += std::string(desktop ? "desktop-less " : "") + (onScreen ? "on-screen " : "all ");
    outcome += "content\n";
  }
  for (size_t i = seen; i < events.all().size(); ++i) outcome += events.all()[i].dump();
  return outcome;
}

// Without audio one stream and one writer; system audio rides the main
// stream into an m4a file; chosen applications (matched exactly, all
// instances) get a second, audio-only stream on the first display. Refusals
// and failures leave nothing started or announced.
TEST(RecorderStart, StreamsWritersAndFailures) {
  std::unique_ptr<Recorder> recorder;
  const std::string movie = "/nonexistent-dir/movie.mov 0 1200/600 live avc1 ";
  const auto started = [](int width, int height) {
    return Event{{"event", "started"}, {"width", width}, {"height", height}, {"time", 1234.5}}
        .dump();
  };
  const std::string audio =
      "/nonexistent-dir/audio.m4a 1 1200/600 live 1633772320 48000/2 192000\n";
  const Script chosenApplications = [](fake::State&, Options& o) {
    o.window = 77, o.fps = 90, o.showsCursor = true, o.maxWidth = 320;
    o.systemAudio = "/nonexistent-dir/audio.m4a";
    o.audioApps = {{"org.example.player", "org.example.gone"}};
  };
  // Earlier files are gone before the applications are looked for.
  const auto dir = std::filesystem::temp_directory_path() / ("orvik-" + std::to_string(getpid()));
  const Script gone = [&dir](fake::State&, Options& o) {
    o.output = dir / "movie.mov", o.systemAudio = dir / "audio.m4a", o.audioApps = {{"x.gone"}};
    std::filesystem::create_directories(dir);
    for (const auto& path : {*o.systemAudio, o.output}) std::ofstream(path) << "old";
  };
  const std::pair<Script, std::string> cases[] = {
      {gone, "refused: audio-apps-not-running, 2 writers\n"},
      {[](fake::State&, Options& o) { o.audioApps = {{kPlayer.bundleIdentifier}}; },  // no audio
       "1500x1000 every 1/30 depth 6 48000/2 filter 0:1 screen\n" + movie +
           "1500x1000 6000000 30\non-screen content\n" + started(1500, 1000)},
      {[](fake::State&, Options& o) {
         o.systemAudio = "/nonexistent-dir/audio.m4a", o.audioApps = std::vector<std::string>{};
       },
       "1500x1000 every 1/30 depth 6 audio 48000/2 filter 0:1 screen audio\n" + movie +
           "1500x1000 6000000 30\n" + audio + "on-screen content\n" + started(1500, 1000)},
      {chosenApplications,
       "320x240 every 1/60 cursor depth 6 48000/2 filter 2:0 screen\n"
       "2x2 every 1/1 cursor depth 3 audio 48000/2 filter 1:1+10+13 audio\n" +
           movie + "320x240 6000000 90\n" + audio + "on-screen all content\n" + started(320, 240)},
      {[](fake::State&, Options& o) { o.display = 2; }, "refused: display-not-found, 0 writers\n"},
      {[](fake::State& s, Options&) { s.contentError = "Gone."; }, "thrown: Gone., 0 writers\n"},
      {[](fake::State& s, Options&) { s.writerError = "No file."; },
       "thrown: No file., 0 writers\n"},
      {[](fake::State& s, Options&) {
         s.refuseSettings = [](auto&) -> std::optional<std::string> { return "Refused."; };
       },
       "thrown: Refused., 1 writers\n"},
      {[](fake::State& s, Options&) { s.content.displays = oneDisplay(4e9, 4e9).displays; },
       "thrown: The output size 4000000000 x 4000000000 is too large to encode., 1 writers\n"},
      {[](fake::State& s, Options& o) {
         withApplicationAudio(o), s.nextContentErrors = {std::nullopt, "No list."};
       },
       "thrown: No list., 2 writers\n"},
  };
  for (const auto& [script, outcome] : cases) EXPECT_EQ(startWith(script, recorder), outcome);
  // Either stream (0: the main one, 1: the applications' audio) refusing its output or its start.
  for (const auto step : {&fake::FakeStream::addOutputError, &fake::FakeStream::startError})
    for (const size_t n : {0, 1}) {
      const auto refusing = [=](fake::State& s, Options& o) {
        withApplicationAudio(o);
        s.prepareStream = [=](auto& stream) {
          if (fake::state().streams.size() == n + 1) stream.*step = "Refused.";
        };
      };
      EXPECT_EQ(startWith(refusing, recorder), "thrown: Refused., 2 writers\n") << n;
    }
  EXPECT_TRUE(std::filesystem::is_empty(dir));
  std::filesystem::remove_all(dir);

  // The applications' audio is recorded; stop stops both streams.
  startWith(chosenApplications, recorder);
  auto& second = *fake::state().streams.at(1);
  mainStream().deliverAndWait(sampleAt(1.0, true), platform::streamOutputTypeScreen);
  second.deliverAndWait(sampleAt(1.5, false), platform::streamOutputTypeAudio);
  recorder->stop();
  EXPECT_EQ(writtenTimes(audioInput()), std::vector<double>{1.5});
  EXPECT_TRUE(mainStream().stopped && second.stopped);
}

// One file named twice (through a link, also one not yet pointing at a file,
// a dot-dot or a relative path) is refused before any earlier file is removed.
TEST(RecorderStart, SameFileForBothOutputsIsRefused) {
  namespace fs = std::filesystem;
  std::unique_ptr<Recorder> recorder;
  const auto dir = fs::temp_directory_path() / ("orvik-same-" + std::to_string(getpid()));
  const auto movie = dir / "movie.mov";
  fs::create_directories(dir / "sub");
  fs::create_symlink("movie.mov", dir / "link.m4a");
  fs::create_symlink("../new.mov", dir / "sub" / "dangling.m4a");
  const std::pair<fs::path, fs::path> cases[] = {{movie, dir / "link.m4a"},
                                                 {movie, dir / "sub" / ".." / "movie.mov"},
                                                 {fs::relative(movie), movie},
                                                 {dir / "new.mov", dir / "sub" / "dangling.m4a"}};
  for (const auto& [output, audio] : cases) {
    std::ofstream(movie) << "old";
    const Script same = [&](fake::State&, Options& o) { o.output = output, o.systemAudio = audio; };
    EXPECT_EQ(startWith(same, recorder), "refused: same-output-files, 0 writers\n") << audio;
    EXPECT_TRUE(fs::exists(movie) && fs::file_size(movie) == 3) << audio;
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace recorder_test

}  // namespace capture
