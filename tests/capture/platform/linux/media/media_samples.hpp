#pragma once
// Synthetic samples for the writer tests, the file probes that check what was
// written (ffprobe and ffmpeg), and a scratch directory per test.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/sample_buffer.hpp"
#include "platform/writer.hpp"

namespace media_test {

// Host-clock time `seconds` after an arbitrary origin, in nanoseconds.
CMTime hostTime(double seconds);

// A BGRA frame of one colour (0xAARRGGBB), stamped at `pts`.
platform::SampleBufferRef bgraFrame(int64_t width, int64_t height, uint32_t argb, CMTime pts);

// `count` stereo float frames of a sine (or silence when `hz` is 0) at 48 kHz,
// stamped at `pts`; `phaseStart` is the tone's sample index of the first frame.
platform::SampleBufferRef toneBuffer(int64_t count, double hz, CMTime pts, int64_t phaseStart = 0);

// Appends once the input is ready (waiting at most a few seconds); the
// append's result.
bool appendWhenReady(platform::AssetWriterInput& input, const platform::SampleBufferRef& sample);

// markAsFinished, endSession(end), finishWriting; waits for the completion.
// The number of completions seen after a short grace period.
int finishAndWait(platform::AssetWriter& writer, platform::AssetWriterInput& input, CMTime end);

// ffprobe's -show_format -show_streams (and the read packet count) as JSON.
nlohmann::json probe(const std::filesystem::path& file, bool countFrames = false);
// Presentation times (seconds) and key flags of the first stream's packets.
struct PacketInfo {
  double pts;
  bool key;
};
std::vector<PacketInfo> packets(const std::filesystem::path& file);
// The file's audio decoded to mono float at 48 kHz.
std::vector<float> decodeMono(const std::filesystem::path& file);
// The first video frame decoded to raw yuv420p.
std::vector<uint8_t> firstFrameYuv(const std::filesystem::path& file);

// Root-mean-square level of decoded[from, to) seconds.
double rms(const std::vector<float>& decoded, double from, double to);

// A fresh directory removed at destruction.
struct ScratchDir {
  ScratchDir();
  ~ScratchDir();
  std::filesystem::path path;
};

}  // namespace media_test
