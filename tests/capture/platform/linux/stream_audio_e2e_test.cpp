// The audio of the capture streams on the test's PulseAudio server (its
// default output a null sink): known tones played with paplay must come out
// of the system-audio and application-audio streams, on the host clock.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "linux/stream_e2e_support.hpp"
#include "platform/content.hpp"
#include "platform/filter.hpp"
#include "platform/queue.hpp"

using namespace platform;
using namespace std::chrono_literals;

namespace {

constexpr int32_t kRate = 48000;

class AudioStreamTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    directory_ =
        std::filesystem::temp_directory_path() / ("orvik-audio-e2e-" + std::to_string(getpid()));
    std::filesystem::create_directories(directory_);
    tone(440, 1, "440-1s");
    tone(440, 2, "440-2s");
    tone(440, 4, "440-4s");
    tone(1000, 6, "1000-6s");
  }
  static void TearDownTestSuite() { std::filesystem::remove_all(directory_); }

  void SetUp() override {
    if (!std::getenv("PULSE_SERVER")) GTEST_SKIP() << "no sound server (PULSE_SERVER unset)";
  }

  static void tone(int frequency, int seconds, const std::string& name) {
    const std::string command = "sox -q -n -r 48000 -c 2 -b 16 '" + file(name) + "' synth " +
                                std::to_string(seconds) + " sine " + std::to_string(frequency) +
                                " vol 0.5";
    ASSERT_EQ(e2e::run(command), 0) << command;
  }
  static std::string file(const std::string& name) {
    return (directory_ / (name + ".wav")).string();
  }

  static StreamConfiguration configuration(bool applicationStream) {
    StreamConfiguration c;
    c.width = applicationStream ? 2 : 640;
    c.height = applicationStream ? 2 : 360;
    c.minimumFrameInterval = applicationStream ? CMTimeMake(1, 1) : CMTimeMake(1, 30);
    c.queueDepth = 6;
    c.capturesAudio = true;
    c.sampleRate = kRate;
    c.channelCount = 2;
    c.excludesCurrentProcessAudio = true;
    return c;
  }

  static Display anyDisplay() {
    Display display;
    display.displayID = 1;
    display.width = 640;
    display.height = 360;
    return display;
  }

  // Checks the buffers' shape and that they follow each other without gaps,
  // and lays them out as one mono timeline.
  static e2e::Timeline timeline(const std::vector<e2e::Recording::Entry>& entries) {
    e2e::Timeline result;
    std::optional<int64_t> next;
    for (const auto& entry : entries) {
      EXPECT_EQ(entry.type, streamOutputTypeAudio);
      const SampleBuffer& sample = *entry.sample;
      EXPECT_TRUE(sample.isValid);
      EXPECT_EQ(sample.timing.size(), 1u);
      EXPECT_TRUE(sample.timing[0].duration == CMTimeMake(1, kRate));
      const CMTime pts = sample.timing[0].presentationTimeStamp;
      EXPECT_EQ(pts.timescale, kRate);
      EXPECT_TRUE(sample.audioBuffer);
      if (!sample.audioBuffer) continue;
      EXPECT_EQ(sample.audioBuffer->channelCount, 2);
      EXPECT_EQ(sample.audioBuffer->sampleRate, kRate);
      EXPECT_EQ(static_cast<int64_t>(sample.audioBuffer->samples.size()), sample.numSamples * 2);
      if (next) {
        EXPECT_EQ(pts.value, *next) << "buffers are not contiguous";
      } else {
        result.firstFrame = pts.value;
      }
      next = pts.value + sample.numSamples;
      const auto& samples = sample.audioBuffer->samples;
      for (size_t i = 0; i + 1 < samples.size(); i += 2)
        result.mono.push_back(0.5f * (samples[i] + samples[i + 1]));
    }
    return result;
  }

  // The first and last frame (as indexes into the timeline) louder than `level`.
  static std::optional<std::pair<size_t, size_t>> loudSpan(const e2e::Timeline& t, float level) {
    std::optional<size_t> first, last;
    for (size_t i = 0; i < t.mono.size(); ++i)
      if (std::fabs(t.mono[i]) > level) {
        if (!first) first = i;
        last = i;
      }
    if (!first) return std::nullopt;
    return std::make_pair(*first, *last);
  }

  static double seconds(const e2e::Timeline& t, size_t index) {
    return static_cast<double>(t.firstFrame + static_cast<int64_t>(index)) / kRate;
  }

  struct Capture {
    StreamRef stream;
    e2e::Recording recording;
    SerialQueue queue{"orvik.capture.test"};
  };

  static void start(Capture& capture, ContentFilterRef filter, bool applicationStream) {
    capture.stream =
        makeStream(std::move(filter), configuration(applicationStream), &capture.recording);
    capture.stream->addStreamOutput(capture.recording, streamOutputTypeAudio, capture.queue);
    const auto started =
        e2e::complete([&](Completion done) { capture.stream->startCapture(std::move(done)); });
    ASSERT_TRUE(started);
    ASSERT_FALSE(*started) << (*started)->localizedDescription();
  }

  static void stop(Capture& capture) {
    const auto stopped =
        e2e::complete([&](Completion done) { capture.stream->stopCapture(std::move(done)); });
    ASSERT_TRUE(stopped);
    EXPECT_FALSE(*stopped);
    capture.queue.sync([] {});  // every delivery made so far has run
  }

  // The index of a playback stream of `pid` on the server, if any.
  static std::optional<int> sinkInputOf(pid_t pid) {
    std::FILE* pipe = popen("pactl list sink-inputs 2>/dev/null", "r");
    if (!pipe) return std::nullopt;
    std::string text;
    char buffer[4096];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) text.append(buffer, n);
    pclose(pipe);
    std::optional<int> current;
    std::istringstream lines(text);
    std::string line;
    const std::string header = "Sink Input #";
    const std::string process = "application.process.id = \"" + std::to_string(pid) + "\"";
    while (std::getline(lines, line)) {
      if (line.rfind(header, 0) == 0)
        current = std::atoi(line.c_str() + header.size());
      else if (current && line.find(process) != std::string::npos)
        return current;
    }
    return std::nullopt;
  }

  static inline std::filesystem::path directory_;
};

