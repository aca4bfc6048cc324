#pragma once
// One-track QuickTime/MPEG-4 file written as movie fragments: the header goes
// out first, then each fragment reaches the file as soon as it is cut, so a
// process killed mid-recording leaves a file playable up to its last fragment.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.hpp"
#include "platform/linux/media/ffmpeg_support.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace capture {

namespace platform {

// Throws PlatformError when no file can be created at `path` (missing or
// unwritable directory, a directory in the way, an existing file). Leaves
// nothing behind.
void checkFileCanBeCreated(const std::string& path);

// The file could no longer be written; `reason` is the system's own word for
// why ("No space left on device").
struct WriteError : PlatformError {
  WriteError(const std::string& description, std::string why)
      : PlatformError(description), reason(std::move(why)) {}
  std::string reason;
};

class FragmentedFile {
 public:
  // Creates the file and writes the header for one track encoded by `codec`.
  // `muxer` is "mov" or "ipod". Throws PlatformError.
  FragmentedFile(const std::string& path, const char* muxer, const AVCodecContext& codec);
  ~FragmentedFile();
  FragmentedFile(const FragmentedFile&) = delete;
  FragmentedFile& operator=(const FragmentedFile&) = delete;

  // Adds one packet, its times in the codec's time base. The packets of the
  // open fragment stay here until the next fragment starts, so that each
  // gets its duration from its successor and the end can still be trimmed.
  // Starting a fragment hands the previous one to the file. Throws
  // WriteError.
  void add(ffmpeg::PacketPtr packet, bool startsFragment);
  bool hasOpenFragment() const { return !open_.empty(); }
  // Hands the open fragment to the file now, before the next one starts; its
  // last packet lasts `lastDuration` for the moment. The track goes on where
  // that fragment ends: a packet added later is decoded there and shown at
  // its own time (one that would be shown earlier is shown there). Should
  // the file be closed with nothing added after it, the last packet is made
  // to last until the end. Throws WriteError.
  void flush(int64_t lastDuration);
  // Drops the packets at or after `end` that are still open, lets the last
  // one last until `end` (without an end: its own duration, else
  // `fallbackDuration`), then writes the last fragment and the index and
  // closes the file. Throws WriteError.
  void close(std::optional<int64_t> end, int64_t fallbackDuration);
  // After a failure: nothing more is written, and the file is cut back to
  // its last whole fragment, which every player reads.
  void abandon();

 private:
  std::string path_;
  AVFormatContext* context_ = nullptr;
  AVStream* stream_ = nullptr;
  void writeOpenFragment(std::optional<int64_t> lastDuration);
  void write(AVPacket& packet);
  void checkWritten(const char* what);
  void lengthenLastPacket(int64_t duration);

  AVRational timeBase_;
  // The header waits for the first fragment (to carry the edit that hides an
  // encoder's priming).
  bool headerDelayed_ = false;
  std::vector<ffmpeg::PacketPtr> open_;
  bool closed_ = false;
  // Where the written track ends (decode time), and its last packet's start.
  std::optional<int64_t> trackEnd_;
  int64_t lastPacketDts_ = 0;
  // File offset of the last written fragment; whether it was handed over
  // early (its last packet's duration not yet final); bytes of the file that
  // are whole (header and complete fragments).
  int64_t lastFragmentAt_ = -1;
  bool lastFragmentEarly_ = false;
  int64_t whole_ = 0;
};

}  // namespace platform

}  // namespace capture
