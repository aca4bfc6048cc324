#include "platform/linux/media/fragmented_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
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
  const std::string reason = ffmpeg::errorText(code);
  throw WriteError("The file \"" + path + "\" could not be written: " + what + " (" + reason + ").",
                   reason);
}

uint32_t readBig32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// The offset, within the fragment box `moof`, of the field that holds the
// duration of its last sample (a track fragment's per-sample durations, or
// its default duration when it has one sample); nothing if there is none.
std::optional<size_t> lastDurationField(const std::vector<uint8_t>& moof) {
  std::optional<size_t> defaultDuration, last;
  // Boxes inside [from, to): the children of moof, then those of traf.
  const auto walk = [&](size_t from, size_t to, auto& self) -> void {
    while (from + 16 <= to) {
      const size_t size = readBig32(&moof[from]);
      if (size < 8 || from + size > to) return;
      const std::string type(reinterpret_cast<const char*>(&moof[from + 4]), 4);
      const uint32_t flags = readBig32(&moof[from + 8]) & 0xFFFFFF;
      if (type == "traf") self(from + 8, from + size, self);
      if (type == "tfhd" && (flags & 0x08))
        defaultDuration = from + 16 + (flags & 0x01 ? 8 : 0) + (flags & 0x02 ? 4 : 0);
      if (type == "trun") {
        const uint32_t count = readBig32(&moof[from + 12]);
        const size_t entry = 4 * __builtin_popcount(flags & 0xF00);
        const size_t first = from + 16 + (flags & 0x01 ? 4 : 0) + (flags & 0x04 ? 4 : 0);
        if (count == 1 && !(flags & 0x100)) last = defaultDuration;
        if (count >= 1 && (flags & 0x100)) last = first + (count - 1) * entry;
      }
      from += size;
    }
  };
  if (moof.size() < 8 || std::string(reinterpret_cast<const char*>(&moof[4]), 4) != "moof")
    return std::nullopt;
  walk(8, moof.size(), walk);
  if (last && *last + 4 > moof.size()) return std::nullopt;
  return last;
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
  // The muxer's first cut then writes only that header: the fragment it
  // closes reaches the file with a second cut (see writeOpenFragment).
  headerDelayed_ = codec.initial_padding > 0;
  if (headerDelayed_) av_dict_set(&options, "movflags", "+delay_moov", AV_DICT_APPEND);
  rc = avformat_write_header(context_, &options);
  av_dict_free(&options);
  if (rc < 0) {
    avio_closep(&context_->pb);
    avformat_free_context(context_);
    context_ = nullptr;
    fail(path, "header", rc);
  }
  avio_flush(context_->pb);
  checkWritten("header");
  whole_ = avio_tell(context_->pb);
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

// The I/O layer keeps the first write error it meets.
void FragmentedFile::checkWritten(const char* what) {
  if (context_->pb->error < 0) fail(path_, what, context_->pb->error);
}

void FragmentedFile::writeOpenFragment(std::optional<int64_t> lastDuration) {
  if (open_.empty()) return;
  // Decode times run on without gaps; a packet's duration reaches its successor.
  for (size_t i = 0; i + 1 < open_.size(); ++i)
    open_[i]->duration = open_[i + 1]->dts - open_[i]->dts;
  if (lastDuration) open_.back()->duration = *lastDuration;
  const int64_t lastDts = open_.back()->dts;
  const int64_t end = lastDts + open_.back()->duration;
  int64_t at = avio_tell(context_->pb);
  for (auto& packet : open_) write(*packet);
  open_.clear();
  int rc = av_write_frame(context_, nullptr);  // cut the fragment
  if (rc >= 0 && headerDelayed_) {
    // That cut wrote the delayed header and kept the fragment back, which
    // would otherwise wait for the next cut: a killed recording would lose
    // two fragments of sound instead of one.
    headerDelayed_ = false;
    at = avio_tell(context_->pb);
    rc = av_write_frame(context_, nullptr);
  }
  if (rc < 0) fail(path_, "fragment", rc);
  avio_flush(context_->pb);
  checkWritten("fragment");
  trackEnd_ = end;
  lastPacketDts_ = lastDts;
  lastFragmentAt_ = at;
  lastFragmentEarly_ = false;
  whole_ = avio_tell(context_->pb);
}

void FragmentedFile::add(ffmpeg::PacketPtr packet, bool startsFragment) {
  if (closed_ || !packet) return;
  if (!open_.empty() && packet->pts <= open_.back()->pts) return;  // never out of order
  packet->dts = packet->pts;
  if (startsFragment && !open_.empty()) writeOpenFragment(packet->pts - open_.back()->dts);
  if (open_.empty() && trackEnd_ && packet->pts != *trackEnd_) {
    // The fragment before was handed over early: the track goes on where it
    // ended, and the packet is shown at its own time.
    packet->dts = *trackEnd_;
    packet->pts = std::max(packet->pts, *trackEnd_);
  }
  open_.push_back(std::move(packet));
}

void FragmentedFile::flush(int64_t lastDuration) {
  if (closed_ || open_.empty()) return;
  writeOpenFragment(std::max<int64_t>(lastDuration, 1));
  lastFragmentEarly_ = true;
}

// Rewrites the last packet's duration in the fragment already in the file.
// The field is as wide whatever its value, so nothing else moves; should the
// fragment not be laid out as expected, the track keeps its shorter end.
void FragmentedFile::lengthenLastPacket(int64_t duration) {
  avio_flush(context_->pb);
  checkWritten("fragment");
  const int64_t size = whole_ - lastFragmentAt_;
  if (lastFragmentAt_ < 0 || size < 8 || duration > UINT32_MAX) return;
  const int fd = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) fail(path_, "duration", AVERROR(errno));
  std::vector<uint8_t> fragment(static_cast<size_t>(size));
  bool done = ::pread(fd, fragment.data(), fragment.size(), lastFragmentAt_) == size;
  if (done) {
    fragment.resize(std::min<size_t>(fragment.size(), readBig32(fragment.data())));
    if (const auto field = lastDurationField(fragment)) {
      const uint32_t value = static_cast<uint32_t>(duration);
      const uint8_t big[4] = {uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8),
                              uint8_t(value)};
      done = ::pwrite(fd, big, 4, lastFragmentAt_ + static_cast<int64_t>(*field)) == 4;
    }
  }
  const int error = errno;
  ::close(fd);
  if (!done) fail(path_, "duration", AVERROR(error));
  trackEnd_ = lastPacketDts_ + duration;
}

