// The H.264 movie writer, driven through the writer interface and checked by
// reading the files back with ffprobe and ffmpeg.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "linux/media/media_samples.hpp"
#include "platform/error.hpp"
#include "platform/writer.hpp"

using namespace media_test;

namespace {

struct Movie {
  platform::AssetWriterRef writer;
  platform::AssetWriterInputRef input;
};

Movie openMovie(const std::filesystem::path& path, int64_t width, int64_t height, int64_t fps,
                CMTime t0) {
  Movie m{platform::makeAssetWriter(path.string(), platform::FileType::quickTimeMovie),
          platform::makeAssetWriterInput(platform::MediaType::video,
                                         platform::VideoSettings{platform::kVideoCodecTypeH264,
                                                                 width, height, 6'000'000, fps})};
  m.input->setExpectsMediaDataInRealTime(true);
  m.writer->setMovieFragmentInterval(CMTimeMake(1200, 600));
  m.writer->addInput(m.input);
  EXPECT_TRUE(m.writer->startWriting());
  m.writer->startSessionAtSourceTime(t0);
  return m;
}

}  // namespace

TEST(MovieWriter, WritesFramesAtTheirTimesKeyframesPerFragmentColourTagsAndTheSessionEnd) {
  ScratchDir dir;
  const auto file = dir.path / "movie.mov";
  Movie m = openMovie(file, 64, 48, 10, hostTime(5));
  EXPECT_FALSE(m.input->appendSampleBuffer(
      bgraFrame(64, 48, 0xFF000000, hostTime(4.5))));  // before the start
  // 10 frames/s for 5 s, with a still stretch (no frames) across the 4 s mark.
  std::vector<double> times;
  for (int i = 0; i < 50; ++i)
    if (i < 37 || i > 43) times.push_back(i / 10.0 + 0.03);
  for (double t : times)
    ASSERT_TRUE(appendWhenReady(*m.input, bgraFrame(64, 48, 0xFF808080, hostTime(5 + t))));
  EXPECT_FALSE(
      appendWhenReady(*m.input, bgraFrame(64, 48, 0, hostTime(6))));  // a time already written
  auto noPixels = std::make_shared<platform::SampleBuffer>(*bgraFrame(64, 48, 0, hostTime(9.95)));
  noPixels->imageBuffer = nullptr;
  EXPECT_FALSE(appendWhenReady(*m.input, noPixels));
  EXPECT_TRUE(appendWhenReady(*m.input, bgraFrame(128, 96, 0, hostTime(9.96))));  // scaled to fit
  EXPECT_TRUE(
      appendWhenReady(*m.input, bgraFrame(64, 48, 0, hostTime(9.99))));  // past the end: dropped
  EXPECT_EQ(finishAndWait(*m.writer, *m.input, hostTime(9.97)), 1);

  const auto info = probe(file, true);
  ASSERT_FALSE(info.is_discarded());
  EXPECT_NE(info["format"]["format_name"].get<std::string>().find("mov"), std::string::npos);
  const auto& s = info["streams"][0];
  for (const auto& [key, value] :
       std::vector<std::pair<std::string, std::string>>{{"codec_name", "h264"},
                                                        {"pix_fmt", "yuv420p"},
                                                        {"color_range", "tv"},
                                                        {"color_space", "bt709"},
                                                        {"color_transfer", "bt709"},
                                                        {"color_primaries", "bt709"}})
    EXPECT_EQ(s[key], value) << key;
  EXPECT_EQ(s["width"], 64);
  EXPECT_EQ(std::stoul(s["nb_read_frames"].get<std::string>()), times.size() + 1);
  EXPECT_NEAR(std::stod(s["duration"].get<std::string>()), 4.97, 1e-3);
  const auto written = packets(file);
  ASSERT_EQ(written.size(), times.size() + 1);
  std::vector<double> keys;
  for (size_t i = 0; i < times.size(); ++i) {
    EXPECT_NEAR(written[i].pts, i ? times[i] : 0.0, 1e-4) << i;  // the first opens the track
    if (written[i].key) keys.push_back(written[i].pts);
  }
  // The first frame; then the first frame at or after 2 s and after 4 s.
  ASSERT_EQ(keys.size(), 3u);
  for (size_t i = 0; i < 3; ++i)
    EXPECT_NEAR(keys[i], (std::vector<double>{0.0, 2.03, 4.43})[i], 1e-4);
}

TEST(MovieWriter, ConvertsToBt709LimitedRange) {
  ScratchDir dir;
  const auto file = dir.path / "red.mov";
  Movie m = openMovie(file, 64, 64, 30, hostTime(0));
  for (int i = 0; i < 3; ++i)
    ASSERT_TRUE(appendWhenReady(*m.input, bgraFrame(64, 64, 0xFFFF0000, hostTime(i / 30.0))));
  finishAndWait(*m.writer, *m.input, hostTime(0.1));
  const auto yuv = firstFrameYuv(file);
  ASSERT_EQ(yuv.size(), 64u * 64 * 3 / 2);
  // Pure red in BT.709 limited range: Y 63, Cb 102, Cr 240 (BT.601 would give 81, 90, 240).
  EXPECT_NEAR(yuv[32 * 64 + 32], 63, 3);
  EXPECT_NEAR(yuv[64 * 64 + 16 * 32 + 16], 102, 3);
  EXPECT_NEAR(yuv[64 * 64 + 32 * 32 + 16 * 32 + 16], 240, 3);
}

