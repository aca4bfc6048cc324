#include "platform/linux/media/video_track_encoder.hpp"

#include <cstdint>
#include <cstring>
#include <string>

#include "platform/error.hpp"
#include "platform/linux/media/ffmpeg_support.hpp"
#include "platform/linux/media/picture_converter.hpp"
#include "platform/linux/media/writer_settings.hpp"

extern "C" {
#include <libavutil/opt.h>
}

namespace capture {

namespace platform {

namespace {

using ffmpeg::CodecContextPtr;
using ffmpeg::FramePtr;
using ffmpeg::PacketPtr;

class VideoTrackEncoder : public TrackEncoder {
 public:
  explicit VideoTrackEncoder(const VideoSettings& settings);

  const AVCodecContext& codec() const override { return *codec_; }
  int32_t timescale() const override { return kVideoTimescale; }
  std::optional<int64_t> admit(const SampleBuffer& sample, int64_t position) override;
  void encode(SampleBufferRef sample, int64_t position, FragmentedFile& file) override;
  void finish(std::optional<int64_t> end, FragmentedFile& file) override;
  std::optional<double> secondsUntilFragmentEnds() const override;
  void endFragment(FragmentedFile& file) override;

 private:
  FramePtr newPicture() const;
  void warmUp();
  void drain(FragmentedFile* file);

