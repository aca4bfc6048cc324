#include "platform/linux/media/audio_track_encoder.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "platform/error.hpp"
#include "platform/linux/media/ffmpeg_support.hpp"

extern "C" {
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

namespace capture {

namespace platform {

namespace {

using ffmpeg::CodecContextPtr;
using ffmpeg::FramePtr;
using ffmpeg::PacketPtr;

struct ResamplerFree {
  void operator()(SwrContext* s) const { swr_free(&s); }
};
struct FifoFree {
  void operator()(AVAudioFifo* f) const { av_audio_fifo_free(f); }
};

// Buffers that land within this much of where the track has got to are
// joined on as they are; only larger differences are filled or trimmed.
constexpr int64_t kJitterToleranceMs = 5;
constexpr int kMaxInputChannels = 8;
constexpr size_t kMaxBufferFrames = 1 << 22;     // about 87 s at 48 kHz
constexpr int64_t kMaxTrackSeconds = 48 * 3600;  // two days

[[noreturn]] void refuse(const std::string& what, int code) {
  throw PlatformError("The AAC encoder " + what + " (" + ffmpeg::errorText(code) + ").");
}

class AudioTrackEncoder : public TrackEncoder {
 public:
  explicit AudioTrackEncoder(const AudioSettings& settings);

  const AVCodecContext& codec() const override { return *codec_; }
  int32_t timescale() const override { return codec_->sample_rate; }
  std::optional<int64_t> admit(const SampleBuffer& sample, int64_t position) override;
  void encode(SampleBufferRef sample, int64_t position, FragmentedFile& file) override;
  void finish(std::optional<int64_t> end, FragmentedFile& file) override;

 private:
  void convert(const AudioBufferList& audio);
  void push(const std::vector<const float*>& planes, int64_t count, FragmentedFile& file);
  void pushSilence(int64_t count, FragmentedFile& file);
  void encodeFrames(FragmentedFile& file, bool all);
  void send(AVFrame* frame, FragmentedFile& file);

  CodecContextPtr codec_;
  int channels_;
  int64_t tolerance_;
  // Writer's thread.
  std::unique_ptr<SwrContext, ResamplerFree> resampler_;
  int resamplerRate_ = 0;
  int resamplerChannels_ = 0;
  std::vector<std::vector<float>> converted_;  // one plane per output channel
  int64_t convertedCount_ = 0;
  std::unique_ptr<AVAudioFifo, FifoFree> fifo_;
  int64_t cursor_;                      // track position of the next sample to queue
  int64_t nextFrameAt_;                 // track position of the next frame handed to the encoder
  int64_t nextFragmentAt_ = INT64_MIN;  // the first packet starts one
};

AudioTrackEncoder::AudioTrackEncoder(const AudioSettings& s)
    : channels_(static_cast<int>(s.numberOfChannels)) {
  ffmpeg::silenceLogging();
  const AVCodec* aac = avcodec_find_encoder_by_name("aac");
  if (!aac) refuse("is not available", AVERROR_ENCODER_NOT_FOUND);
  codec_.reset(avcodec_alloc_context3(aac));
  if (!codec_) refuse("could not be set up", AVERROR(ENOMEM));
  AVCodecContext& c = *codec_;
  c.sample_fmt = AV_SAMPLE_FMT_FLTP;
  c.sample_rate = static_cast<int>(s.sampleRate);
  av_channel_layout_default(&c.ch_layout, channels_);
  c.bit_rate = s.encoderBitRate;
  c.profile = FF_PROFILE_AAC_LOW;
  c.time_base = AVRational{1, c.sample_rate};
  c.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  const int rc = avcodec_open2(&c, aac, nullptr);
  if (rc < 0) refuse("refused the settings", rc);
  fifo_.reset(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, channels_, c.frame_size * 4));
  if (!fifo_) refuse("ran out of memory", AVERROR(ENOMEM));
  tolerance_ = c.sample_rate * kJitterToleranceMs / 1000;
  // The encoder's output starts with `initial_padding` samples of its own:
  // its packets start that far before zero, and the file's edit hides them,
  // so that the first sample captured is the first one heard.
  cursor_ = 0;
  nextFrameAt_ = 0;
}

std::optional<int64_t> AudioTrackEncoder::admit(const SampleBuffer& sample, int64_t position) {
  const AudioBufferList* audio = sample.audioBuffer.get();
  if (!audio || audio->channelCount < 1 || audio->channelCount > kMaxInputChannels) return {};
  if (audio->sampleRate < 8000 || audio->sampleRate > 384000) return {};
  if (audio->samples.empty() || audio->samples.size() % audio->channelCount != 0) return {};
  if (audio->samples.size() / audio->channelCount > kMaxBufferFrames) return {};
  // A time far beyond any recording would have the gap before it filled
  // with hours of silence.
  if (position > static_cast<int64_t>(codec_->sample_rate) * kMaxTrackSeconds) return {};
  return position;
}

void AudioTrackEncoder::convert(const AudioBufferList& audio) {
  if (!resampler_ || resamplerRate_ != audio.sampleRate ||
      resamplerChannels_ != audio.channelCount) {
    AVChannelLayout in{};
    av_channel_layout_default(&in, audio.channelCount);
    SwrContext* swr = nullptr;
    int rc = swr_alloc_set_opts2(&swr, &codec_->ch_layout, AV_SAMPLE_FMT_FLTP, codec_->sample_rate,
                                 &in, AV_SAMPLE_FMT_FLT, audio.sampleRate, 0, nullptr);
    av_channel_layout_uninit(&in);
    resampler_.reset(swr);
    if (rc >= 0) rc = swr_init(swr);
    if (rc < 0) {
      resampler_.reset();
      refuse("could not convert the audio", rc);
    }
    resamplerRate_ = audio.sampleRate;
    resamplerChannels_ = audio.channelCount;
  }
  const int inCount = static_cast<int>(audio.samples.size() / audio.channelCount);
  const int capacity = swr_get_out_samples(resampler_.get(), inCount);
  if (capacity < 0) refuse("could not convert the audio", capacity);
  converted_.resize(channels_);
  std::vector<uint8_t*> out(channels_);
  for (int ch = 0; ch < channels_; ++ch) {
    converted_[ch].resize(static_cast<size_t>(capacity));
    out[ch] = reinterpret_cast<uint8_t*>(converted_[ch].data());
  }
  const uint8_t* in[1] = {reinterpret_cast<const uint8_t*>(audio.samples.data())};
  const int n = swr_convert(resampler_.get(), out.data(), capacity, in, inCount);
  if (n < 0) refuse("could not convert the audio", n);
  convertedCount_ = n;
}

void AudioTrackEncoder::encode(SampleBufferRef sample, int64_t position, FragmentedFile& file) {
  convert(*sample->audioBuffer);
  sample.reset();
  int64_t skip = 0;
  if (position > cursor_ + tolerance_) {
    pushSilence(position - cursor_, file);
  } else if (position < cursor_ - tolerance_) {
    skip = std::min(cursor_ - position, convertedCount_);
  }
  std::vector<const float*> planes(channels_);
  for (int ch = 0; ch < channels_; ++ch) planes[ch] = converted_[ch].data() + skip;
  push(planes, convertedCount_ - skip, file);
}

void AudioTrackEncoder::push(const std::vector<const float*>& planes, int64_t count,
                             FragmentedFile& file) {
  if (count <= 0) return;
  std::vector<void*> data(planes.size());
  for (size_t i = 0; i < planes.size(); ++i) data[i] = const_cast<float*>(planes[i]);
  const int rc = av_audio_fifo_write(fifo_.get(), data.data(), static_cast<int>(count));
  if (rc < 0) refuse("ran out of memory", rc);
  cursor_ += count;
  encodeFrames(file, false);
}

void AudioTrackEncoder::pushSilence(int64_t count, FragmentedFile& file) {
  static const std::array<float, 4096> zeros{};
  const std::vector<const float*> planes(channels_, zeros.data());
  while (count > 0) {
    const int64_t chunk = std::min<int64_t>(count, zeros.size());
    push(planes, chunk, file);
    count -= chunk;
  }
}

// Hands every whole frame queued so far to the encoder (and, with `all`, the
// short remainder too).
void AudioTrackEncoder::encodeFrames(FragmentedFile& file, bool all) {
  for (;;) {
    const int queued = av_audio_fifo_size(fifo_.get());
    const int count = std::min(queued, codec_->frame_size);
    if (count == 0 || (count < codec_->frame_size && !all)) return;
    FramePtr frame(av_frame_alloc());
    if (!frame) refuse("ran out of memory", AVERROR(ENOMEM));
    frame->format = AV_SAMPLE_FMT_FLTP;
    frame->nb_samples = count;
    frame->sample_rate = codec_->sample_rate;
    int rc = av_channel_layout_copy(&frame->ch_layout, &codec_->ch_layout);
    if (rc >= 0) rc = av_frame_get_buffer(frame.get(), 0);
    if (rc < 0) refuse("ran out of memory", rc);
    rc = av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(frame->data), count);
    if (rc < 0) refuse("failed", rc);
    frame->pts = nextFrameAt_;
    nextFrameAt_ += count;
    send(frame.get(), file);
  }
}

void AudioTrackEncoder::send(AVFrame* frame, FragmentedFile& file) {
  int rc = avcodec_send_frame(codec_.get(), frame);
  if (rc < 0 && !(frame == nullptr && rc == AVERROR_EOF)) refuse("failed", rc);
  for (;;) {
    PacketPtr packet(av_packet_alloc());
    if (!packet) refuse("ran out of memory", AVERROR(ENOMEM));
    rc = avcodec_receive_packet(codec_.get(), packet.get());
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return;
    if (rc < 0) refuse("failed", rc);
    const bool startsFragment = packet->pts >= nextFragmentAt_;
    if (startsFragment)
      nextFragmentAt_ = (std::max<int64_t>(packet->pts, 0) / fragmentLength + 1) * fragmentLength;
    file.add(std::move(packet), startsFragment);
  }
}

void AudioTrackEncoder::finish(std::optional<int64_t> end, FragmentedFile& file) {
  if (end && cursor_ < *end) pushSilence(*end - cursor_, file);
  if (end && cursor_ > *end) {
    // Drop what lies past the end and has not reached the encoder yet.
    const int queued = av_audio_fifo_size(fifo_.get());
    const int keep = static_cast<int>(std::max<int64_t>(0, queued - (cursor_ - *end)));
    std::vector<std::vector<float>> kept(channels_, std::vector<float>(std::max(keep, 1)));
    std::vector<void*> data(channels_);
    for (int ch = 0; ch < channels_; ++ch) data[ch] = kept[ch].data();
    if (keep > 0) av_audio_fifo_read(fifo_.get(), data.data(), keep);
    av_audio_fifo_reset(fifo_.get());
    if (keep > 0) av_audio_fifo_write(fifo_.get(), data.data(), keep);
    cursor_ -= queued - keep;
  }
  encodeFrames(file, true);
  send(nullptr, file);
  file.close(end, codec_->frame_size);
}

}  // namespace

std::unique_ptr<TrackEncoder> makeAudioTrackEncoder(const AudioSettings& settings) {
  return std::make_unique<AudioTrackEncoder>(settings);
}

}  // namespace platform

}  // namespace capture
