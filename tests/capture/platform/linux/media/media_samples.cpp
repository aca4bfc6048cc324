#include "linux/media/media_samples.hpp"

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <numbers>
#include <thread>

namespace media_test {

namespace {

// Runs a shell command and returns its standard output.
std::string run(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char chunk[65536];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, n);
  pclose(pipe);
  return out;
}

std::string quoted(const std::filesystem::path& p) { return "'" + p.string() + "'"; }

}  // namespace

CMTime hostTime(double seconds) {
  return CMTimeMake(1'000'000'000'000LL + std::llround(seconds * 1e9), 1'000'000'000);
}

platform::SampleBufferRef bgraFrame(int64_t width, int64_t height, uint32_t argb, CMTime pts) {
  auto pixels = std::make_shared<platform::PixelBuffer>();
  pixels->width = width;
  pixels->height = height;
  pixels->bytesPerRow = static_cast<size_t>(width) * 4 + 16;  // padded rows, as pools do
  auto storage = std::make_shared<std::vector<uint8_t>>(pixels->bytesPerRow * height);
  for (int64_t y = 0; y < height; ++y)
    for (int64_t x = 0; x < width; ++x) {
      uint8_t* p = storage->data() + y * pixels->bytesPerRow + x * 4;
      p[0] = argb & 0xFF;
      p[1] = (argb >> 8) & 0xFF;
      p[2] = (argb >> 16) & 0xFF;
      p[3] = (argb >> 24) & 0xFF;
    }
  pixels->baseAddress = storage->data();
  pixels->storage = storage;
  auto sample = std::make_shared<platform::SampleBuffer>();
  sample->timing = {{CMTimeMake(1, 30), pts, kCMTimeInvalid}};
  sample->imageBuffer = pixels;
  return sample;
}

platform::SampleBufferRef toneBuffer(int64_t count, double hz, CMTime pts, int64_t phaseStart) {
  auto audio = std::make_shared<platform::AudioBufferList>();
  audio->samples.resize(static_cast<size_t>(count) * 2);
  for (int64_t i = 0; i < count; ++i) {
    const float v = hz > 0 ? static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * hz *
                                                               (phaseStart + i) / 48000.0))
                           : 0.0f;
    audio->samples[2 * i] = v;
    audio->samples[2 * i + 1] = v;
  }
  auto sample = std::make_shared<platform::SampleBuffer>();
  sample->numSamples = count;
  sample->timing = {{CMTimeMake(1, 48000), pts, kCMTimeInvalid}};
  sample->audioBuffer = audio;
  return sample;
}

bool appendWhenReady(platform::AssetWriterInput& input, const platform::SampleBufferRef& sample) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!input.isReadyForMoreMediaData() && std::chrono::steady_clock::now() < limit)
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  return input.appendSampleBuffer(sample);
}

int finishAndWait(platform::AssetWriter& writer, platform::AssetWriterInput& input, CMTime end) {
  input.markAsFinished();
  writer.endSessionAtSourceTime(end);
  std::mutex mutex;
  std::condition_variable wake;
  int completions = 0;
  writer.finishWriting([&] {
    std::lock_guard lock(mutex);
    ++completions;
    wake.notify_all();
  });
  std::unique_lock lock(mutex);
  wake.wait_for(lock, std::chrono::seconds(60), [&] { return completions > 0; });
  wake.wait_for(lock, std::chrono::milliseconds(50), [&] { return completions > 1; });
  return completions;
}

nlohmann::json probe(const std::filesystem::path& file, bool countFrames) {
  const std::string out =
      run("ffprobe -v error -print_format json -show_format -show_streams -count_packets " +
          std::string(countFrames ? "-count_frames " : "") + quoted(file) + " 2>/dev/null");
  return nlohmann::json::parse(out, nullptr, false);
}

std::vector<PacketInfo> packets(const std::filesystem::path& file) {
  const auto doc = nlohmann::json::parse(
      run("ffprobe -v error -print_format json -select_streams 0 -show_entries "
          "packet=pts_time,flags " +
          quoted(file) + " 2>/dev/null"),
      nullptr, false);
  std::vector<PacketInfo> result;
  if (doc.is_discarded() || !doc.contains("packets")) return result;
  for (const auto& p : doc["packets"])
    result.push_back({std::stod(p.value("pts_time", "nan")),
                      p.value("flags", "").find('K') != std::string::npos});
  return result;
}

std::vector<float> decodeMono(const std::filesystem::path& file) {
  const std::string raw =
      run("ffmpeg -v error -i " + quoted(file) + " -f f32le -ac 1 -ar 48000 - 2>/dev/null");
  std::vector<float> out(raw.size() / sizeof(float));
  std::memcpy(out.data(), raw.data(), out.size() * sizeof(float));
  return out;
}

std::vector<uint8_t> firstFrameYuv(const std::filesystem::path& file) {
  const std::string raw = run("ffmpeg -v error -i " + quoted(file) +
                              " -frames:v 1 -f rawvideo -pix_fmt yuv420p - 2>/dev/null");
  return {raw.begin(), raw.end()};
}

double rms(const std::vector<float>& decoded, double from, double to) {
  const size_t a = static_cast<size_t>(from * 48000), b = static_cast<size_t>(to * 48000);
  double sum = 0;
  size_t n = 0;
  for (size_t i = a; i < b && i < decoded.size(); ++i, ++n) sum += decoded[i] * decoded[i];
  return n ? std::sqrt(sum / n) : 0;
}

ScratchDir::ScratchDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "orvik-writer-XXXXXX").string();
  if (mkdtemp(tmpl.data())) path = tmpl;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

}  // namespace media_test
