// The written timelines: pauses cut out to the tick, lazy writer starts,
// held-back audio, dropped frames, and the end of the recording.
#include <gmock/gmock.h>

#include "recorder_fixture.hpp"

namespace recorder_test {
namespace {

using ::testing::DoubleEq;
using ::testing::ElementsAre;

TEST_F(RecorderTest, PausesAreCutOutOfTheTimelineAndStopWhileRunningEndsAtNowMinusOffset) {
  auto& r = start(job());
  frame(100.0);
  clockReads(110.0);
  r.pause();
  frame(112.0);  // paused: dropped
  clockReads(115.0);
  r.resume();
  frame(120.0);
  clockReads(130.0);
  r.pause();
  clockReads(131.5);
  r.resume();
  frame(140.0);
  clockReads(150.0);
  r.stop();

  EXPECT_THAT(writtenTimes(videoInput()), ElementsAre(100.0, 115.0, 133.5));
  EXPECT_EQ(movie().sessionStart, seconds(100.0));
  EXPECT_EQ(movie().sessionEnd, seconds(143.5));
  EXPECT_EQ(movie().startWritingCalls, 1);
  EXPECT_EQ(movie().finishCalls, 1);
  EXPECT_EQ(events.last("first-frame")["hostTime"], 100.0);
  const Event stopped = events.last("stopped");
  EXPECT_EQ(stopped["frames"], 3);
  EXPECT_DOUBLE_EQ(stopped["duration"].get<double>(), 43.5);
  EXPECT_EQ(stopped["output"], "/nonexistent-dir/movie.mov");
  EXPECT_EQ(stopped["systemAudio"], "");
  EXPECT_THAT(events.names(), ElementsAre("started", "first-frame", "paused", "resumed", "paused",
                                          "resumed", "stopped"));
}

// Audio reaches the queue long after it was captured (a quarter second at
// worst on a real sound server), so it is placed by its own time: each case
// delivers it after the pause, resume or stop that followed its capture.
Options jobWithAudio() {
  Options options = job();
  options.systemAudio = "/nonexistent-dir/audio.m4a";
  return options;
}

TEST_F(RecorderTest, LateAudioAroundPausesIsPlacedByItsCapturedTime) {
  auto& r = start(jobWithAudio());
  frame(100.0);
  audio(105.0);
  clockReads(110.0);
  r.pause();
  audio(109.9);  // captured before the pause: written at its own time
  audio(110.0);  // captured as the pause began: left out
  audio(112.0);
  frame(112.0);
  clockReads(115.0);
  r.resume();
  audio(114.9);  // captured in the pause: left out, not put before the pause point
  audio(115.0);
  frame(120.0);
  clockReads(130.0);
  r.pause();
  clockReads(131.5);
  r.resume();
  audio(129.99);  // delivered after the second pause: shifted by the first only
  audio(130.5);
  audio(131.5);
  frame(140.0);
  audio(139.0);  // late behind a frame
  clockReads(150.0);
  r.stop();

  EXPECT_THAT(writtenTimes(videoInput()), ElementsAre(100.0, 115.0, 133.5));
  EXPECT_THAT(writtenTimes(audioInput()),
              ElementsAre(DoubleEq(105.0), DoubleEq(109.9), DoubleEq(110.0), DoubleEq(124.99),
                          DoubleEq(125.0), DoubleEq(132.5)));
  EXPECT_EQ(audioFile().sessionStart, seconds(100.0));
  EXPECT_EQ(audioFile().sessionEnd, seconds(143.5));
  EXPECT_DOUBLE_EQ(events.last("stopped")["duration"].get<double>(), 43.5);
  EXPECT_EQ(events.last("stopped")["frames"], 3);
}

TEST_F(RecorderTest, AudioCapturedBeforeTheEndIsWrittenUpToItWhileTheStreamsStop) {
  auto& r = start(jobWithAudio());
  frame(100.0);
  clockReads(110.0);
  r.pause();
  clockReads(115.0);
  r.resume();
  audio(119.0);
  mainStream().whileStopping = [this] {
    mainStream().deliver(audioAt(119.8), platform::streamOutputTypeAudio);
    mainStream().deliver(frameAt(119.85), platform::streamOutputTypeScreen);  // frames: dropped
    mainStream().deliver(audioAt(119.99), platform::streamOutputTypeAudio);
    mainStream().deliver(audioAt(120.0), platform::streamOutputTypeAudio);
    mainStream().deliver(audioAt(120.1), platform::streamOutputTypeAudio);
  };
  clockReads(120.0);
  r.stop();
  audio(119.9);  // after the files are finished

  EXPECT_THAT(writtenTimes(videoInput()), ElementsAre(100.0));
  EXPECT_THAT(writtenTimes(audioInput()),
              ElementsAre(DoubleEq(114.0), DoubleEq(114.8), DoubleEq(114.99)));
  EXPECT_EQ(audioFile().sessionEnd, seconds(115.0));
  EXPECT_EQ(audioInput().appendsAfterFinished, 0);
  EXPECT_EQ(events.last("stopped")["frames"], 1);
  EXPECT_DOUBLE_EQ(events.last("stopped")["duration"].get<double>(), 15.0);
}

TEST_F(RecorderTest, AStopWhilePausedKeepsLateAudioFromBeforeThePauseOnly) {
  auto& r = start(jobWithAudio());
  frame(100.0);
  clockReads(110.0);
  r.pause();
  mainStream().whileStopping = [this] {
    mainStream().deliver(audioAt(109.9), platform::streamOutputTypeAudio);
    mainStream().deliver(audioAt(111.0), platform::streamOutputTypeAudio);
  };
  clockReads(112.0);
  r.stop();

  // The audio file starts with the late audio, even though it came after stop().
  EXPECT_THAT(writtenTimes(audioInput()), ElementsAre(DoubleEq(109.9)));
  EXPECT_EQ(audioFile().startWritingCalls, 1);
  EXPECT_EQ(audioFile().finishCalls, 1);
  EXPECT_EQ(audioFile().sessionEnd, seconds(110.0));
  EXPECT_EQ(events.last("stopped")["systemAudio"], "/nonexistent-dir/audio.m4a");
}

TEST_F(RecorderTest, LateAudioFromBeforeTheFirstFrameStaysOutAfterAnEarlyPause) {
  auto& r = start(jobWithAudio());
  clockReads(5.0);
  r.pause();
  clockReads(8.0);
  r.resume();
  frame(10.0);  // the session starts at 7.0
  audio(4.5);   // before the pause: would land before the session start
  audio(6.0);   // in the pause
  audio(9.0);   // after the resume but before the first frame
  audio(10.0);
  clockReads(12.0);
  r.stop();

  EXPECT_THAT(writtenTimes(audioInput()), ElementsAre(DoubleEq(7.0)));
  EXPECT_EQ(audioFile().sessionStart, seconds(7.0));
}

TEST_F(RecorderTest, LateAudioStillPlacesExactlyAfterManyPauses) {
  auto& r = start(jobWithAudio());
  frame(1.0);
  for (int i = 0; i < 40; ++i) {
    clockReads(10.0 + i);
    r.pause();
    clockReads(10.5 + i);
    r.resume();
  }
  // From before the pauses the recorder still keeps: left out rather than
  // placed as if those were all the pauses there were.
  audio(2.0);
  audio(48.6);  // between the last two pauses: shifted by 39 of them
  audio(49.2);  // in the last pause
  audio(49.5);
  clockReads(60.0);
  r.stop();

  EXPECT_THAT(writtenTimes(audioInput()), ElementsAre(DoubleEq(29.1), DoubleEq(29.5)));
  EXPECT_DOUBLE_EQ(events.last("stopped")["duration"].get<double>(), 39.0);
}

TEST_F(RecorderTest, AudioOnlyBeforeTheFirstFrameLeavesTheAudioFileUnwritten) {
  Options options = job();
  options.systemAudio = "/nonexistent-dir/audio.m4a";
  auto& r = start(options);
  audio(1.0);
  audio(2.0);
  clockReads(3.0);
  r.stop();

  EXPECT_TRUE(audioInput().appended.empty());
  EXPECT_EQ(audioFile().finishCalls, 0);
  EXPECT_TRUE(audioInput().finished);
  const Event stopped = events.last("stopped");
  EXPECT_EQ(stopped["frames"], 0);
  EXPECT_TRUE(stopped["duration"].is_number_integer());
  EXPECT_EQ(stopped["duration"], 0);
  EXPECT_EQ(stopped["systemAudio"], "");
  EXPECT_EQ(movie().finishCalls, 0);
  EXPECT_EQ(movie().startWritingCalls, 0);
}

TEST_F(RecorderTest, OnlyCompleteFramesAreWrittenAndCounted) {
  auto& r = start(job());
  frame(1.0, platform::frameStatusIdle);
  frame(2.0, platform::frameStatusBlank);
  auto noAttachments = std::make_shared<platform::SampleBuffer>(*frameAt(3.0));
  noAttachments->attachments.reset();
  mainStream().deliverAndWait(noAttachments, platform::streamOutputTypeScreen);
  auto emptyAttachments = std::make_shared<platform::SampleBuffer>(*frameAt(4.0));
  emptyAttachments->attachments->clear();
  mainStream().deliverAndWait(emptyAttachments, platform::streamOutputTypeScreen);
  auto noStatus = std::make_shared<platform::SampleBuffer>(*frameAt(5.0));
  noStatus->attachments->front().clear();
  mainStream().deliverAndWait(noStatus, platform::streamOutputTypeScreen);
  auto textStatus = std::make_shared<platform::SampleBuffer>(*frameAt(6.0));
  textStatus->attachments->front()[platform::kStreamFrameInfoStatus] = std::string("0");
  mainStream().deliverAndWait(textStatus, platform::streamOutputTypeScreen);
  auto invalid = std::make_shared<platform::SampleBuffer>(*frameAt(7.0));
  invalid->isValid = false;
  mainStream().deliverAndWait(invalid, platform::streamOutputTypeScreen);
  // Not a known output type.
  mainStream().outputs.push_back({recorder.get(), 2, mainStream().outputs.front().queue});
  mainStream().deliverAndWait(frameAt(7.5), 2);
  EXPECT_EQ(movie().startWritingCalls, 0);

  frame(8.0);
  frame(9.0, platform::frameStatusSuspended);
  frame(10.0);
  clockReads(11.0);
  r.stop();

  EXPECT_THAT(writtenTimes(videoInput()), ElementsAre(8.0, 10.0));
  EXPECT_EQ(events.last("first-frame")["hostTime"], 8.0);
  EXPECT_EQ(events.last("stopped")["frames"], 2);
}

TEST_F(RecorderTest, AFrameWithoutATimeNeverStartsTheSession) {
  auto& r = start(job());
  auto untimed = std::make_shared<platform::SampleBuffer>(*frameAt(0.0));
  untimed->timing.clear();
  mainStream().deliverAndWait(untimed, platform::streamOutputTypeScreen);
  EXPECT_EQ(movie().startWritingCalls, 0);
  frame(3.0);
  clockReads(4.0);
  r.stop();
  EXPECT_THAT(writtenTimes(videoInput()), ElementsAre(3.0));
  EXPECT_DOUBLE_EQ(events.last("stopped")["duration"].get<double>(), 1.0);
}

TEST_F(RecorderTest, AnInputThatIsNotReadyDropsFramesAfterTheSessionHasStarted) {
  auto& r = start(job());
  videoInput().ready = false;
  frame(50.0);
  EXPECT_EQ(movie().startWritingCalls, 1);
  EXPECT_EQ(movie().sessionStart, seconds(50.0));
  EXPECT_EQ(events.last("first-frame")["hostTime"], 50.0);
  videoInput().ready = true;
  frame(51.0);
  clockReads(52.0);
  r.stop();
  EXPECT_THAT(writtenTimes(videoInput()), ElementsAre(51.0));
  EXPECT_EQ(events.last("stopped")["frames"], 1);
  EXPECT_DOUBLE_EQ(events.last("stopped")["duration"].get<double>(), 2.0);
}

TEST_F(RecorderTest, AStreamErrorIsReportedAndTheRecordingGoesOn) {
  auto& r = start(job());
  frame(1.0);
  mainStream().failWith("The display was disconnected.");
  frame(2.0);
  clockReads(3.0);
  r.stop();
  EXPECT_THAT(events.names(), ElementsAre("started", "first-frame", "error", "stopped"));
  const Event error = events.all()[2];
  EXPECT_EQ(error.size(), 2u);
  EXPECT_EQ(error["message"], "The display was disconnected.");
  EXPECT_EQ(events.last("stopped")["frames"], 2);
}

}  // namespace
}  // namespace recorder_test
