// The H.264 movie writer, driven through the writer interface and checked by
// reading the files back with ffprobe and ffmpeg.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include "media_samples.hpp"
#include "platform/error.hpp"
#include "platform/writer.hpp"

using namespace media_test;
using platform::AssetWriterInputRef;
using platform::AssetWriterRef;

namespace {

struct Movie {
  AssetWriterRef writer;
  AssetWriterInputRef input;
};

Movie openMovie(const std::filesystem::path& path, int64_t width, int64_t height,
                int64_t fps = 30) {
  Movie m;
  m.writer = platform::makeAssetWriter(path.string(), platform::FileType::quickTimeMovie);
  platform::VideoSettings settings;
  settings.width = width;
  settings.height = height;
  settings.averageBitRate = 6'000'000;
  settings.expectedSourceFrameRate = fps;
  m.input = platform::makeAssetWriterInput(platform::MediaType::video, settings);
  m.input->setExpectsMediaDataInRealTime(true);
  m.writer->setMovieFragmentInterval(CMTimeMake(1200, 600));
  m.writer->addInput(m.input);
  return m;
}

void start(Movie& m, CMTime t0) {
  ASSERT_TRUE(m.writer->startWriting());
  m.writer->startSessionAtSourceTime(t0);
}

}  // namespace

TEST(MovieWriter, WritesVariableRateH264WithColourTagsEndingAtTheSessionEnd) {
  ScratchDir dir;
  const auto file = dir.path / "movie.mov";
  Movie m = openMovie(file, 96, 64);
  start(m, hostTime(10.0));
  // Irregular spacing, as a capture that skips idle frames delivers.
  std::vector<double> times;
  for (double t = 0; t < 1.5; t += (times.size() % 3 == 0) ? 0.05 : 0.02) times.push_back(t);
  for (double t : times)
    ASSERT_TRUE(appendWhenReady(*m.input, bgraFrame(96, 64, 0xFF2080C0, hostTime(10.0 + t))));
  EXPECT_EQ(finishAndWait(*m.writer, *m.input, hostTime(10.0 + 1.6)), 1);

  const auto info = probe(file, true);
  ASSERT_FALSE(info.is_discarded());
  EXPECT_NE(info["format"]["format_name"].get<std::string>().find("mov"), std::string::npos);
  const auto& s = info["streams"][0];
  EXPECT_EQ(s["codec_name"], "h264");
  EXPECT_EQ(s["pix_fmt"], "yuv420p");
  EXPECT_EQ(s["color_range"], "tv");
  EXPECT_EQ(s["color_space"], "bt709");
  EXPECT_EQ(s["color_transfer"], "bt709");
  EXPECT_EQ(s["color_primaries"], "bt709");
  EXPECT_EQ(s["width"], 96);
  EXPECT_EQ(s["height"], 64);
  EXPECT_EQ(std::stoul(s["nb_read_frames"].get<std::string>()), times.size());
  EXPECT_NEAR(std::stod(s["duration"].get<std::string>()), 1.6, 1.0 / 30);

  // Each frame sits at its own presentation time.
  const auto written = packets(file);
  ASSERT_EQ(written.size(), times.size());
  for (size_t i = 0; i < times.size(); ++i) EXPECT_NEAR(written[i].pts, times[i], 1e-4) << i;
}

