#pragma once
// Small helpers around the FFmpeg C libraries: owning pointers, error texts,
// and keeping the libraries' own logging off the terminal.
#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

namespace capture {

namespace platform::ffmpeg {

// FFmpeg and libx264 (which logs through FFmpeg) write nothing anywhere.
// Idempotent and thread-safe.
void silenceLogging();

// The library's text for an AVERROR code.
std::string errorText(int code);

struct CodecContextFree {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};

using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;

}  // namespace platform::ffmpeg

}  // namespace capture