TEST_F(AudioStreamTest, SystemAudioCarriesWhatPlaysStampedOnTheHostClock) {
  Capture capture;
  start(capture, makeDisplayFilter(anyDisplay(), {}, {}), false);
  std::this_thread::sleep_for(300ms);
  const double launched = CMTimeGetSeconds(hostClockNow());
  {
    e2e::Child player({"paplay", file("440-1s")});
    ASSERT_TRUE(player.wait(10s));
  }
  const double finished = CMTimeGetSeconds(hostClockNow());
  std::this_thread::sleep_for(500ms);  // the mix is handed out a little behind the present
  stop(capture);

  const auto entries = capture.recording.snapshot();
  EXPECT_TRUE(capture.recording.failures.empty());
  const e2e::Timeline t = timeline(entries);
  const auto span = loudSpan(t, 0.05f);
  ASSERT_TRUE(span) << "the tone never arrived";
  const auto [first, last] = *span;

  // The tone is stamped while paplay ran, and lasts its one second on the
  // host clock.
  EXPECT_GE(seconds(t, first), launched - 0.02);
  EXPECT_LE(seconds(t, last), finished + 0.02);
  EXPECT_NEAR(seconds(t, last) - seconds(t, first), 1.0, 0.06);
  // Every buffer is handed out a bounded time after the audio it holds (no
  // drift between the stamps and the host clock over the capture).
  for (const auto& entry : entries) {
    const double end = CMTimeGetSeconds(presentationTimeStamp(*entry.sample)) +
                       static_cast<double>(entry.sample->numSamples) / kRate;
    const double lag = CMTimeGetSeconds(entry.arrival) - end;
    EXPECT_GT(lag, -0.005);
    EXPECT_LT(lag, 0.6);
  }
  EXPECT_GT(e2e::amplitudeAt(t.mono, first, last, 440, kRate), 0.3);
  EXPECT_LT(e2e::amplitudeAt(t.mono, first, last, 1000, kRate), 0.02);
}