TEST(MovieWriter, ReadinessTurnsFalseWhileTheEncoderIsBehindAndCompletionMayLetGo) {
  ScratchDir dir;
  Movie m = openMovie(dir.path / "busy.mov", 1920, 1080, 60, hostTime(0));
  int refused = 0, accepted = 0;
  std::vector<platform::SampleBufferRef> frames;
  for (int i = 0; i < 12; ++i)
    frames.push_back(bgraFrame(1920, 1080, 0xFF000000 | (i * 0x151515), hostTime(i / 60.0)));
  for (const auto& frame : frames) (m.input->appendSampleBuffer(frame) ? accepted : refused)++;
  EXPECT_GT(refused, 0);
  EXPECT_TRUE(
      appendWhenReady(*m.input, bgraFrame(1920, 1080, 0xFF000000, hostTime(0.5))));  // caught up
  std::atomic<bool> done{false};
  m.writer->endSessionAtSourceTime(hostTime(0.6));
  m.writer->finishWriting([&m, &done] {
    m.writer.reset();  // the last reference, dropped on the completion's thread
    m.input.reset();
    done = true;
  });
  for (int i = 0; i < 4000 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_TRUE(done);
  EXPECT_EQ(
      std::stoi(probe(dir.path / "busy.mov")["streams"][0]["nb_read_packets"].get<std::string>()),
      accepted + 1);
}

TEST(MovieWriter, FinishingAWriterThatNeverStartedCompletesOnItsOwnThreadAndWritesNothing) {
  ScratchDir dir;
  auto writer = platform::makeAssetWriter((dir.path / "never.mov").string(),
                                          platform::FileType::quickTimeMovie);
  auto input = platform::makeAssetWriterInput(
      platform::MediaType::video,
      platform::VideoSettings{platform::kVideoCodecTypeH264, 64, 48, 6'000'000, 30});
  writer->addInput(input);
  EXPECT_FALSE(input->isReadyForMoreMediaData());
  EXPECT_FALSE(input->appendSampleBuffer(bgraFrame(64, 48, 0, hostTime(0))));
  std::atomic<int> completions{0};
  std::atomic<bool> onOwnThread{false};
  const auto caller = std::this_thread::get_id();
  writer->finishWriting([&] {
    onOwnThread = std::this_thread::get_id() != caller;
    ++completions;
  });
  for (int i = 0; i < 200 && completions == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(completions, 1);
  EXPECT_TRUE(onOwnThread);
  EXPECT_FALSE(std::filesystem::exists(dir.path / "never.mov"));
}

TEST(MovieWriter, RefusesUnusableSettingsAndPaths) {
  const platform::VideoSettings good{platform::kVideoCodecTypeH264, 1920, 1080, 8'294'400, 120};
  EXPECT_NO_THROW(platform::makeAssetWriterInput(platform::MediaType::video, good));
  std::vector<platform::VideoSettings> bad;
  for (int64_t v : {int64_t{0}, int64_t{-2}, int64_t{641}, int64_t{16386}, INT64_MAX}) {
    bad.push_back(good), bad.back().width = v;
    bad.push_back(good), bad.back().height = v;
  }
  for (int64_t v : {int64_t{0}, int64_t{-1}, INT64_MAX}) {
    bad.push_back(good), bad.back().averageBitRate = v;
    bad.push_back(good), bad.back().expectedSourceFrameRate = v;
  }
  bad.push_back(good), bad.back().codec = "hvc1";
  for (const auto& s : bad)
    EXPECT_THROW(platform::makeAssetWriterInput(platform::MediaType::video, s),
                 platform::PlatformError)
        << s.width << "x" << s.height << " " << s.averageBitRate << " "
        << s.expectedSourceFrameRate;
  EXPECT_THROW(
      platform::makeAssetWriterInput(platform::MediaType::video, platform::AudioSettings{}),
      platform::PlatformError);

  ScratchDir dir;
  try {
    platform::makeAssetWriter((dir.path / "missing" / "x.mov").string(),
                              platform::FileType::quickTimeMovie);
    ADD_FAILURE() << "a missing directory was accepted";
  } catch (const platform::PlatformError& e) {
    EXPECT_NE(e.localizedDescription().find("missing/x.mov"), std::string::npos);
    EXPECT_NE(e.localizedDescription().find("No such file or directory"), std::string::npos);
  }
  EXPECT_THROW(platform::makeAssetWriter(dir.path.string(), platform::FileType::quickTimeMovie),
               platform::PlatformError);
  // Creating the writer leaves no file behind; a video input does not fit an M4A file.
  auto writer =
      platform::makeAssetWriter((dir.path / "a.m4a").string(), platform::FileType::appleM4A);
  EXPECT_FALSE(std::filesystem::exists(dir.path / "a.m4a"));
  EXPECT_THROW(writer->addInput(platform::makeAssetWriterInput(platform::MediaType::video, good)),
               platform::PlatformError);
}
