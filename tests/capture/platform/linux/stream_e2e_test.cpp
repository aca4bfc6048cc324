// The capture streams on the test's sound server (its default output a null
// sink) and a virtual display of their own: tones played with paplay must come
// out of the system-audio and application-audio streams on the host clock.
// Losing either server mid-recording, and audio stamped in step with the
// frames, are checked by the program-level scenarios.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <future>
#include <mutex>
#include <numbers>
#include <thread>

#include "capture/platform/linux/x11/virtual_display.hpp"
#include "platform/clock.hpp"
#include "platform/content.hpp"
#include "platform/filter.hpp"
#include "platform/queue.hpp"
#include "platform/stream.hpp"

extern char** environ;

namespace capture {

using namespace platform;
using namespace std::chrono_literals;

namespace {

constexpr int32_t kRate = 48000;
::testing::Environment* const virtualDisplay =
    ::testing::AddGlobalTestEnvironment(new VirtualDisplay(640, 360));

// Records what a stream hands out and reports.
struct Recording : StreamOutput, StreamDelegate {
  struct Entry {
    SampleBufferRef sample;
    int64_t type;
  };
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Entry> entries;
  std::vector<std::string> failures;

  void didOutputSampleBuffer(Stream&, SampleBufferRef sample, int64_t type) override {
    std::lock_guard lock(mutex);
    entries.push_back({std::move(sample), type});
    changed.notify_all();
  }
  void didStopWithError(Stream&, const PlatformError& error) override {
    std::lock_guard lock(mutex);
    failures.push_back(error.localizedDescription());
  }
};

// Runs a stream operation and waits for its completion's error, if any.
std::optional<PlatformError> complete(const std::function<void(Completion)>& operation) {
  auto done = std::make_shared<std::promise<std::optional<PlatformError>>>();
  auto result = done->get_future();
  operation([done](std::optional<PlatformError> error) { done->set_value(std::move(error)); });
  if (result.wait_for(10s) != std::future_status::ready) throw std::runtime_error("no completion");
  return result.get();
}

// A child process with its output discarded; killed and reaped when let go.
struct Child {
  pid_t pid = -1;
  explicit Child(std::vector<std::string> arguments) {
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd : {1, 2}) posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_WRONLY, 0);
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Child() {
    if (pid > 0) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
  }
  // Waits up to 15 s for the child to end by itself.
  bool wait() {
    for (int i = 0; i < 1500 && pid > 0; ++i, std::this_thread::sleep_for(10ms))
      if (waitpid(pid, nullptr, WNOHANG) == pid) pid = -1;
    return pid < 0;
  }
};

std::string output(const std::string& command) {
  std::string text;
  char buffer[4096];
  std::FILE* pipe = popen(command.c_str(), "r");
  while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) text.append(buffer, n);
  pclose(pipe);
  return text;
}

const std::filesystem::path tones =
    std::filesystem::temp_directory_path() / ("orvik-stream-" + std::to_string(getpid()));

// A stereo sine of amplitude 0.5, as a file removed with the suite.
std::string tone(int frequency, int seconds) {
  std::filesystem::create_directories(tones);
  const auto file = tones / (std::to_string(frequency) + "-" + std::to_string(seconds) + ".wav");
  output("sox -q -n -r 48000 -c 2 -b 16 '" + file.string() + "' synth " + std::to_string(seconds) +
         " sine " + std::to_string(frequency) + " vol 0.5");
  return file.string();
}

// Goertzel: the amplitude of `frequency` in samples[begin, end).
double amplitudeAt(const std::vector<float>& samples, size_t begin, size_t end, double frequency) {
  if (end <= begin || end > samples.size()) return 0;
  const double coefficient = 2 * std::cos(2 * std::numbers::pi * frequency / kRate);
  double s1 = 0, s2 = 0;
  for (size_t i = begin; i < end; ++i) s2 = std::exchange(s1, samples[i] + coefficient * s1 - s2);
  const double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
  return 2 * std::sqrt(std::max(power, 0.0)) / static_cast<double>(end - begin);
}

// Audio buffers checked for following each other without gaps, laid out as
// one mono timeline from host-clock frame `first` on.
struct Timeline {
  int64_t first = 0;
  std::vector<float> mono;

