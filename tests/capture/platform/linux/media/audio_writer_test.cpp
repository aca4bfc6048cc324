// The AAC audio writer: placement of buffers on the track by their times,
// read back with ffprobe and ffmpeg. (The file format of a real recording is
// checked by the program-level scenarios.)
#include <gtest/gtest.h>

#include "capture/platform/linux/media/media_samples.hpp"
#include "platform/error.hpp"

namespace capture {

using namespace media_test;
using namespace platform;

namespace {

struct Audio {
  ScratchDir dir;
  std::filesystem::path file = dir.path / "audio.m4a";
  AssetWriterRef writer = makeAssetWriter(file.string(), FileType::appleM4A);
  AssetWriterInputRef input = makeAssetWriterInput(MediaType::audio, AudioSettings{});

  Audio() {
    input->setExpectsMediaDataInRealTime(true);
    writer->setMovieFragmentInterval(CMTimeMake(1200, 600));
    writer->addInput(input);
    EXPECT_TRUE(writer->startWriting());
    writer->startSessionAtSourceTime(hostTime(100));
  }
  // A tone over [from, to) seconds of the track in 10 ms buffers, each
  // stamped `jitter` seconds off its true time every third buffer.
  void tone(double from, double to, double jitter = 0) {
    const int64_t last = std::llround(to * 48000);
    for (int64_t at = std::llround(from * 48000), i = 0; at < last; at += 480, ++i)
      ASSERT_TRUE(appendWhenReady(
          *input, toneBuffer(std::min<int64_t>(480, last - at),
                             hostTime(100 + at / 48000.0 + (i % 3 - 1) * jitter), at)));
  }
  double duration() { return std::stod(probe(file)["streams"][0]["duration"].get<std::string>()); }
  std::vector<float> decoded() { return decode<float>(file, "-f f32le -ac 1 -ar 48000"); }
};

}  // namespace

TEST(AudioWriter, KeepsSoundAtItsCapturedTimeWithSilenceBetweenAndPadsToTheSessionEnd) {
  Audio a;
  // Nothing for the first 0.3 s, a tone to 0.8 s, nothing to 1.3 s, a tone to 1.6 s.
  a.tone(0.3, 0.8);
  a.tone(1.3, 1.6);
  EXPECT_EQ(finishAndWait(*a.writer, *a.input, hostTime(102)), 1);
  EXPECT_NEAR(a.duration(), 2.0, 0.05);
  const auto decoded = a.decoded();
  for (auto [from, to, loud] : {std::tuple{0.0, 0.28, false},
                                {0.32, 0.78, true},
                                {0.82, 1.28, false},
                                {1.32, 1.58, true},
                                {1.62, 2.0, false}})
    EXPECT_TRUE(loud ? rms(decoded, from, to) > 0.3 : rms(decoded, from, to) < 0.01) << from;
  // The onset is where it was captured (the encoder's own start-up delay is
  // accounted for): within a few milliseconds.
  size_t onset = 0;
  while (onset < decoded.size() && std::fabs(decoded[onset]) < 0.05f) ++onset;
  EXPECT_NEAR(onset / 48000.0, 0.3, 0.004);
}

TEST(AudioWriter, AFragmentReachesTheFileOnceTheNextOneStarts) {
  // What a recording killed now keeps: the first 2 s, the priming hidden.
  Audio a;
  a.tone(0, 2.5);
  size_t kept = 0;
  for (int i = 0; i < 100 && kept < 1.9 * 48000; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    kept = a.decoded().size();
  }
  EXPECT_GE(kept, 1.9 * 48000);
}

TEST(AudioWriter, TrimsOverlapsAbsorbsSmallJitterAndEndsAtTheSessionEnd) {
  Audio a;
  a.tone(0, 1.0, 0.003);  // buffers stamped up to 3 ms early or late: joined on as they are
  a.tone(0.5, 1.5);       // sent twice: must not lengthen the track
  finishAndWait(*a.writer, *a.input, hostTime(101.3));
  EXPECT_NEAR(a.duration(), 1.3, 0.05);
  EXPECT_NEAR(std::stod(probe(a.file)["streams"][0]["bit_rate"].get<std::string>()), 192000, 40000);
  const auto decoded = a.decoded();
  EXPECT_NEAR(decoded.size() / 48000.0, 1.3, 0.05);
  EXPECT_GT(rms(decoded, 0.05, 1.25), 0.3);
  EXPECT_GT(rms(decoded, 0.0, 0.02), 0.3);  // the first samples too
}

TEST(AudioWriter, RefusesUnusableSettingsAndBuffers) {
  std::vector<AudioSettings> bad(4);
  bad[0].formatID = 0x6C70636D;  // 'lpcm'
  bad[1].sampleRate = 12345;
  bad[2].numberOfChannels = 0;
  bad[3].encoderBitRate = -1;
  for (const auto& s : bad) EXPECT_THROW(makeAssetWriterInput(MediaType::audio, s), PlatformError);

  Audio a;
  auto noAudio = std::make_shared<SampleBuffer>(*toneBuffer(480, hostTime(100)));
  noAudio->audioBuffer = nullptr;
  auto ragged = std::make_shared<SampleBuffer>(*toneBuffer(480, hostTime(100)));
  auto odd = std::make_shared<AudioBufferList>();
  odd->samples.resize(7);  // not whole stereo frames
  ragged->audioBuffer = odd;
  // Days past the start: refused rather than filling the gap with silence.
  for (const SampleBufferRef& sample :
       std::vector<SampleBufferRef>{noAudio, ragged, toneBuffer(480, hostTime(100 + 3 * 86400))})
    EXPECT_FALSE(a.input->appendSampleBuffer(sample));
  EXPECT_EQ(finishAndWait(*a.writer, *a.input, hostTime(100.5)), 1);
}

}  // namespace capture