// An output renders ahead of what it plays; a monitor attached at the start
// only receives what is rendered after it. Audio already playing must still be
// there from the first screen frame on, and never reach the queue before it.
TEST_F(AudioStreamTest, AudioAlreadyPlayingIsThereFromTheFirstScreenFrameOn) {
  e2e::Child player({"paplay", file("1000-6s")});  // large buffers: the output renders far ahead
  std::this_thread::sleep_for(500ms);

  Capture capture;
  const ShareableContent content = getShareableContent(false, true);
  ASSERT_FALSE(content.displays.empty());
  StreamConfiguration c = configuration(false);
  c.showsCursor = false;
  capture.stream =
      makeStream(makeDisplayFilter(content.displays.front(), {}, {}), c, &capture.recording);
  capture.stream->addStreamOutput(capture.recording, streamOutputTypeScreen, capture.queue);
  capture.stream->addStreamOutput(capture.recording, streamOutputTypeAudio, capture.queue);
  const auto started =
      e2e::complete([&](Completion done) { capture.stream->startCapture(std::move(done)); });
  ASSERT_TRUE(started);
  ASSERT_FALSE(*started) << (*started)->localizedDescription();
  std::this_thread::sleep_for(700ms);
  stop(capture);

  EXPECT_TRUE(capture.recording.failures.empty());
  const auto entries = capture.recording.snapshot();
  ASSERT_FALSE(entries.empty());
  ASSERT_EQ(entries.front().type, streamOutputTypeScreen) << "audio came before the first frame";
  const auto firstFrame = static_cast<int64_t>(
      std::floor(CMTimeGetSeconds(presentationTimeStamp(*entries.front().sample)) * kRate));
  std::vector<e2e::Recording::Entry> audio;
  for (const auto& entry : entries)
    if (entry.type == streamOutputTypeAudio) audio.push_back(entry);
  const e2e::Timeline t = timeline(audio);
  ASSERT_LE(t.firstFrame, firstFrame) << "no audio for the first frame's moment";
  const auto at = static_cast<size_t>(firstFrame - t.firstFrame);
  ASSERT_GT(t.mono.size(), at + kRate / 2);
  // The tone, from the first frame's moment on: its first 20 ms and after.
  EXPECT_GT(e2e::amplitudeAt(t.mono, at, at + kRate / 50, 1000, kRate), 0.3);
  EXPECT_GT(e2e::amplitudeAt(t.mono, at, at + kRate / 2, 1000, kRate), 0.3);
}

TEST_F(AudioStreamTest, ApplicationAudioHoldsOnlyTheChosenProcessTreeAndItsLateStreams) {
  // Another application plays 1 kHz all along; the chosen one is a shell
  // whose child starts playing 440 Hz a second after the capture began.
  e2e::Child other({"paplay", file("1000-6s")});
  e2e::Child chosen({"sh", "-c", "sleep 1; paplay '" + file("440-2s") + "'; true"});
  ASSERT_GT(chosen.pid(), 0);
  RunningApplication application;
  application.processID = chosen.pid();
  application.bundleIdentifier = "org.example.chosen";

  Capture capture;
  const double began = CMTimeGetSeconds(hostClockNow());
  start(capture, makeDisplayFilterIncluding(anyDisplay(), {application}, {}), true);
  ASSERT_TRUE(chosen.wait(15s));
  std::this_thread::sleep_for(500ms);
  stop(capture);

  EXPECT_TRUE(capture.recording.failures.empty());
  const e2e::Timeline t = timeline(capture.recording.snapshot());
  ASSERT_GT(t.mono.size(), static_cast<size_t>(kRate * 3));
  const auto span = loudSpan(t, 0.05f);
  ASSERT_TRUE(span) << "the chosen application's tone never arrived";
  const auto [first, last] = *span;
  EXPECT_GT(seconds(t, first), began + 0.5);  // it joined mid-capture
  EXPECT_NEAR(seconds(t, last) - seconds(t, first), 2.0, 0.08);
  EXPECT_GT(e2e::amplitudeAt(t.mono, first, last, 440, kRate), 0.3);
  // The other application is nowhere: not while the chosen one plays, nor
  // before (all that is there is silence).
  EXPECT_LT(e2e::amplitudeAt(t.mono, first, last, 1000, kRate), 0.01);
  EXPECT_LT(e2e::amplitudeAt(t.mono, 0, first, 1000, kRate), 0.01);
}