TEST(MovieWriter, ConvertsToBt709LimitedRange) {
  ScratchDir dir;
  const auto file = dir.path / "red.mov";
  Movie m = openMovie(file, 64, 64);
  start(m, hostTime(0));
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

TEST(MovieWriter, StartsAKeyframeFragmentAtEachTwoSecondBoundary) {
  ScratchDir dir;
  const auto file = dir.path / "fragments.mov";
  Movie m = openMovie(file, 64, 48, 10);
  start(m, hostTime(5));
  // 10 frames/s for 5 s, with a still stretch (no frames) across the 4 s mark.
  std::vector<double> times;
  for (int i = 0; i < 50; ++i)
    if (i < 37 || i > 43) times.push_back(i / 10.0 + 0.03);
  for (double t : times)
    ASSERT_TRUE(appendWhenReady(*m.input, bgraFrame(64, 48, 0xFF808080, hostTime(5 + t))));
  finishAndWait(*m.writer, *m.input, hostTime(10));
  std::vector<double> keys;
  for (const auto& p : packets(file))
    if (p.key) keys.push_back(p.pts);
  // The first frame opens the track at zero; then the first frame at or after
  // 2 s and after 4 s.
  ASSERT_EQ(keys.size(), 3u);
  EXPECT_NEAR(keys[0], 0.0, 1e-4);
  EXPECT_NEAR(keys[1], 2.03, 1e-4);
  EXPECT_NEAR(keys[2], 4.43, 1e-4);
}

TEST(MovieWriter, DropsFramesAfterTheSessionEndAndRefusesOutOfOrderFrames) {
  ScratchDir dir;
  const auto file = dir.path / "trim.mov";
  Movie m = openMovie(file, 64, 48);
  start(m, hostTime(1));
  EXPECT_FALSE(m.input->appendSampleBuffer(bgraFrame(64, 48, 0xFF000000, hostTime(0.5))))
      << "before the session start";
  int accepted = 0;
  for (int i = 0; i < 30; ++i)
    accepted += appendWhenReady(*m.input, bgraFrame(64, 48, 0xFF000000, hostTime(1 + i / 30.0)));
  EXPECT_EQ(accepted, 30);
  EXPECT_FALSE(appendWhenReady(*m.input, bgraFrame(64, 48, 0xFF000000, hostTime(1 + 10 / 30.0))))
      << "a time already written";
  auto noPixels = std::make_shared<platform::SampleBuffer>(
      *bgraFrame(64, 48, 0, hostTime(1 + 31 / 30.0)));
  noPixels->imageBuffer = nullptr;
  EXPECT_FALSE(appendWhenReady(*m.input, noPixels));
  // A frame of another size is scaled to the movie's.
  EXPECT_TRUE(appendWhenReady(*m.input, bgraFrame(128, 96, 0xFF000000, hostTime(1 + 32 / 30.0))));
  finishAndWait(*m.writer, *m.input, hostTime(1.5));
  const auto info = probe(file, true);
  const auto& s = info["streams"][0];
  EXPECT_EQ(std::stoi(s["nb_read_frames"].get<std::string>()), 15);  // 0 .. 14/30 s
  EXPECT_NEAR(std::stod(s["duration"].get<std::string>()), 0.5, 1e-3);
}

TEST(MovieWriter, ReadinessTurnsFalseWhileTheEncoderIsBehind) {
  ScratchDir dir;
  const auto file = dir.path / "busy.mov";
  Movie m = openMovie(file, 1920, 1080, 60);
  start(m, hostTime(0));
  // Large frames offered much faster than they can be encoded.
  bool sawNotReady = false;
  int refused = 0;
  int accepted = 0;
  std::vector<platform::SampleBufferRef> frames;
  for (int i = 0; i < 12; ++i)
    frames.push_back(bgraFrame(1920, 1080, 0xFF000000 | (i * 0x151515), hostTime(i / 60.0)));
  for (const auto& frame : frames) {
    if (!m.input->isReadyForMoreMediaData()) sawNotReady = true;
    if (m.input->appendSampleBuffer(frame))
      ++accepted;
    else
      ++refused;
  }
  EXPECT_TRUE(sawNotReady);
  EXPECT_GT(refused, 0);
  EXPECT_LE(accepted, 8);
  // It catches up again.
  EXPECT_TRUE(appendWhenReady(*m.input, bgraFrame(1920, 1080, 0xFF000000, hostTime(0.5))));
  EXPECT_EQ(finishAndWait(*m.writer, *m.input, hostTime(0.6)), 1);
  const auto info = probe(file);
  EXPECT_EQ(std::stoi(info["streams"][0]["nb_read_packets"].get<std::string>()), accepted + 1);
}

TEST(MovieWriter, FinishingAWriterThatNeverStartedCompletesAtOnceAndWritesNothing) {
  ScratchDir dir;
  const auto file = dir.path / "never.mov";
  Movie m = openMovie(file, 64, 48);
  EXPECT_FALSE(m.input->isReadyForMoreMediaData());
  EXPECT_FALSE(m.input->appendSampleBuffer(bgraFrame(64, 48, 0, hostTime(0))));
  std::atomic<int> completions{0};
  std::atomic<bool> onOwnThread{false};
  const auto caller = std::this_thread::get_id();
  m.writer->finishWriting([&] {
    onOwnThread = std::this_thread::get_id() != caller;
    ++completions;
  });
  for (int i = 0; i < 200 && completions == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(completions, 1);
  EXPECT_TRUE(onOwnThread);
  EXPECT_FALSE(std::filesystem::exists(file));
}

TEST(MovieWriter, ACompletionMayLetGoOfTheWriter) {
  ScratchDir dir;
  Movie m = openMovie(dir.path / "released.mov", 64, 48);
  start(m, hostTime(0));
  ASSERT_TRUE(appendWhenReady(*m.input, bgraFrame(64, 48, 0xFF000000, hostTime(0))));
  std::atomic<bool> done{false};
  auto* writer = m.writer.get();
  writer->endSessionAtSourceTime(hostTime(0.1));
  writer->finishWriting([&m, &done] {
    m.writer.reset();  // the last reference, dropped on the completion's thread
    m.input.reset();
    done = true;
  });
  for (int i = 0; i < 2000 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(done);
  EXPECT_EQ(probe(dir.path / "released.mov")["streams"][0]["nb_read_packets"], "1");
}

TEST(MovieWriter, RefusesUnusableSettingsAndPaths) {
  const auto refused = [](platform::VideoSettings s) {
    try {
      platform::makeAssetWriterInput(platform::MediaType::video, s);
    } catch (const platform::PlatformError& e) {
      return !e.localizedDescription().empty();
    }
    return false;
  };
  const platform::VideoSettings good{platform::kVideoCodecTypeH264, 1920, 1080, 8'294'400, 120};
  EXPECT_NO_THROW(platform::makeAssetWriterInput(platform::MediaType::video, good));
  auto s = good;
  for (int64_t bad : std::initializer_list<int64_t>{0, -2, 641, 16386, INT64_MAX}) {
    s = good;
    s.width = bad;
    EXPECT_TRUE(refused(s)) << "width " << bad;
    s = good;
    s.height = bad;
    EXPECT_TRUE(refused(s)) << "height " << bad;
  }
  for (int64_t bad : std::initializer_list<int64_t>{0, -1, INT64_MAX}) {
    s = good;
    s.averageBitRate = bad;
    EXPECT_TRUE(refused(s)) << "bit rate " << bad;
    s = good;
    s.expectedSourceFrameRate = bad;
    EXPECT_TRUE(refused(s)) << "frame rate " << bad;
  }
  s = good;
  s.codec = "hvc1";
  EXPECT_TRUE(refused(s));
  EXPECT_THROW(platform::makeAssetWriterInput(platform::MediaType::video, platform::AudioSettings{}),
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
               platform::PlatformError)
      << "a directory in the way";
  if (geteuid() != 0) {
    std::filesystem::create_directory(dir.path / "locked");
    std::filesystem::permissions(dir.path / "locked", std::filesystem::perms::owner_read |
                                                          std::filesystem::perms::owner_exec);
    EXPECT_THROW(platform::makeAssetWriter((dir.path / "locked" / "x.mov").string(),
                                           platform::FileType::quickTimeMovie),
                 platform::PlatformError);
  }
  // Creating the writer leaves no file behind; a video input does not fit an M4A file.
  const auto audioPath = dir.path / "a.m4a";
  auto writer = platform::makeAssetWriter(audioPath.string(), platform::FileType::appleM4A);
  EXPECT_FALSE(std::filesystem::exists(audioPath));
  EXPECT_THROW(writer->addInput(platform::makeAssetWriterInput(platform::MediaType::video, good)),
               platform::PlatformError);
}
