// CPU cost of the capture streams against peers doing the same job in the
// same run, on the display and sound server named by DISPLAY and
// PULSE_SERVER (start them with scripts/services.sh):
//  - system audio for 5 s: our stream against parec on the default monitor;
//  - a still 1920x1080 screen at 30 frames a second for 5 s: our stream
//    (idle frames, no grab) against ffmpeg's x11grab (grabs every frame).
// Prints CPU seconds spent per second captured, and what was delivered.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>

#include "platform/clock.hpp"
#include "platform/content.hpp"
#include "platform/filter.hpp"
#include "platform/queue.hpp"
#include "platform/stream.hpp"

using namespace capture;

using namespace platform;

namespace {

constexpr int kSeconds = 5;

double cpuSeconds(const rusage& usage) {
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double selfCpu() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return cpuSeconds(usage);
}

// CPU seconds of a peer command run through the shell (with `timeout`).
double peerCpu(const std::string& command) {
  const pid_t child = fork();
  if (child == 0) {
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  return cpuSeconds(usage);
}

struct Counter : StreamOutput, StreamDelegate {
  std::mutex mutex;
  int64_t samples = 0, complete = 0, idle = 0, audioFrames = 0;
  void didOutputSampleBuffer(Stream&, SampleBufferRef sample, int64_t type) override {
    std::lock_guard lock(mutex);
    ++samples;
    if (type == streamOutputTypeAudio) {
      audioFrames += sample->numSamples;
    } else if (sample->attachments && !sample->attachments->empty()) {
      const auto status =
          std::get<int64_t>(sample->attachments->front().at(kStreamFrameInfoStatus));
      (status == frameStatusComplete ? complete : idle) += 1;
    }
  }
  void didStopWithError(Stream&, const PlatformError& error) override {
    std::fprintf(stderr, "stream failed: %s\n", error.localizedDescription().c_str());
  }
};

void await(const std::function<void(Completion)>& operation) {
  auto done = std::make_shared<std::promise<void>>();
  operation([done](std::optional<PlatformError> error) {
    if (error) std::fprintf(stderr, "%s\n", error->localizedDescription().c_str());
    done->set_value();
  });
  done->get_future().wait();
}

double runOurs(const StreamConfiguration& configuration, int64_t type, Counter& counter) {
  const ShareableContent content = getShareableContent(false, true);
  if (content.displays.empty()) throw PlatformError("no display");
  SerialQueue queue("orvik.bench");
  auto stream =
      makeStream(makeDisplayFilter(content.displays.front(), {}, {}), configuration, &counter);
  stream->addStreamOutput(counter, type, queue);
  const double before = selfCpu();
  await([&](Completion done) { stream->startCapture(std::move(done)); });
  std::this_thread::sleep_for(std::chrono::seconds(kSeconds));
  await([&](Completion done) { stream->stopCapture(std::move(done)); });
  queue.sync([] {});
  return selfCpu() - before;
}

}  // namespace

int main() {
  if (!std::getenv("DISPLAY") || !std::getenv("PULSE_SERVER")) {
    std::fprintf(stderr, "needs DISPLAY and PULSE_SERVER (source scripts/services.sh)\n");
    return 2;
  }
  std::system("sox -q -n -r 48000 -c 2 /tmp/orvik-bench-tone.wav synth 30 sine 440 vol 0.3");
  const pid_t player = fork();
  if (player == 0) {
    execlp("paplay", "paplay", "/tmp/orvik-bench-tone.wav", static_cast<char*>(nullptr));
    _exit(127);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  StreamConfiguration audio;
  audio.width = audio.height = 2;
  audio.capturesAudio = true;
  Counter audioCount;
  const double ours = runOurs(audio, streamOutputTypeAudio, audioCount);
  const double parec = peerCpu("timeout " + std::to_string(kSeconds) +
                               " parec -d @DEFAULT_MONITOR@ --rate=48000 --channels=2 "
                               "--format=float32le --latency-msec=10 >/dev/null 2>&1");
  std::printf(
      "system audio, %d s: orvik %.4f CPU s/s (%lld frames in %lld buffers), parec %.4f CPU s/s\n",
      kSeconds, ours / kSeconds, static_cast<long long>(audioCount.audioFrames),
      static_cast<long long>(audioCount.samples), parec / kSeconds);

  StreamConfiguration screen;
  screen.width = 1920;
  screen.height = 1080;
  screen.minimumFrameInterval = CMTimeMake(1, 30);
  screen.showsCursor = false;
  screen.queueDepth = 6;
  Counter screenCount;
  const double oursScreen = runOurs(screen, streamOutputTypeScreen, screenCount);
  const std::string display = std::getenv("DISPLAY");
  const double ffmpeg = peerCpu(
      "ffmpeg -nostdin -loglevel quiet -f x11grab -framerate 30 "
      "-video_size 1920x1080 -t " +
      std::to_string(kSeconds) + " -i " + display + " -f null - >/dev/null 2>&1");
  std::printf(
      "still screen 1920x1080 at 30/s, %d s: orvik %.4f CPU s/s (%lld frames: %lld complete, %lld "
      "idle), ffmpeg x11grab %.4f CPU s/s\n",
      kSeconds, oursScreen / kSeconds, static_cast<long long>(screenCount.samples),
      static_cast<long long>(screenCount.complete), static_cast<long long>(screenCount.idle),
      ffmpeg / kSeconds);

  kill(player, SIGKILL);
  waitpid(player, nullptr, 0);
  std::remove("/tmp/orvik-bench-tone.wav");
  return 0;
}
