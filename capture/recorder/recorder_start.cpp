// Set-up and start of a recording: target, output size, capture
// configuration, writers, audio routing, capture start.
#include <algorithm>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "platform/clock.hpp"
#include "platform/content.hpp"
#include "platform/error.hpp"
#include "platform/filter.hpp"
#include "recorder/completion.hpp"
#include "recorder/output_size.hpp"
#include "recorder/recorder.hpp"
#include "target/capture_target.hpp"

namespace capture {

using namespace platform;

namespace {

constexpr int64_t kQueueDepth = 6;
constexpr int64_t kSampleRate = 48000;
constexpr int64_t kChannelCount = 2;
constexpr int64_t kAudioBitRate = 192000;
constexpr CMTime kFragmentInterval{1200, 600, kCMTimeFlags_Valid, 0};  // 2 s

// Removes an earlier recording; whether there was one, or the removal
// worked, does not matter here.
void removeEarlierFile(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
}

// The file a path names as far as it can be told before it exists: absolute,
// with the links and dot-dots of its directory resolved, and a final symbolic
// link followed (even one whose target does not exist yet).
std::filesystem::path resolvedPath(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path p = fs::absolute(path, ec);
  for (int links = 0; links < 40; ++links) {
    p = fs::weakly_canonical(p.parent_path(), ec) / p.filename();
    if (!fs::is_symlink(fs::symlink_status(p, ec))) break;
    const fs::path target = fs::read_symlink(p, ec);
    if (ec) break;
    p = target.is_absolute() ? target : p.parent_path() / target;
  }
  return p.lexically_normal();
}

// Whether two paths name one file: the same resolved path, or, for files
// that exist, the same file under two names.
bool sameFile(const std::string& a, const std::string& b) {
  std::error_code ec;
  return resolvedPath(a) == resolvedPath(b) || std::filesystem::equivalent(a, b, ec);
}

// The applications of the content whose bundle identifier is one of the
// wanted ones, in the content's order. One whose process is not known (most
// Wayland desktops do not tell it) cannot have its sound told apart.
std::vector<RunningApplication> matchingApplications(const ShareableContent& content,
                                                     const std::vector<std::string>& wanted) {
  std::vector<RunningApplication> kept;
  for (const auto& application : content.applications)
    if (application.processID > 0 &&
        std::find(wanted.begin(), wanted.end(), application.bundleIdentifier) != wanted.end())
      kept.push_back(application);
  return kept;
}

// The configuration of the stream that carries only chosen applications'
// audio: the smallest frames, at most once a second, never written.
StreamConfiguration applicationAudioConfiguration() {
  StreamConfiguration configuration;
  configuration.width = 2;
  configuration.height = 2;
  configuration.minimumFrameInterval = CMTimeMake(1, 1);
  configuration.capturesAudio = true;
  configuration.sampleRate = kSampleRate;
  configuration.channelCount = kChannelCount;
  configuration.excludesCurrentProcessAudio = true;
  return configuration;
}

}  // namespace

void Recorder::startCapture(Stream& capture) {
  if (auto error = awaitCompletion([&](Completion done) { capture.startCapture(std::move(done)); }))
    throw *error;
}

std::function<void(const std::string&)> Recorder::reportWriteFailure(const std::string& path,
                                                                     std::atomic<bool>& failed) {
  return [this, path, &failed](const std::string& reason) {
    failed = true;
    events.emit({{"event", "error"}, {"message", "write-failed: " + path + ": " + reason}});
  };
}

std::optional<StartError> Recorder::start() {
  const ShareableContent content = getShareableContent(false, true);
  auto resolved = captureTarget(options, content);
  if (const auto* error = std::get_if<TargetError>(&resolved)) return *error;
  const CaptureTarget& target = std::get<CaptureTarget>(resolved);

  std::optional<Display> audioDisplay = target.display;
  if (!audioDisplay && !content.displays.empty()) audioDisplay = content.displays.front();

  const OutputSize size = recordingSize(target.width, target.height, options.maxWidth);
  const bool applicationAudio = options.audioApps && !options.audioApps->empty();

  StreamConfiguration configuration;
  configuration.width = size.width;
  configuration.height = size.height;
  configuration.minimumFrameInterval = CMTimeMake(1, captureFrameRate(options.fps));
  if (target.sourceRect) configuration.sourceRect = *target.sourceRect;
  configuration.showsCursor = options.showsCursor.value_or(false);
  configuration.pixelFormat = kPixelFormatBGRA;
  configuration.queueDepth = kQueueDepth;
  configuration.capturesAudio = options.systemAudio.has_value() && !applicationAudio;
  configuration.sampleRate = kSampleRate;
  configuration.channelCount = kChannelCount;
  configuration.excludesCurrentProcessAudio = true;

  if (options.systemAudio && sameFile(options.output, *options.systemAudio))
    return SameOutputFiles{};
  removeEarlierFile(options.output);
  videoWriter = makeAssetWriter(options.output, FileType::quickTimeMovie);

  VideoSettings videoSettings;
  videoSettings.codec = kVideoCodecTypeH264;
  videoSettings.width = size.width;
  videoSettings.height = size.height;
  const auto bitRate = videoAverageBitRate(size.width, size.height);
  if (!bitRate)
    throw PlatformError("The output size " + std::to_string(size.width) + " x " +
                        std::to_string(size.height) + " is too large to encode.");
  videoSettings.averageBitRate = *bitRate;
  videoSettings.expectedSourceFrameRate = expectedSourceFrameRate(options.fps);

  videoInput = makeAssetWriterInput(MediaType::video, videoSettings);
  videoInput->setExpectsMediaDataInRealTime(true);
  videoWriter->setMovieFragmentInterval(kFragmentInterval);
  videoWriter->setFailureHandler(reportWriteFailure(options.output, videoFailed));
  videoWriter->addInput(videoInput);

  if (options.systemAudio) {
    removeEarlierFile(*options.systemAudio);
    auto writer = makeAssetWriter(*options.systemAudio, FileType::appleM4A);
    AudioSettings audioSettings;
    audioSettings.formatID = kAudioFormatMPEG4AAC;
    audioSettings.sampleRate = static_cast<double>(kSampleRate);
    audioSettings.numberOfChannels = kChannelCount;
    audioSettings.encoderBitRate = kAudioBitRate;
    auto input = makeAssetWriterInput(MediaType::audio, audioSettings);
    input->setExpectsMediaDataInRealTime(true);
    writer->setMovieFragmentInterval(kFragmentInterval);
    writer->setFailureHandler(reportWriteFailure(*options.systemAudio, audioFailed));
    writer->addInput(input);
    audioWriter = std::move(writer);
    audioInput = std::move(input);
  }

  StreamRef mainStream = makeStream(target.filter, configuration, this);
  mainStream->addStreamOutput(*this, streamOutputTypeScreen, queue);

  StreamRef applicationStream;
  if (audioWriter) {
    if (!applicationAudio) {
      mainStream->addStreamOutput(*this, streamOutputTypeAudio, queue);
    } else {
      const ShareableContent everything = getShareableContent(false, false);
      auto applications = matchingApplications(everything, *options.audioApps);
      if (applications.empty() || !audioDisplay) return AudioAppsNotRunning{};
      applicationStream =
          makeStream(makeDisplayFilterIncluding(*audioDisplay, std::move(applications), {}),
                     applicationAudioConfiguration(), this);
      applicationStream->addStreamOutput(*this, streamOutputTypeAudio, queue);
    }
  }

  // The applications' audio first: its start returns once their sound flows,
  // and the recording's timeline begins with the screen's first frame.
  if (applicationStream) {
    startCapture(*applicationStream);
    audioStream = applicationStream;
  }
  startCapture(*mainStream);
  stream = mainStream;

  events.emit({{"event", "started"},
               {"width", size.width},
               {"height", size.height},
               {"time", wallClockNow()}});
  return std::nullopt;
}

}  // namespace capture
