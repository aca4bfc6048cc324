// The AAC audio writer: placement of buffers on the track by their times,
// and the file's format, read back with ffprobe and ffmpeg.
#include <gtest/gtest.h>

#include <cmath>

#include "linux/media/media_samples.hpp"
#include "platform/error.hpp"
#include "platform/writer.hpp"

using namespace media_test;

namespace {

struct Audio {
  platform::AssetWriterRef writer;
  platform::AssetWriterInputRef input;
};

Audio openAudio(const std::filesystem::path& path, CMTime t0) {
  Audio a;
  a.writer = platform::makeAssetWriter(path.string(), platform::FileType::appleM4A);
  a.input = platform::makeAssetWriterInput(platform::MediaType::audio, platform::AudioSettings{});
  a.input->setExpectsMediaDataInRealTime(true);
  a.writer->setMovieFragmentInterval(CMTimeMake(1200, 600));
  a.writer->addInput(a.input);
  EXPECT_TRUE(a.writer->startWriting());
  a.writer->startSessionAtSourceTime(t0);
  return a;
}

// Appends a 440 Hz tone over [from, to) seconds of the track in 10 ms buffers,
// each stamped `jitter(i)` seconds off its true time.
void appendTone(Audio& a, double from, double to, double (*jitter)(int) = nullptr) {
  const int64_t first = std::llround(from * 48000), last = std::llround(to * 48000);
  int i = 0;
  for (int64_t at = first; at < last; at += 480, ++i) {
    const int64_t count = std::min<int64_t>(480, last - at);
    const double skew = jitter ? jitter(i) : 0.0;
    ASSERT_TRUE(
        appendWhenReady(*a.input, toneBuffer(count, 440, hostTime(100 + at / 48000.0 + skew), at)));
  }
}

double durationOf(const std::filesystem::path& file) {
  const auto info = probe(file);
  return std::stod(info["streams"][0]["duration"].get<std::string>());
}

}  // namespace

TEST(AudioWriter, WritesStereoAacKeepingSoundAtItsCapturedTimeWithSilenceBetween) {
  ScratchDir dir;
  const auto file = dir.path / "gaps.m4a";
  Audio a = openAudio(file, hostTime(100));
  // Nothing for the first 0.3 s, a tone to 0.8 s, nothing to 1.3 s, a tone to 1.6 s.
  appendTone(a, 0.3, 0.8);
  appendTone(a, 1.3, 1.6);
  EXPECT_EQ(finishAndWait(*a.writer, *a.input, hostTime(102)), 1);  // padded to the session end
  const auto info = probe(file);
  ASSERT_FALSE(info.is_discarded());
  EXPECT_NE(info["format"]["format_name"].get<std::string>().find("m4a"), std::string::npos);
  const auto& s = info["streams"][0];
  EXPECT_EQ(s["codec_name"], "aac");
  EXPECT_EQ(s["profile"], "LC");
  EXPECT_EQ(s["sample_rate"], "48000");
  EXPECT_EQ(s["channels"], 2);
  EXPECT_NEAR(durationOf(file), 2.0, 0.05);
  const auto decoded = decodeMono(file);
  EXPECT_LT(rms(decoded, 0.0, 0.28), 0.01);
  EXPECT_GT(rms(decoded, 0.32, 0.78), 0.3);
  EXPECT_LT(rms(decoded, 0.82, 1.28), 0.01);
  EXPECT_GT(rms(decoded, 1.32, 1.58), 0.3);
  EXPECT_LT(rms(decoded, 1.62, 2.0), 0.01);
  // The onset is where it was captured (the encoder's own start-up delay is
  // accounted for): within a few milliseconds.
  size_t onset = 0;
  while (onset < decoded.size() && std::fabs(decoded[onset]) < 0.05f) ++onset;
  EXPECT_NEAR(onset / 48000.0, 0.3, 0.004);
}

TEST(AudioWriter, TrimsOverlapsAbsorbsSmallJitterAndEndsAtTheSessionEnd) {
  ScratchDir dir;
  const auto file = dir.path / "overlap.m4a";
  Audio a = openAudio(file, hostTime(100));
  // Buffers stamped up to 3 ms early or late: joined on as they are.
  appendTone(a, 0, 1.0, [](int i) { return (i % 3 - 1) * 0.003; });
  // A stretch sent twice (overlapping what is already there) must not lengthen the track.
  appendTone(a, 0.5, 1.5);
  finishAndWait(*a.writer, *a.input, hostTime(101.3));  // trimmed to the session end
  const auto info = probe(file);
  EXPECT_NEAR(std::stod(info["streams"][0]["duration"].get<std::string>()), 1.3, 0.05);
  EXPECT_NEAR(std::stod(info["streams"][0]["bit_rate"].get<std::string>()), 192000, 40000);
  const auto decoded = decodeMono(file);
  EXPECT_NEAR(decoded.size() / 48000.0, 1.3, 0.05);
  EXPECT_GT(rms(decoded, 0.05, 1.25), 0.3);
}

TEST(AudioWriter, RefusesUnusableSettingsAndBuffers) {
  std::vector<platform::AudioSettings> bad(4);
  bad[0].formatID = 0x6C70636D;  // 'lpcm'
  bad[1].sampleRate = 12345;
  bad[2].numberOfChannels = 0;
  bad[3].encoderBitRate = -1;
  for (const auto& s : bad)
    EXPECT_THROW(platform::makeAssetWriterInput(platform::MediaType::audio, s),
                 platform::PlatformError);

  ScratchDir dir;
  Audio a = openAudio(dir.path / "bad.m4a", hostTime(100));
  auto noAudio = std::make_shared<platform::SampleBuffer>(*toneBuffer(480, 440, hostTime(100)));
  noAudio->audioBuffer = nullptr;
  EXPECT_FALSE(a.input->appendSampleBuffer(noAudio));
  auto ragged = std::make_shared<platform::AudioBufferList>();
  ragged->samples.resize(7);  // not whole stereo frames
  auto raggedSample =
      std::make_shared<platform::SampleBuffer>(*toneBuffer(480, 440, hostTime(100)));
  raggedSample->audioBuffer = ragged;
  EXPECT_FALSE(a.input->appendSampleBuffer(raggedSample));
  // Days past the start: refused rather than filling the gap with silence.
  EXPECT_FALSE(a.input->appendSampleBuffer(toneBuffer(480, 440, hostTime(100 + 3 * 86400))));
  EXPECT_EQ(finishAndWait(*a.writer, *a.input, hostTime(100.5)), 1);
}