  explicit Timeline(const std::vector<Recording::Entry>& entries) {
    std::optional<int64_t> next;
    for (const auto& [sample, type] : entries) {
      if (type != streamOutputTypeAudio) continue;
      const CMTime pts = presentationTimeStamp(*sample);
      EXPECT_EQ(pts.timescale, kRate);
      EXPECT_EQ(pts.value, next.value_or(pts.value)) << "buffers are not contiguous";
      if (!next) first = pts.value;
      next = pts.value + sample->numSamples;
      const auto& samples = sample->audioBuffer->samples;
      for (size_t i = 0; i + 1 < samples.size(); i += 2)
        mono.push_back(0.5f * (samples[i] + samples[i + 1]));
    }
  }
  size_t at(double seconds) const {
    return static_cast<size_t>(std::clamp<int64_t>(std::llround(seconds * kRate) - first, 0,
                                                   static_cast<int64_t>(mono.size())));
  }
  double seconds(size_t index) const { return static_cast<double>(first + index) / kRate; }
  // The first and last index from `from` on louder than a twentieth.
  std::pair<size_t, size_t> loud(size_t from = 0) const {
    size_t begin = SIZE_MAX, end = 0;
    for (size_t i = from; i < mono.size(); ++i)
      if (std::fabs(mono[i]) > 0.05f) begin = std::min(begin, i), end = i;
    return {begin, end};
  }
};

Display anyDisplay() { return getShareableContent().displays.at(0); }

StreamConfiguration configuration() {
  StreamConfiguration c;
  c.width = 640;
  c.height = 360;
  c.showsCursor = false;
  c.capturesAudio = true;
  c.sampleRate = kRate;
  c.channelCount = 2;
  return c;
}

struct Capture {
  Recording recording;
  SerialQueue queue{"orvik.capture.test"};
  StreamRef stream;

  Capture(ContentFilterRef filter, std::vector<int64_t> types) {
    stream = makeStream(std::move(filter), configuration(), &recording);
    for (int64_t type : types) stream->addStreamOutput(recording, type, queue);
    const auto error = complete([&](Completion done) { stream->startCapture(std::move(done)); });
    if (error) throw *error;
  }
  std::vector<Recording::Entry> stop() {
    EXPECT_FALSE(complete([&](Completion done) { stream->stopCapture(std::move(done)); }));
    queue.sync([] {});  // every delivery made so far has run
    std::lock_guard lock(recording.mutex);
    EXPECT_TRUE(recording.failures.empty());
    return recording.entries;
  }
};

class AudioStream : public ::testing::Test {
 protected:
  static void TearDownTestSuite() { std::filesystem::remove_all(tones); }
  void SetUp() override {
    if (!std::getenv("PULSE_SERVER")) GTEST_SKIP() << "no sound server (PULSE_SERVER unset)";
  }
};

// An output renders ahead of what it plays, and a monitor attached at the
// start only receives what is rendered after it: audio already playing must
// still be there from the first screen frame on, and never come before it.
TEST_F(AudioStream, SystemAudioAlreadyPlayingIsThereFromTheFirstScreenFrameOn) {
  Child before({"paplay", tone(1000, 3)});
  std::this_thread::sleep_for(500ms);
  Capture capture(makeDisplayFilter(anyDisplay(), {}, {}),
                  {streamOutputTypeScreen, streamOutputTypeAudio});
  std::this_thread::sleep_for(700ms);
  const auto entries = capture.stop();

  ASSERT_FALSE(entries.empty());
  ASSERT_EQ(entries.front().type, streamOutputTypeScreen) << "audio came before the first frame";
  const Timeline t(entries);
  const double firstFrame = CMTimeGetSeconds(presentationTimeStamp(*entries.front().sample));
  ASSERT_LE(t.seconds(0), firstFrame) << "no audio for the first frame's moment";
  const size_t at = t.at(firstFrame);
  EXPECT_GT(amplitudeAt(t.mono, at, at + kRate / 50, 1000), 0.3);  // its first 20 ms
  EXPECT_GT(amplitudeAt(t.mono, at, at + kRate / 2, 1000), 0.3);
}

