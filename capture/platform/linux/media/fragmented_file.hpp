#pragma once
// One-track QuickTime/MPEG-4 file written as movie fragments: the header goes
// out first, then each fragment reaches the file as soon as it is cut, so a
// process killed mid-recording leaves a file playable up to its last fragment.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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
  // PlatformError.
  void add(ffmpeg::PacketPtr packet, bool startsFragment);
  // Drops the packets at or after `end` that are still open, lets the last
  // one last until `end` (without an end: its own duration, else
  // `fallbackDuration`), then writes the last fragment and the index and
  // closes the file. Throws PlatformError.
  void close(std::optional<int64_t> end, int64_t fallbackDuration);

 private:
  std::string path_;
  AVFormatContext* context_ = nullptr;
  AVStream* stream_ = nullptr;
  void writeOpenFragment(std::optional<int64_t> lastDuration);
  void write(AVPacket& packet);

  AVRational timeBase_;
  std::vector<ffmpeg::PacketPtr> open_;
  bool closed_ = false;
};

}  // namespace platform

}  // namespace capture
