// The written timelines: pauses cut out to the tick, held-back audio placed
// by its captured time, dropped frames, and the end of the recording.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <functional>
#include <sstream>

#include "capture/recorder/recorder_fixture.hpp"

namespace capture {

namespace recorder_test {
namespace {

using Change = std::function<void(platform::SampleBuffer&)>;
Change status(platform::AttachmentValue v) {
  return [v](auto& b) { b.attachments->front()[platform::kStreamFrameInfoStatus] = v; };
}
// Frames that must be neither written nor counted: not complete, not valid.
const Change kUnwritable[] = {
    status(int64_t{platform::frameStatusIdle}),      status(int64_t{platform::frameStatusBlank}),
    status(int64_t{platform::frameStatusSuspended}), status(std::string("0")),
    [](auto& b) { b.attachments->front().clear(); }, [](auto& b) { b.attachments->clear(); },
    [](auto& b) { b.attachments.reset(); },          [](auto& b) { b.isValid = false; }};

// A recording (with system audio) played from a script of steps, each a
// letter and a time in seconds:
//   f a   a complete frame, audio, captured at that time
//   b     a tenth of a second of audio samples, captured from that time on
//   n u   a frame the input is not ready for; a frame without a time
//   i     each unwritable frame above, and a frame of an unknown output type
//   e     the stream reports an error
//   v w   the movie, the audio file can no longer be written
//   p r s pause, resume, stop, taking that clock reading (none: they read no clock)
// Samples in capitals arrive while the streams stop; after "s", once the files are finished.
// Returns what was written: "<video times> | <audio times> | <session> | <events>".
std::string play(const std::string& script) {
  fake::reset();
  fake::state().content = oneDisplay(1920, 1080);
  EventLog events;
  Recorder r(job("/nonexistent-dir/audio.m4a"), events);
  EXPECT_FALSE(r.start());
  auto& stream = mainStream();
  stream.outputs.push_back({&r, 2, stream.outputs.front().queue});
  std::vector<std::pair<platform::SampleBufferRef, int64_t>> whileStopping;
  stream.whileStopping = [&] {
    for (const auto& [buffer, type] : whileStopping) stream.deliver(buffer, type);
  };
  bool completed = false;
  std::istringstream steps(script);
  for (std::string step; steps >> step;) {
    const char kind = std::tolower(step[0]);
    const double t = step.size() > 1 ? std::stod(step.substr(1)) : 0;
    if (step.size() > 1 && std::strchr("prs", kind)) fake::state().hostTimes.push_back(seconds(t));
    if (kind == 'p') r.pause();
    if (kind == 'r') r.resume();
    if (kind == 's') completed = r.stop();
    if (kind == 'e') stream.failWith("The display was disconnected.");
    if (kind == 'v') movie().failWith("No space left on device");
    if (kind == 'w') audioFile().failWith("Input/output error");
    std::vector<std::pair<std::shared_ptr<platform::SampleBuffer>, int64_t>> samples;
    const int64_t screen = platform::streamOutputTypeScreen;
    if (kind == 'a') samples.emplace_back(sampleAt(t, false), platform::streamOutputTypeAudio);
    if (kind == 'b') {
      auto& b = *samples.emplace_back(sampleAt(t, false), platform::streamOutputTypeAudio).first;
      b.numSamples = 4800;
      b.timing.front().duration = CMTimeMake(1, 48000);
      b.audioBuffer = std::make_shared<platform::AudioBufferList>(
          platform::AudioBufferList{48000, 1, std::vector<float>(4800)});
    }
    if (std::strchr("fnui", kind)) samples.emplace_back(sampleAt(t, true), screen);
    if (kind == 'u') samples[0].first->timing.clear();
    if (kind == 'i') {
      samples[0].second = 2;  // not a known output type
      for (const auto& change : kUnwritable)
        change(*samples.emplace_back(sampleAt(t, true), screen).first);
    }
    videoInput().ready = kind != 'n';
    for (const auto& [sample, type] : samples) {
      if (std::isupper(step[0])) whileStopping.emplace_back(sample, type);
      if (std::islower(step[0])) stream.deliverAndWait(sample, type);
    }
    videoInput().ready = true;
  }

  // After a failure the failed file is left alone and the other finished.
  if (!completed) {
    EXPECT_EQ(movie().finishCalls + audioFile().finishCalls, 1);
  }
  // What holds for every completed recording: frames counted as written, the
  // duration that of the session, both files beginning at the first frame
  // and ending together, an audio file without audio never begun.
  const Event stopped = completed ? events.last("stopped") : Event::object();
  const auto& session = movie().sessionStart;
  const bool audio = !audioInput().appended.empty();
  if (completed) {
    EXPECT_EQ(stopped["frames"], videoInput().appended.size());
    EXPECT_EQ(movie().startWritingCalls + movie().finishCalls, session ? 2 : 0);
    EXPECT_EQ(audioFile().startWritingCalls + audioFile().finishCalls, audio ? 2 : 0);
    EXPECT_TRUE(!audio || (audioFile().sessionStart == session &&
                           audioFile().sessionEnd == movie().sessionEnd));
    EXPECT_EQ(stopped["systemAudio"], audio ? "/nonexistent-dir/audio.m4a" : "");
    if (session) {
      EXPECT_EQ(events.last("first-frame")["hostTime"], CMTimeGetSeconds(*session));
      EXPECT_DOUBLE_EQ(stopped["duration"].get<double>(),
                       CMTimeGetSeconds(CMTimeSubtract(*movie().sessionEnd, *session)));
    } else {
      EXPECT_TRUE(stopped["duration"].is_number_integer() && stopped["duration"] == 0);
    }
  }
  for (const auto& input : fake::state().inputs)
    EXPECT_TRUE(input->finished && input->appendsAfterFinished == 0);

  std::ostringstream written;
  written.precision(12);
  for (const auto& input : fake::state().inputs) {
    for (const double at : writtenTimes(*input)) written << at << " ";
    written << "| ";
  }
  if (session)
    written << CMTimeGetSeconds(*session) << "-"
            << CMTimeGetSeconds(*(movie().finishCalls ? movie() : audioFile()).sessionEnd);
  written << " |";
  for (const auto& e : events.all())
    written << " " << (e["event"] == "error" ? e.dump() : e.value("event", ""));
  return written.str();
}

TEST(Timeline, Scenarios) {
  // Forty pauses of half a second; the recorder keeps fewer pause spans than that.
  std::string manyPauses = "f1 ", manyEvents = "started first-frame";
  for (int i = 0; i < 40; ++i) {
    manyPauses += "p" + std::to_string(10 + i) + " r" + std::to_string(10 + i) + ".5 ";
    manyEvents += " paused resumed";
  }
  const std::pair<std::string, std::string> scenarios[] = {
      // Pauses come out of the video by the clock readings; a second pause and
      // a resume without a pause change nothing. Audio arrives late and is
      // placed by when it was captured: captured before a pause it is written
      // at its own time, during one it is left out, after one shifted by the
      // pauses that had ended by then.
      {"f100 a105 r p110 a109.9 a110 a112 f112 p r115 a114.9 a115 f120 p130 r131.5 a129.99 "
       "a130.5 a131.5 f140 a139 s150",
       "100 115 133.5 | 105 109.9 110 124.99 125 132.5 | 100-143.5 | started first-frame resumed "
       "paused paused resumed paused resumed stopped"},
      // While the streams stop: audio captured before the end is written,
      // frames and later audio are not; nothing after the files are finished.
      {"f100 p110 r115 a119 A119.8 F119.85 A119.99 A120 A120.1 s120 a119.9",
       "100 | 114 114.8 114.99 | 100-115 | started first-frame paused resumed stopped"},
      // Stopped while paused: the open pause does not count; audio from before it does.
      {"f100 p110 A109.9 A111 s112", "100 | 109.9 | 100-110 | started first-frame paused stopped"},
      // A pause before the first frame moves the session start.
      {"p5 r8 f10 a4.5 a6 a9 a10 s12", "7 | 7 | 7-9 | started paused resumed first-frame stopped"},
      // Audio from before the kept pause spans is left out, not misplaced.
      {manyPauses + "a2 a48.6 a49.2 a49.5 s60",
       "1 | 29.1 29.5 | 1-40 | " + manyEvents + " stopped"},
      {"a1 a2 s3", "| |  | started stopped"},
      // Audio that begins before the first frame or inside a pause keeps what follows.
      {"f100 b99.95 p110 r115 b114.95 b119.99 s120",
       "100 | 100 110 114.99 | 100-115 | started first-frame paused resumed stopped"},
      // Frames without a time never start the session; unwritable ones are never written.
      {"u0 i1 f3 i4 s5", "3 | | 3-5 | started first-frame stopped"},
      // The session starts with a frame the input is not ready for, which is not written.
      {"n50 f51 s52", "51 | | 50-52 | started first-frame stopped"},
      // A stream error is reported and the recording goes on.
      {"f1 e f2 s3",
       R"(1 2 | | 1-3 | started first-frame {"event":"error","message":"The display was disconnected."} stopped)"},
      // A file that fails takes nothing more and the other goes on; nothing
      // claims the recording is complete.
      {"f1 a1.5 v f2 a2.5 s3",
       R"(1 | 1.5 2.5 | 1-3 | started first-frame {"event":"error","message":"write-failed: /nonexistent-dir/movie.mov: No space left on device"})"},
      {"f1 a1.5 w a2.5 f2 s3",
       R"(1 2 | 1.5 | 1-3 | started first-frame {"event":"error","message":"write-failed: /nonexistent-dir/audio.m4a: Input/output error"})"}};
  for (const auto& [script, written] : scenarios) EXPECT_EQ(play(script), written) << script;
}

}  // namespace
}  // namespace recorder_test

}  // namespace capture