// A child of the chosen process starts playing once the capture runs, and its
// playback stream is moved to another output halfway.
TEST_F(AudioStream, ApplicationAudioTakesLateStreamsOfTheTreeAndFollowsThemToAnotherOutput) {
  const std::string sink = "orvik_e2e_other_" + std::to_string(getpid());
  const int module =
      std::atoi(output("pactl load-module module-null-sink sink_name=" + sink).c_str());
  ASSERT_GT(module, 0);
  Child chosen({"sh", "-c", "sleep 0.5; paplay '" + tone(440, 4) + "'; true"});
  RunningApplication application;
  application.processID = chosen.pid;
  const double began = CMTimeGetSeconds(hostClockNow());
  Capture capture(makeDisplayFilterIncluding(anyDisplay(), {application}, {}),
                  {streamOutputTypeAudio});
  {
    std::unique_lock lock(capture.recording.mutex);
    ASSERT_TRUE(capture.recording.changed.wait_for(lock, 10s, [&] {
      return Timeline(capture.recording.entries).loud().first < SIZE_MAX;
    })) << "the tone never arrived";
  }
  std::this_thread::sleep_for(700ms);
  const int player = std::atoi(output("pgrep -P " + std::to_string(chosen.pid)).c_str());
  const int input =
      std::atoi(output("pactl list sink-inputs | awk '/^Sink Input #/ { n = substr($3, 2) } "
                       "/application.process.id = \"" +
                       std::to_string(player) + "\"/ { print n }'")
                    .c_str());
  ASSERT_GT(input, 0) << "paplay's playback stream is not there";
  const double moved = CMTimeGetSeconds(hostClockNow());
  output("pactl move-sink-input " + std::to_string(input) + " " + sink);
  ASSERT_TRUE(chosen.wait());
  std::this_thread::sleep_for(500ms);
  const Timeline t(capture.stop());
  output("pactl unload-module " + std::to_string(module));

  // Before the move and again after it (what the new output rendered ahead
  // before the monitor was back there is out of reach).
  const auto [first, last] = t.loud();
  EXPECT_GT(t.seconds(first), began + 0.4);  // it joined mid-capture
  const size_t move = t.at(moved);
  ASSERT_GT(move, first + kRate / 10) << "the move came before the tone";
  EXPECT_GT(amplitudeAt(t.mono, first, move, 440), 0.3);
  EXPECT_GT(amplitudeAt(t.mono, move + kRate / 2, last, 440), 0.1);
  EXPECT_GT(t.seconds(last), moved + 1.0);
}

TEST_F(AudioStream, RefusesMisuseAndAnUnreachableSoundServer) {
  Recording recording;
  SerialQueue queue("orvik.capture.test");
  StreamConfiguration c = configuration();
  c.width = 0;  // a 0-pixel-wide frame cannot be captured
  const auto narrow = makeStream(makeDisplayFilter(anyDisplay(), {}, {}), c, nullptr);
  EXPECT_THROW(narrow->addStreamOutput(recording, 7, queue), PlatformError);
  narrow->addStreamOutput(recording, streamOutputTypeScreen, queue);
  EXPECT_THROW(narrow->addStreamOutput(recording, streamOutputTypeScreen, queue), PlatformError);
  EXPECT_TRUE(complete([&](Completion done) { narrow->startCapture(std::move(done)); }));
  EXPECT_TRUE(complete([&](Completion done) { narrow->stopCapture(std::move(done)); }));
  EXPECT_THROW(makeStream(nullptr, c, nullptr), PlatformError);

  const std::string saved = std::getenv("PULSE_SERVER");
  setenv("PULSE_SERVER", "unix:/nonexistent/orvik-nobody-here", 1);
  const auto stream = makeStream(makeDisplayFilter(anyDisplay(), {}, {}), configuration(), nullptr);
  stream->addStreamOutput(recording, streamOutputTypeAudio, queue);
  const auto error = complete([&](Completion done) { stream->startCapture(std::move(done)); });
  setenv("PULSE_SERVER", saved.c_str(), 1);
  ASSERT_TRUE(error);
  EXPECT_NE(error->localizedDescription().find("sound server"), std::string::npos);
}

}  // namespace

}  // namespace capture
