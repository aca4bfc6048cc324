#include "platform/linux/media/writer.hpp"

#include <utility>

#include "platform/error.hpp"
#include "platform/linux/media/audio_track_encoder.hpp"
#include "platform/linux/media/ffmpeg_support.hpp"
#include "platform/linux/media/video_track_encoder.hpp"
#include "platform/linux/media/writer_settings.hpp"

namespace capture {

namespace platform {

namespace {

// Frames waiting for the encoder: a few, so that a live source is never held
// up but a slow encoder soon shows as "not ready". Four ride out an encoder
// that falls a frame or two behind at 60 frames/s, and still leave the
// capture pool of six (frames queued, being converted, being grabbed) a free
// one. Audio buffers are short (about 10 ms) and a dropped one is heard, so
// more of them may wait: enough to ride out the audio thread losing the cores
// to the video encoder for a moment.
constexpr int kVideoQueueCapacity = 4;
constexpr int kAudioQueueCapacity = 16;

// How long after a fragment was due to end, with no frame come to start the
// next one, the writer hands it to the file by itself: a little more than the
// way from the capture to the writer, so that under steady motion the next
// frame cuts the fragment as usual.
constexpr double kFragmentGrace = 0.1;

// What a failure is reported as: the system's reason when the file could not
// be written, else the whole description.
std::string reasonOf(const PlatformError& error) {
  const auto* write = dynamic_cast<const WriteError*>(&error);
  return write ? write->reason : error.localizedDescription();
}

}  // namespace

MediaInput::MediaInput(MediaType type, OutputSettings s)
    : mediaType(type), settings(std::move(s)) {}

void MediaInput::setExpectsMediaDataInRealTime(bool) {
  // Always tuned for live sources: no lookahead, short queue.
}

bool MediaInput::isReadyForMoreMediaData() {
  const auto writer = writer_.lock();
  return writer && writer->isReady();
}

bool MediaInput::appendSampleBuffer(const SampleBufferRef& sampleBuffer) {
  const auto writer = writer_.lock();
  return writer && writer->append(sampleBuffer);
}

void MediaInput::markAsFinished() {
  if (const auto writer = writer_.lock()) writer->markInputFinished();
}

MediaWriter::MediaWriter(std::string path, FileType fileType)
    : path_(std::move(path)), fileType_(fileType), queue_("orvik.writer") {}

MediaWriter::~MediaWriter() = default;

void MediaWriter::setMovieFragmentInterval(CMTime interval) {
  if (CMTimeIsNumeric(interval) && CMTimeGetSeconds(interval) > 0) fragmentInterval_ = interval;
}

void MediaWriter::setFailureHandler(std::function<void(const std::string&)> handler) {
  failureHandler_ = std::move(handler);
}

void MediaWriter::fail(const std::string& reason) {
  if (failed_.exchange(true)) return;
  if (file_) file_->abandon();
  if (failureHandler_) failureHandler_(reason);
}

// A screen that goes still sends no frames, so the frame that would end the
// open fragment may not come for a long time. Once the fragment's time is
// up, it goes to the file without waiting, so that a recording that is
// killed keeps what was captured more than one fragment interval earlier.
std::optional<std::chrono::steady_clock::time_point> MediaWriter::fragmentDue() const {
  const auto remaining = encoder_->secondsUntilFragmentEnds();
  if (!remaining) return std::nullopt;
  return lastEncodedAt_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(*remaining + kFragmentGrace));
}

void MediaWriter::watchFragment() {
  if (watching_ || failed_ || finishing_) return;
  const auto due = fragmentDue();
  if (!due) return;
  watching_ = true;
  const std::chrono::duration<double> wait = *due - std::chrono::steady_clock::now();
  queue_.asyncAfter(wait.count(), [this] {
    watching_ = false;
    if (failed_ || finishing_) return;
    const auto due = fragmentDue();
    if (!due) return;
    // Frames came meanwhile: look again when the fragment now open is due.
    if (std::chrono::steady_clock::now() < *due) return watchFragment();
    try {
      encoder_->endFragment(*file_);
    } catch (const PlatformError& error) {
      fail(reasonOf(error));
    }
  });
}

void MediaWriter::addInput(const AssetWriterInputRef& input) {
  auto media = std::dynamic_pointer_cast<MediaInput>(input);
  if (!media) throw PlatformError("The input was not made for this media writer.");
  if (input_) throw PlatformError("The media writer already has an input.");
  if (started_) throw PlatformError("Inputs cannot be added once writing has started.");
  if (fileType_ == FileType::quickTimeMovie && media->mediaType == MediaType::video) {
    encoder_ = makeVideoTrackEncoder(std::get<VideoSettings>(media->settings));
    capacity_ = kVideoQueueCapacity;
  } else if (fileType_ == FileType::appleM4A && media->mediaType == MediaType::audio) {
    encoder_ = makeAudioTrackEncoder(std::get<AudioSettings>(media->settings));
    capacity_ = kAudioQueueCapacity;
  } else {
    throw PlatformError("This file type cannot hold that kind of media.");
  }
  input_ = media;
  media->writer_ = weak_from_this();
}

bool MediaWriter::startWriting() {
  if (started_) return !failed_;
  started_ = true;
  if (!encoder_) {
    failed_ = true;
    return false;
  }
  const CMTime fragment = CMTimeConvertScale(fragmentInterval_, encoder_->timescale());
  encoder_->fragmentLength = fragment.value > 0 ? fragment.value : 1;
  try {
    file_ = std::make_unique<FragmentedFile>(
        path_, fileType_ == FileType::quickTimeMovie ? "mov" : "ipod", encoder_->codec());
  } catch (const PlatformError& error) {
    // Reported from the writer's thread, as every failure is.
    queue_.async([this, reason = reasonOf(error)] { fail(reason); });
    return false;
  }
  return true;
}

void MediaWriter::startSessionAtSourceTime(CMTime time) {
  if (!sessionStart_ && CMTimeIsNumeric(time)) sessionStart_ = time;
}

void MediaWriter::endSessionAtSourceTime(CMTime time) {
  if (CMTimeIsNumeric(time)) sessionEnd_ = time;
}

std::optional<int64_t> MediaWriter::positionOf(CMTime time) const {
  if (!sessionStart_ || !encoder_) return std::nullopt;
  const CMTime position =
      CMTimeConvertScale(CMTimeSubtract(time, *sessionStart_), encoder_->timescale());
  if (!CMTimeIsNumeric(position)) return std::nullopt;
  return position.value;
}

bool MediaWriter::isReady() const {
  return started_ && file_ && !finishing_ && !inputFinished_ && !failed_ &&
         pending_.load() < capacity_;
}

bool MediaWriter::append(const SampleBufferRef& sample) {
  if (!sample || !sample->isValid || !isReady() || !sessionStart_) return false;
  auto position = positionOf(presentationTimeStamp(*sample));
  if (position) position = encoder_->admit(*sample, *position);
  if (!position) return false;
  ++pending_;
  queue_.async([this, buffer = sample, at = *position]() mutable {
    if (!failed_) {
      try {
        // Handed over, so the encoder can let the pixels go once converted.
        encoder_->encode(std::move(buffer), at, *file_);
        lastEncodedAt_ = std::chrono::steady_clock::now();
        watchFragment();
      } catch (const PlatformError& error) {
        fail(reasonOf(error));
      }
    }
    buffer.reset();
    --pending_;
  });
  return true;
}

void MediaWriter::finishWriting(std::function<void()> completion) {
  if (!completion) completion = [] {};
  if (finishing_) {
    // A repeated call completes once the file is done.
    queue_.async([completion = std::move(completion)]() mutable {
      dispatchGlobalAsync(std::move(completion));
    });
    return;
  }
  if (!started_ || !file_) {
    // Nothing was written: nothing to finish.
    dispatchGlobalAsync(std::move(completion));
    return;
  }
  finishing_ = true;
  std::optional<int64_t> end;
  if (sessionEnd_) end = positionOf(*sessionEnd_);
  queue_.async([this, end, completion = std::move(completion)]() mutable {
    try {
      // A failed file is left as it was at the failure.
      if (!failed_) encoder_->finish(end, *file_);
    } catch (const PlatformError& error) {
      fail(reasonOf(error));
    }
    // On a thread apart from the encoding thread, so that a completion that
    // lets go of the writer does not pull the thread out from under itself.
    dispatchGlobalAsync(std::move(completion));
  });
}

AssetWriterRef makeAssetWriter(const std::string& path, FileType fileType) {
  ffmpeg::silenceLogging();
  checkFileCanBeCreated(path);
  return std::make_shared<MediaWriter>(path, fileType);
}

AssetWriterInputRef makeAssetWriterInput(MediaType mediaType, const OutputSettings& settings) {
  if (mediaType == MediaType::video) {
    const auto* video = std::get_if<VideoSettings>(&settings);
    if (!video) throw PlatformError("A video input needs video settings.");
    checkVideoSettings(*video);
  } else {
    const auto* audio = std::get_if<AudioSettings>(&settings);
    if (!audio) throw PlatformError("An audio input needs audio settings.");
    checkAudioSettings(*audio);
  }
  return std::make_shared<MediaInput>(mediaType, settings);
}

}  // namespace platform

}  // namespace capture