  CodecContextPtr codec_;
  int64_t frameDuration_;  // positions, for a last frame with no end time
  // Caller's thread.
  std::optional<int64_t> lastAdmitted_;
  // Writer's thread.
  PictureConverter converter_;
  int64_t nextFragmentAt_ = 0;
  std::optional<int64_t> lastEncoded_;
  bool fragmentOpen_ = false;
};

[[noreturn]] void refuse(const std::string& what, int code) {
  throw PlatformError("The H.264 encoder " + what + " (" + ffmpeg::errorText(code) + ").");
}

VideoTrackEncoder::VideoTrackEncoder(const VideoSettings& s)
    : frameDuration_(kVideoTimescale / s.expectedSourceFrameRate),
      converter_(static_cast<int>(s.width), static_cast<int>(s.height)) {
  ffmpeg::silenceLogging();
  const AVCodec* x264 = avcodec_find_encoder_by_name("libx264");
  if (!x264) refuse("is not available", AVERROR_ENCODER_NOT_FOUND);
  codec_.reset(avcodec_alloc_context3(x264));
  if (!codec_) refuse("could not be set up", AVERROR(ENOMEM));
  AVCodecContext& c = *codec_;
  c.width = static_cast<int>(s.width);
  c.height = static_cast<int>(s.height);
  c.pix_fmt = AV_PIX_FMT_YUV420P;
  c.time_base = AVRational{1, kVideoTimescale};
  c.framerate = AVRational{static_cast<int>(s.expectedSourceFrameRate), 1};
  c.bit_rate = s.averageBitRate;
  c.color_primaries = AVCOL_PRI_BT709;
  c.color_trc = AVCOL_TRC_BT709;
  c.colorspace = AVCOL_SPC_BT709;
  c.color_range = AVCOL_RANGE_MPEG;
  c.max_b_frames = 0;
  c.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  av_opt_set(c.priv_data, "preset", kX264Preset, 0);
  av_opt_set(c.priv_data, "forced-idr", "1", 0);
  // Nothing is held back, so every frame comes out as soon as it goes in: a
  // still screen sends no frames, and a frame held until later ones arrive
  // could stay out of the file for seconds. So no lookahead; threads that
  // share each frame (slices) rather than work on several frames at once;
  // and rate control that counts frames at the expected rate instead of
  // waiting for the next frame's time to learn how long this one lasts.
  // Keyframes come only where the writer asks for them (at fragment
  // boundaries).
  av_opt_set(c.priv_data, "x264-params",
             "bframes=0:rc-lookahead=0:sync-lookahead=0:scenecut=0:keyint=infinite:"
             "sliced-threads=1:force-cfr=1",
             0);
  const int rc = avcodec_open2(&c, x264, nullptr);
  if (rc < 0) refuse("refused the settings", rc);
  if (frameDuration_ <= 0) frameDuration_ = 1;
  warmUp();
}

// An encoder-sized picture with its planes allocated.
FramePtr VideoTrackEncoder::newPicture() const {
  FramePtr frame(av_frame_alloc());
  if (!frame) refuse("ran out of memory", AVERROR(ENOMEM));
  frame->format = AV_PIX_FMT_YUV420P;
  frame->width = codec_->width;
  frame->height = codec_->height;
  const int rc = av_frame_get_buffer(frame.get(), 0);
  if (rc < 0) refuse("ran out of memory", rc);
  return frame;
}

// x264 sets up each of its threads' pictures and buffers on first use, which
// made each of the first few frames of a recording cost several times a
// steady frame; at 60 frames/s the queue in front of the encoder filled and
// the recording lost frames at its start. So a few blank frames go through
// the encoder here, before the recording starts, and their packets (all at
// positions before the recording's first) are thrown away. The recording's
// first frame is an IDR picture, so nothing refers back to them.
void VideoTrackEncoder::warmUp() {
  constexpr int kWarmUpFrames = 6;
  FramePtr frame = newPicture();
  const int chromaRows = (codec_->height + 1) / 2;
  std::memset(frame->data[0], 16, static_cast<size_t>(frame->linesize[0]) * codec_->height);
  std::memset(frame->data[1], 128, static_cast<size_t>(frame->linesize[1]) * chromaRows);
  std::memset(frame->data[2], 128, static_cast<size_t>(frame->linesize[2]) * chromaRows);
  for (int i = 0; i < kWarmUpFrames; ++i) {
    frame->pts = i - kWarmUpFrames;
    const int rc = avcodec_send_frame(codec_.get(), frame.get());
    if (rc < 0) refuse("failed", rc);
    drain(nullptr);
  }
}

std::optional<int64_t> VideoTrackEncoder::admit(const SampleBuffer& sample, int64_t position) {
  const PixelBuffer* pixels = sample.imageBuffer.get();
  if (!pixels || pixels->pixelFormat != kPixelFormatBGRA || !pixels->baseAddress)
    return std::nullopt;
  if (pixels->width <= 0 || pixels->height <= 0 || pixels->width > kMaxVideoDimension ||
      pixels->height > kMaxVideoDimension ||
      pixels->bytesPerRow < static_cast<size_t>(pixels->width) * 4 ||
      pixels->bytesPerRow > static_cast<size_t>(INT32_MAX))
    return std::nullopt;
  if (position < 0) return std::nullopt;
  // The first frame opens the track at the session start; later ones keep
  // their own times, strictly increasing.
  if (!lastAdmitted_) position = 0;
  if (lastAdmitted_ && position <= *lastAdmitted_) return std::nullopt;
  lastAdmitted_ = position;
  return position;
}

void VideoTrackEncoder::encode(SampleBufferRef sample, int64_t position, FragmentedFile& file) {
  AVFrame& frame = converter_.convert(*sample->imageBuffer);
  sample.reset();  // the capture pool gets its buffer back
  frame.pts = position;
  frame.color_primaries = AVCOL_PRI_BT709;
  frame.color_trc = AVCOL_TRC_BT709;
  frame.colorspace = AVCOL_SPC_BT709;
  frame.color_range = AVCOL_RANGE_MPEG;
  frame.pict_type = AV_PICTURE_TYPE_NONE;
  if (position >= nextFragmentAt_) {
    // A fragment boundary has been passed: this frame opens the next fragment.
    frame.pict_type = AV_PICTURE_TYPE_I;
    nextFragmentAt_ = (position / fragmentLength + 1) * fragmentLength;
  }
  // libx264 copies the picture in, so the converter may write into it again
  // for the next frame.
  const int rc = avcodec_send_frame(codec_.get(), &frame);
  if (rc < 0) refuse("failed", rc);
  drain(&file);
  lastEncoded_ = position;
  fragmentOpen_ = true;
}

std::optional<double> VideoTrackEncoder::secondsUntilFragmentEnds() const {
  if (!fragmentOpen_ || !lastEncoded_) return std::nullopt;
  return static_cast<double>(nextFragmentAt_ - *lastEncoded_) / kVideoTimescale;
}

void VideoTrackEncoder::endFragment(FragmentedFile& file) {
  // Every frame sent has come out already. The last one lasts a frame
  // interval until the next one (or the end) says how long it stayed.
  file.flush(frameDuration_);
  fragmentOpen_ = false;
  nextFragmentAt_ = 0;  // the next frame is a keyframe
}

// Packets of the warm-up frames (before position 0) are dropped; so is
// everything while there is no file yet.
void VideoTrackEncoder::drain(FragmentedFile* file) {
  for (;;) {
    PacketPtr packet(av_packet_alloc());
    if (!packet) refuse("ran out of memory", AVERROR(ENOMEM));
    const int rc = avcodec_receive_packet(codec_.get(), packet.get());
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return;
    if (rc < 0) refuse("failed", rc);
    if (!file || packet->pts < 0) continue;
    // Keyframes come only where a fragment is due (and at the start).
    const bool key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
    file->add(std::move(packet), key);
  }
}

void VideoTrackEncoder::finish(std::optional<int64_t> end, FragmentedFile& file) {
  const int rc = avcodec_send_frame(codec_.get(), nullptr);
  if (rc < 0 && rc != AVERROR_EOF) refuse("failed", rc);
  drain(&file);
  // The last frame lasts until the session ends.
  file.close(end, frameDuration_);
}

}  // namespace

std::unique_ptr<TrackEncoder> makeVideoTrackEncoder(const VideoSettings& settings) {
  return std::make_unique<VideoTrackEncoder>(settings);
}

}  // namespace platform

}  // namespace capture