void FragmentedFile::close(std::optional<int64_t> end, int64_t fallbackDuration) {
  if (closed_) return;
  if (end)
    while (!open_.empty() && open_.back()->pts >= *end) open_.pop_back();
  if (!open_.empty()) {
    const AVPacket& last = *open_.back();
    writeOpenFragment(end ? *end - last.dts : last.duration > 0 ? last.duration : fallbackDuration);
  } else if (end && lastFragmentEarly_ && trackEnd_ && *end > *trackEnd_) {
    lengthenLastPacket(*end - lastPacketDts_);
  }
  closed_ = true;
  const int rc = av_write_trailer(context_);
  const int closeRc = avio_closep(&context_->pb);
  if (rc < 0) fail(path_, "index", rc);
  if (closeRc < 0) fail(path_, "close", closeRc);
}

void FragmentedFile::abandon() {
  if (closed_ || !context_) return;
  closed_ = true;
  open_.clear();
  // With an error recorded, the I/O layer drops what it still buffers (the
  // broken fragment's bytes) instead of writing it on closing.
  if (context_->pb->error == 0) context_->pb->error = AVERROR(EIO);
  avio_closep(&context_->pb);
  if (::truncate(path_.c_str(), whole_) != 0) {
    // The file system is gone: what reached it stays as it is.
  }
}

}  // namespace platform

}  // namespace capture