TEST_F(AudioStreamTest, ApplicationAudioFollowsAPlaybackStreamMovedToAnotherOutput) {
  const std::string sink = "orvik_e2e_other_" + std::to_string(getpid());
  std::FILE* pipe = popen(("pactl load-module module-null-sink sink_name=" + sink).c_str(), "r");
  ASSERT_TRUE(pipe);
  int module = -1;
  ASSERT_EQ(std::fscanf(pipe, "%d", &module), 1);
  pclose(pipe);

  // The player starts once the capture runs (a playback stream that is
  // already playing when a monitor attaches may have been rendered ahead,
  // out of the monitor's reach, by the output).
  e2e::Child chosen({"sh", "-c", "sleep 0.5; exec paplay '" + file("440-4s") + "'"});
  RunningApplication application;
  application.processID = chosen.pid();
  Capture capture;
  start(capture, makeDisplayFilterIncluding(anyDisplay(), {application}, {}), true);
  // Move once the tone has been heard for a while.
  const bool heard = capture.recording.waitUntil(
      [&] {
        for (const auto& entry : capture.recording.entries)
          for (float value : entry.sample->audioBuffer->samples)
            if (std::fabs(value) > 0.05f) return true;
        return false;
      },
      10s);
  ASSERT_TRUE(heard) << "the tone never arrived";
  std::this_thread::sleep_for(700ms);
  const std::optional<int> input = sinkInputOf(chosen.pid());
  ASSERT_TRUE(input) << "paplay's playback stream is not there";
  const double moved = CMTimeGetSeconds(hostClockNow());
  EXPECT_EQ(e2e::run("pactl move-sink-input " + std::to_string(*input) + " " + sink), 0);
  ASSERT_TRUE(chosen.wait(15s));
  std::this_thread::sleep_for(500ms);
  stop(capture);
  e2e::run("pactl unload-module " + std::to_string(module));

  EXPECT_TRUE(capture.recording.failures.empty());
  const e2e::Timeline t = timeline(capture.recording.snapshot());
  // The tone is there before the move and again after it: the monitor that
  // died with the move was attached to the new output. (What the new output
  // renders ahead before the monitor is back is out of reach, so the part
  // right after the move may be missing.)
  const auto span = loudSpan(t, 0.05f);
  ASSERT_TRUE(span);
  const size_t move = static_cast<size_t>(std::clamp<int64_t>(
      static_cast<int64_t>(moved * kRate) - t.firstFrame, 0, static_cast<int64_t>(t.mono.size())));
  ASSERT_GT(move, span->first + kRate / 10) << "the move came before the tone";
  EXPECT_GT(e2e::amplitudeAt(t.mono, span->first, move, 440, kRate), 0.3);
  EXPECT_GT(e2e::amplitudeAt(t.mono, move + kRate / 2, span->second, 440, kRate), 0.1);
  EXPECT_GT(seconds(t, span->second), moved + 1.0);
}

TEST_F(AudioStreamTest, AnUnreachableSoundServerFailsTheStart) {
  const std::string saved = std::getenv("PULSE_SERVER");
  setenv("PULSE_SERVER", ("unix:" + (directory_ / "nobody-here").string()).c_str(), 1);
  auto stream = makeStream(makeDisplayFilter(anyDisplay(), {}, {}), configuration(false), nullptr);
  e2e::Recording recording;
  SerialQueue queue("orvik.capture.test");
  stream->addStreamOutput(recording, streamOutputTypeAudio, queue);
  const auto started =
      e2e::complete([&](Completion done) { stream->startCapture(std::move(done)); });
  setenv("PULSE_SERVER", saved.c_str(), 1);
  ASSERT_TRUE(started);
  ASSERT_TRUE(*started);
  EXPECT_NE((*started)->localizedDescription().find("sound server"), std::string::npos);
}

}  // namespace
