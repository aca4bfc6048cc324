#include "platform/linux/media/fragmented_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/error.hpp"
#include "platform/linux/media/ffmpeg_support.hpp"

extern "C" {
#include <libavutil/opt.h>
}

namespace capture {

namespace platform {

void checkFileCanBeCreated(const std::string& path) {
  if (path.empty()) throw PlatformError("The file could not be created: the path is empty.");
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    const int error = errno;
    throw PlatformError("The file \"" + path + "\" could not be created: " + std::strerror(error) +
                        ".");
  }
  ::close(fd);
  ::unlink(path.c_str());
}

namespace {

[[noreturn]] void fail(const std::string& path, const std::string& what, int code) {
  throw PlatformError("The file \"" + path + "\" could not be written: " + what + " (" +
                      ffmpeg::errorText(code) + ").");
}

}  // namespace

FragmentedFile::FragmentedFile(const std::string& path, const char* muxer,
                               const AVCodecContext& codec)
    : path_(path), timeBase_(codec.time_base) {
  ffmpeg::silenceLogging();
  int rc = avformat_alloc_output_context2(&context_, nullptr, muxer, nullptr);
  if (rc < 0 || !context_) fail(path, "no muxer", rc);
  stream_ = avformat_new_stream(context_, nullptr);
  if (!stream_) {
    avformat_free_context(context_);
    fail(path, "no stream", AVERROR(ENOMEM));
  }
  rc = avcodec_parameters_from_context(stream_->codecpar, &codec);
  stream_->time_base = codec.time_base;
  // Always a plain file: a path that looks like a URL must not reach a network
  // protocol.
  AVDictionary* ioOptions = nullptr;
  av_dict_set(&ioOptions, "protocol_whitelist", "file", 0);
  if (rc >= 0)
    rc = avio_open2(&context_->pb, ("file:" + path).c_str(), AVIO_FLAG_WRITE, nullptr, &ioOptions);
  av_dict_free(&ioOptions);
  if (rc < 0) {
    avformat_free_context(context_);
    context_ = nullptr;
    throw PlatformError("The file \"" + path + "\" could not be created: " + ffmpeg::errorText(rc) +
                        ".");
  }
  // Fragments are cut by the writer (at keyframes on its fragment interval);
  // the header carries an empty index so that every fragment stands alone.
  AVDictionary* options = nullptr;
  av_dict_set(&options, "movflags", "frag_custom+empty_moov+default_base_moof", 0);
  // An encoder's priming (AAC's) is hidden by an edit, which the muxer only
  // writes when the header waits for the first fragment.
  if (codec.initial_padding > 0) av_dict_set(&options, "movflags", "+delay_moov", AV_DICT_APPEND);
  rc = avformat_write_header(context_, &options);
  av_dict_free(&options);
  if (rc < 0) {
    avio_closep(&context_->pb);
    avformat_free_context(context_);
    context_ = nullptr;
    fail(path, "header", rc);
  }
  avio_flush(context_->pb);
}

FragmentedFile::~FragmentedFile() {
  if (!context_) return;
  if (!closed_) avio_closep(&context_->pb);
  avformat_free_context(context_);
}

void FragmentedFile::write(AVPacket& packet) {
  packet.stream_index = stream_->index;
  av_packet_rescale_ts(&packet, timeBase_, stream_->time_base);
  const int rc = av_write_frame(context_, &packet);
  if (rc < 0) fail(path_, "packet", rc);
}

void FragmentedFile::writeOpenFragment(std::optional<int64_t> lastDuration) {
  if (open_.empty()) return;
  for (size_t i = 0; i + 1 < open_.size(); ++i)
    open_[i]->duration = open_[i + 1]->pts - open_[i]->pts;
  if (lastDuration) open_.back()->duration = *lastDuration;
  for (auto& packet : open_) write(*packet);
  open_.clear();
  const int rc = av_write_frame(context_, nullptr);  // cut the fragment
  if (rc < 0) fail(path_, "fragment", rc);
  avio_flush(context_->pb);
}

void FragmentedFile::add(ffmpeg::PacketPtr packet, bool startsFragment) {
  if (closed_ || !packet) return;
  if (!open_.empty() && packet->pts <= open_.back()->pts) return;  // never out of order
  if (startsFragment && !open_.empty()) writeOpenFragment(packet->pts - open_.back()->pts);
  open_.push_back(std::move(packet));
}

void FragmentedFile::close(std::optional<int64_t> end, int64_t fallbackDuration) {
  if (closed_) return;
  if (end)
    while (!open_.empty() && open_.back()->pts >= *end) open_.pop_back();
  if (!open_.empty()) {
    const AVPacket& last = *open_.back();
    writeOpenFragment(end ? *end - last.pts : last.duration > 0 ? last.duration : fallbackDuration);
  }
  closed_ = true;
  const int rc = av_write_trailer(context_);
  const int closeRc = avio_closep(&context_->pb);
  if (rc < 0) fail(path_, "index", rc);
  if (closeRc < 0) fail(path_, "close", closeRc);
}

}  // namespace platform

}  // namespace capture
