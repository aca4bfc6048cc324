// The H.264 movie writer, driven through the writer interface and checked by
// reading the files back with ffprobe and ffmpeg. (The file format and colour
// tags of a real recording are checked by the program-level scenarios.)
#include <gtest/gtest.h>

#include "capture/platform/linux/media/media_samples.hpp"
#include "platform/error.hpp"
#include "platform/linux/media/writer.hpp"

namespace capture {

using namespace media_test;
using namespace platform;

namespace {

struct Movie {
  AssetWriterRef writer;
  AssetWriterInputRef input;

  Movie(const std::filesystem::path& path, int64_t width, int64_t height, int64_t fps, CMTime t0)
      : writer(makeAssetWriter(path.string(), FileType::quickTimeMovie)),
        input(makeAssetWriterInput(
            MediaType::video, VideoSettings{kVideoCodecTypeH264, width, height, 6'000'000, fps})) {
    input->setExpectsMediaDataInRealTime(true);
    writer->setMovieFragmentInterval(CMTimeMake(1200, 600));
    writer->addInput(input);
    EXPECT_TRUE(writer->startWriting());
    writer->startSessionAtSourceTime(t0);
  }
};

}  // namespace

TEST(MovieWriter, WritesFramesAtTheirTimesWithAKeyframePerFragmentUntilTheSessionEnd) {
  ScratchDir dir;
  Movie m(dir.path / "movie.mov", 64, 48, 10, hostTime(5));
  EXPECT_FALSE(m.input->appendSampleBuffer(bgraFrame(64, 48, 0, hostTime(4.5))));  // too early
  // 10 frames/s for 5 s, with a still stretch (no frames) across the 4 s mark.
  std::vector<double> times;
  for (int i = 0; i < 50; ++i)
    if (i < 37 || i > 43) times.push_back(i / 10.0 + 0.03);
  for (double t : times)
    ASSERT_TRUE(appendWhenReady(*m.input, bgraFrame(64, 48, 0xFF808080, hostTime(5 + t))));
  EXPECT_FALSE(appendWhenReady(*m.input, bgraFrame(64, 48, 0, hostTime(6))));  // already written
  auto noPixels = std::make_shared<SampleBuffer>(*bgraFrame(64, 48, 0, hostTime(9.95)));
  noPixels->imageBuffer = nullptr;
  EXPECT_FALSE(appendWhenReady(*m.input, noPixels));
  EXPECT_TRUE(appendWhenReady(*m.input, bgraFrame(128, 96, 0, hostTime(9.96))));  // scaled
  EXPECT_TRUE(appendWhenReady(*m.input, bgraFrame(64, 48, 0, hostTime(9.99))));   // past the end
  EXPECT_EQ(finishAndWait(*m.writer, *m.input, hostTime(9.97)), 1);

  const auto info = probe(dir.path / "movie.mov");
  ASSERT_FALSE(info.is_discarded());
  EXPECT_EQ(info["streams"][0]["width"], 64);
  EXPECT_EQ(std::stoul(info["streams"][0]["nb_read_frames"].get<std::string>()), times.size() + 1);
  EXPECT_NEAR(std::stod(info["streams"][0]["duration"].get<std::string>()), 4.97, 1e-3);
  const auto& packets = info["packets"];
  ASSERT_EQ(packets.size(), times.size() + 1);
  std::vector<double> keys;
  for (size_t i = 0; i < times.size(); ++i) {
    const double pts = std::stod(packets[i]["pts_time"].get<std::string>());
    EXPECT_NEAR(pts, i ? times[i] : 0.0, 1e-4) << i;  // the first opens the track
    if (packets[i]["flags"].get<std::string>().find('K') != std::string::npos) keys.push_back(pts);
  }
  // The first frame, then the first at or after 2 s and after 4 s.
  EXPECT_EQ(keys.size(), 3u);
  for (size_t i = 0; i < 3 && i < keys.size(); ++i)
    EXPECT_NEAR(keys[i], (std::vector<double>{0.0, 2.03, 4.43})[i], 1e-4);
}

TEST(MovieWriter, ConvertsToBt709LimitedRange) {
  ScratchDir dir;
  Movie m(dir.path / "red.mov", 64, 64, 30, hostTime(0));
  for (int i = 0; i < 3; ++i)
    ASSERT_TRUE(appendWhenReady(*m.input, bgraFrame(64, 64, 0xFFFF0000, hostTime(i / 30.0))));
  finishAndWait(*m.writer, *m.input, hostTime(0.1));
  const auto yuv =
      decode<uint8_t>(dir.path / "red.mov", "-frames:v 1 -f rawvideo -pix_fmt yuv420p");
  ASSERT_EQ(yuv.size(), 64u * 64 * 3 / 2);
  // Pure red in BT.709 limited range: Y 63, Cb 102, Cr 240 (BT.601 would give 81, 90, 240).
  EXPECT_NEAR(yuv[32 * 64 + 32], 63, 3);
  EXPECT_NEAR(yuv[64 * 64 + 16 * 32 + 16], 102, 3);
  EXPECT_NEAR(yuv[64 * 64 + 32 * 32 + 16 * 32 + 16], 240, 3);
}

TEST(MovieWriter, ReadinessTurnsFalseWhileTheEncoderIsBehindAndCompletionMayLetGo) {
  ScratchDir dir;
  Movie m(dir.path / "busy.mov", 1920, 1080, 60, hostTime(0));
  int accepted = 0;
  std::vector<SampleBufferRef> frames;
  for (int i = 0; i < 12; ++i)
    frames.push_back(bgraFrame(1920, 1080, 0xFF000000 | (i * 0x151515), hostTime(i / 60.0)));
  for (const auto& frame : frames) accepted += m.input->appendSampleBuffer(frame);
  EXPECT_LT(accepted, 12);
  EXPECT_TRUE(appendWhenReady(*m.input, bgraFrame(1920, 1080, 0, hostTime(0.5))));  // caught up
  std::atomic<bool> done{false};
  m.writer->endSessionAtSourceTime(hostTime(0.6));
  m.writer->finishWriting([&m, &done] {
    m.writer.reset();  // the last references, dropped on the completion's thread
    m.input.reset();
    done = true;
  });
  for (int i = 0; i < 4000 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_TRUE(done);
  EXPECT_EQ(probe(dir.path / "busy.mov")["packets"].size(), accepted + 1u);
}

TEST(MovieWriter, FinishingAWriterThatNeverStartedCompletesOnItsOwnThreadAndWritesNothing) {
  ScratchDir dir;
  auto writer = makeAssetWriter((dir.path / "never.mov").string(), FileType::quickTimeMovie);
  auto input = makeAssetWriterInput(MediaType::video,
                                    VideoSettings{kVideoCodecTypeH264, 64, 48, 6'000'000, 30});
  writer->addInput(input);
  EXPECT_FALSE(input->isReadyForMoreMediaData());
  EXPECT_FALSE(input->appendSampleBuffer(bgraFrame(64, 48, 0, hostTime(0))));
  std::promise<std::thread::id> completed;
  writer->finishWriting([&] { completed.set_value(std::this_thread::get_id()); });
  auto thread = completed.get_future();
  ASSERT_EQ(thread.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_NE(thread.get(), std::this_thread::get_id());
  EXPECT_FALSE(std::filesystem::exists(dir.path / "never.mov"));
}

TEST(MovieWriter, AFileThatCannotBeWrittenIsReportedWithTheSystemsReason) {
  auto writer = std::make_shared<MediaWriter>("/dev/full", FileType::quickTimeMovie);
  auto input = makeAssetWriterInput(MediaType::video,
                                    VideoSettings{kVideoCodecTypeH264, 64, 48, 6'000'000, 30});
  std::promise<std::string> reason;
  writer->setFailureHandler([&](const std::string& r) { reason.set_value(r); });
  writer->addInput(input);
  EXPECT_FALSE(writer->startWriting());
  auto reported = reason.get_future();
  ASSERT_EQ(reported.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(reported.get(), "No space left on device");
  EXPECT_FALSE(input->isReadyForMoreMediaData());
}

TEST(MovieWriter, RefusesUnusableSettingsAndPaths) {
  const VideoSettings good{kVideoCodecTypeH264, 1920, 1080, 8'294'400, 120};
  EXPECT_NO_THROW(makeAssetWriterInput(MediaType::video, good));
  std::vector<VideoSettings> bad(1, good);
  bad[0].codec = "hvc1";
  for (int64_t v : {int64_t{0}, int64_t{-2}, int64_t{641}, int64_t{16386}, INT64_MAX}) {
    bad.push_back(good), bad.back().width = v;
    bad.push_back(good), bad.back().height = v;
  }
  for (int64_t v : {int64_t{0}, int64_t{-1}, INT64_MAX}) {
    bad.push_back(good), bad.back().averageBitRate = v;
    bad.push_back(good), bad.back().expectedSourceFrameRate = v;
  }
  for (const auto& s : bad)
    EXPECT_THROW(makeAssetWriterInput(MediaType::video, s), PlatformError)
        << s.codec << " " << s.width << "x" << s.height << " " << s.averageBitRate << " "
        << s.expectedSourceFrameRate;
  EXPECT_THROW(makeAssetWriterInput(MediaType::video, AudioSettings{}), PlatformError);

  ScratchDir dir;
  try {
    makeAssetWriter((dir.path / "missing" / "x.mov").string(), FileType::quickTimeMovie);
    ADD_FAILURE() << "a missing directory was accepted";
  } catch (const PlatformError& e) {
    EXPECT_NE(e.localizedDescription().find("missing/x.mov"), std::string::npos);
    EXPECT_NE(e.localizedDescription().find("No such file or directory"), std::string::npos);
  }
  EXPECT_THROW(makeAssetWriter(dir.path.string(), FileType::quickTimeMovie), PlatformError);
  // Creating the writer leaves no file behind; a video input does not fit an M4A file.
  auto writer = makeAssetWriter((dir.path / "a.m4a").string(), FileType::appleM4A);
  EXPECT_FALSE(std::filesystem::exists(dir.path / "a.m4a"));
  EXPECT_THROW(writer->addInput(makeAssetWriterInput(MediaType::video, good)), PlatformError);
}

}  // namespace capture
