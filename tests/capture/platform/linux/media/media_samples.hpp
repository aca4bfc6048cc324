#pragma once
// Synthetic samples for the writer tests, and the ffprobe and ffmpeg reads
// that check what was written.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <future>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/writer.hpp"

namespace capture {

namespace media_test {

// Host-clock time `seconds` after an arbitrary origin, in nanoseconds.
inline CMTime hostTime(double seconds) {
  return CMTimeMake(1'000'000'000'000LL + std::llround(seconds * 1e9), 1'000'000'000);
}

// A BGRA frame of one colour (0xAARRGGBB) with padded rows, as pools make them.
inline platform::SampleBufferRef bgraFrame(int64_t width, int64_t height, uint32_t argb,
                                           CMTime pts) {
  auto pixels = std::make_shared<platform::PixelBuffer>();
  pixels->width = width;
  pixels->height = height;
  pixels->bytesPerRow = static_cast<size_t>(width) * 4 + 16;
  auto storage = std::make_shared<std::vector<uint8_t>>(pixels->bytesPerRow * height);
  for (int64_t y = 0; y < height; ++y)
    for (int64_t x = 0; x < width; ++x)
      std::memcpy(storage->data() + y * pixels->bytesPerRow + x * 4, &argb, 4);  // little-endian
  pixels->baseAddress = storage->data();
  pixels->storage = storage;
  auto sample = std::make_shared<platform::SampleBuffer>();
  sample->timing = {{CMTimeMake(1, 30), pts, kCMTimeInvalid}};
  sample->imageBuffer = pixels;
  return sample;
}

// `count` stereo frames of a 440 Hz sine at 48 kHz stamped at `pts`, the
// first being the tone's frame `phase`.
inline platform::SampleBufferRef toneBuffer(int64_t count, CMTime pts, int64_t phase = 0) {
  auto audio = std::make_shared<platform::AudioBufferList>();
  for (int64_t i = phase; i < phase + count; ++i)
    audio->samples.insert(
        audio->samples.end(), 2,
        static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * 440 * i / 48000.0)));
  auto sample = std::make_shared<platform::SampleBuffer>();
  sample->numSamples = count;
  sample->timing = {{CMTimeMake(1, 48000), pts, kCMTimeInvalid}};
  sample->audioBuffer = audio;
  return sample;
}

// Appends once the input is ready (waiting a few seconds at most).
inline bool appendWhenReady(platform::AssetWriterInput& input,
                            const platform::SampleBufferRef& sample) {
  for (int i = 0; i < 100'000 && !input.isReadyForMoreMediaData(); ++i)
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  return input.appendSampleBuffer(sample);
}

// Ends the session at `end` and finishes; the number of completions seen.
inline int finishAndWait(platform::AssetWriter& writer, platform::AssetWriterInput& input,
                         CMTime end) {
  input.markAsFinished();
  writer.endSessionAtSourceTime(end);
  auto completions = std::make_shared<std::atomic<int>>(0);
  writer.finishWriting([completions] { ++*completions; });
  for (int i = 0; i < 12'000 && *completions == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // a second one would come now
  return *completions;
}

// A command's standard output.
inline std::string run(const std::string& command) {
  std::string out;
  char chunk[65536];
  FILE* pipe = popen(command.c_str(), "r");
  while (size_t n = fread(chunk, 1, sizeof chunk, pipe)) out.append(chunk, n);
  pclose(pipe);
  return out;
}

// ffprobe's description of the file's first stream (packets and frames
// counted), and its packets' presentation times and flags.
inline nlohmann::json probe(const std::filesystem::path& file) {
  return nlohmann::json::parse(run("ffprobe -v error -of json -show_streams -show_packets "
                                   "-count_frames -select_streams 0 '" +
                                   file.string() + "' 2>/dev/null"),
                               nullptr, false);
}

// What ffmpeg decodes from the file, in the given raw format, from time zero
// on, as a player plays it (an edit that hides an encoder's priming honoured).
template <typename T>
std::vector<T> decode(const std::filesystem::path& file, const std::string& format) {
  const std::string raw = run("ffmpeg -v error -seek_timestamp 1 -ss 0 -i '" + file.string() +
                              "' " + format + " - 2>/dev/null");
  std::vector<T> out(raw.size() / sizeof(T));
  std::memcpy(out.data(), raw.data(), out.size() * sizeof(T));
  return out;
}

// Root-mean-square level of mono 48 kHz samples over [from, to) seconds.
inline double rms(const std::vector<float>& decoded, double from, double to) {
  double sum = 0;
  size_t n = 0;
  for (auto i = static_cast<size_t>(from * 48000); i < to * 48000 && i < decoded.size(); ++i, ++n)
    sum += decoded[i] * decoded[i];
  return n ? std::sqrt(sum / n) : 0;
}

// A fresh directory removed at destruction.
struct ScratchDir {
  std::filesystem::path path =
      std::filesystem::temp_directory_path() / ("orvik-writer-" + std::to_string(getpid()));
  ScratchDir() { std::filesystem::create_directories(path); }
  ~ScratchDir() { std::filesystem::remove_all(path); }
};

}  // namespace media_test

}  // namespace capture
