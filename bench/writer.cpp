// Encoding cost of the movie writer against the ffmpeg command-line tool on
// the same 1920x1080 BGRA frames, with the same libx264 preset and bit rate,
// measured in the same run. Reports CPU seconds per frame of each, their
// ratio, and the frame rate each reached when fed as fast as it would take
// frames.
// Usage: writer_bench [seconds-of-content]   (default 2)
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/media/writer_settings.hpp"
#include "platform/sample_buffer.hpp"
#include "platform/writer.hpp"

using namespace capture;

namespace {

constexpr int64_t kWidth = 1920;
constexpr int64_t kHeight = 1080;
constexpr int kDistinctFrames = 12;

double cpuSeconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
         usage.ru_stime.tv_usec / 1e6;
}

// Moving content: a diagonal pattern that slides and changes from frame to frame.
std::vector<std::shared_ptr<platform::PixelBuffer>> makeFrames() {
  std::vector<std::shared_ptr<platform::PixelBuffer>> frames;
  uint32_t noise = 12345;
  for (int f = 0; f < kDistinctFrames; ++f) {
    auto storage = std::make_shared<std::vector<uint8_t>>(kWidth * kHeight * 4);
    for (int64_t y = 0; y < kHeight; ++y)
      for (int64_t x = 0; x < kWidth; ++x) {
        noise = noise * 1664525u + 1013904223u;
        uint8_t* p = storage->data() + (y * kWidth + x) * 4;
        p[0] = static_cast<uint8_t>(x + 7 * f + (noise >> 28));
        p[1] = static_cast<uint8_t>(y * 2 + x / 3 - 5 * f);
        p[2] = static_cast<uint8_t>((x ^ y) + 11 * f);
        p[3] = 255;
      }
    auto pixels = std::make_shared<platform::PixelBuffer>();
    pixels->width = kWidth;
    pixels->height = kHeight;
    pixels->bytesPerRow = kWidth * 4;
    pixels->baseAddress = storage->data();
    pixels->storage = storage;
    frames.push_back(pixels);
  }
  return frames;
}

CMTime at(int index, int fps) {
  return CMTimeMake(1'000'000'000LL + index * 1'000'000'000LL / fps, 1'000'000'000);
}

struct Cost {
  double cpu;   // seconds, all threads
  double wall;  // seconds
};

double wallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// What the writer spends on `count` frames offered as fast as it takes them.
Cost runWriter(const std::vector<std::shared_ptr<platform::PixelBuffer>>& frames, int fps,
               int count, const std::string& path) {
  std::filesystem::remove(path);
  const double before = cpuSeconds(RUSAGE_SELF);
  const double start = wallSeconds();
  auto writer = platform::makeAssetWriter(path, platform::FileType::quickTimeMovie);
  const platform::VideoSettings settings{platform::kVideoCodecTypeH264, kWidth, kHeight,
                                         4 * kWidth * kHeight, fps};
  auto input = platform::makeAssetWriterInput(platform::MediaType::video, settings);
  input->setExpectsMediaDataInRealTime(true);
  writer->setMovieFragmentInterval(CMTimeMake(1200, 600));
  writer->addInput(input);
  writer->startWriting();
  writer->startSessionAtSourceTime(at(0, fps));
  for (int i = 0; i < count; ++i) {
    auto sample = std::make_shared<platform::SampleBuffer>();
    sample->timing = {{CMTimeMake(1, fps), at(i, fps), kCMTimeInvalid}};
    sample->imageBuffer = frames[i % frames.size()];
    while (!input->isReadyForMoreMediaData())
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    input->appendSampleBuffer(sample);
  }
  input->markAsFinished();
  writer->endSessionAtSourceTime(at(count, fps));
  std::atomic<bool> done{false};
  writer->finishWriting([&] { done = true; });
  while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  writer.reset();
  return {cpuSeconds(RUSAGE_SELF) - before, wallSeconds() - start};
}

// What the ffmpeg tool spends on the same frames, piped to it raw.
Cost runFfmpeg(const std::vector<std::shared_ptr<platform::PixelBuffer>>& frames, int fps,
               int count, const std::string& path) {
  std::filesystem::remove(path);
  const std::string preset = platform::kX264Preset;
  const std::string command =
      "ffmpeg -nostdin -v error -y -f rawvideo -pix_fmt bgra -s 1920x1080 -r " +
      std::to_string(fps) + " -i - -c:v libx264 -preset " + preset + " -b:v " +
      std::to_string(4 * kWidth * kHeight) +
      " -x264-params bframes=0:rc-lookahead=0:sync-lookahead=0:scenecut=0 -pix_fmt yuv420p "
      "-f mov " +
      path;
  const double before = cpuSeconds(RUSAGE_CHILDREN);
  const double start = wallSeconds();
  FILE* pipe = popen(command.c_str(), "w");
  if (!pipe) return {-1, -1};
  for (int i = 0; i < count; ++i)
    fwrite(frames[i % frames.size()]->baseAddress, 1, kWidth * kHeight * 4, pipe);
  pclose(pipe);
  return {cpuSeconds(RUSAGE_CHILDREN) - before, wallSeconds() - start};
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2;
  const auto frames = makeFrames();
  const std::string dir = std::filesystem::temp_directory_path().string();
  std::printf("%-9s %-10s %6s %15s %15s %6s %11s %11s\n", "content", "preset", "frames",
              "writer cpu s/f", "ffmpeg cpu s/f", "ratio", "writer fps", "ffmpeg fps");
  for (int fps : {30, 60}) {
    const int count = seconds * fps;
    const Cost writer = runWriter(frames, fps, count, dir + "/orvik-bench-writer.mov");
    const Cost ffmpeg = runFfmpeg(frames, fps, count, dir + "/orvik-bench-ffmpeg.mov");
    std::printf("1080p%-4d %-10s %6d %15.5f %15.5f %6.2f %11.1f %11.1f\n", fps,
                platform::kX264Preset, count, writer.cpu / count, ffmpeg.cpu / count,
                writer.cpu / ffmpeg.cpu, count / writer.wall, count / ffmpeg.wall);
  }
  std::filesystem::remove(dir + "/orvik-bench-writer.mov");
  std::filesystem::remove(dir + "/orvik-bench-ffmpeg.mov");
  return 0;
}
